#include "dvrctl/automation_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <ostream>
#include <stdexcept>

#include "dvrctl/host_client.h"
#include "platform/net/json_parse.h"
#include "service/service_config.h"

namespace dvrlink {
namespace {

int64_t NowMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

const char* kUsage =
    "usage: dvrctl [--socket PATH | --config FILE] [--timeout SECONDS] COMMAND\n"
    "       dvrctl [OPTIONS] HOST:PORT CODE [FIELD...]   (host-client mode, below)\n"
    "\n"
    "Reaches a running dvrlink service through its automation endpoint.\n"
    "\n"
    "commands:\n"
    "  call INSTANCE METHOD [ARG...]   call a public method of an instance\n"
    "  get INSTANCE PROPERTY           read a property\n"
    "  set INSTANCE PROPERTY VALUE     write a property\n"
    "  list                            the instances: ID, DVR number, name, address,\n"
    "                                  event session connected, started\n"
    "  watch                           print every host event until interrupted\n"
    "\n"
    "INSTANCE is the instance's ID (A-0-5000) or its DVR number (0). Each ARG and\n"
    "VALUE is read as JSON when it parses as JSON (3, true, \"text\", [true]),\n"
    "else taken as text. A text result is printed as it is, any other as JSON.\n"
    "\n"
    "options:\n"
    "  --socket PATH      the endpoint's socket (default: $DVRLINK_SOCKET, else\n"
    "                     ./dvrlink.sock)\n"
    "  --config FILE      take the socket from the service's configuration file\n"
    "  --timeout SECONDS  how long to wait for a reply (default 120)\n"
    "\n"
    "Exit status: 0 done, 1 the service answered with an error, 2 bad command line\n"
    "or no connection.\n";
// The host-client mode (HOST:PORT) follows in --help: HostClientUsage().

void PrintResult(const Json& result, std::ostream& out) {
  if (result.is_null()) return;
  if (result.is_string()) {
    out << result.get<std::string>() << "\n";
  } else {
    out << DumpLine(result) << "\n";
  }
}

void PrintList(const Json& result, std::ostream& out) {
  if (!result.is_array()) {
    PrintResult(result, out);
    return;
  }
  out << "instance\tnumber\tname\taddress\tconnected\tstarted\n";
  for (const Json& entry : result) {
    auto text = [&](const char* key) -> std::string {
      if (!entry.contains(key)) return "";
      const Json& v = entry[key];
      return v.is_string() ? v.get<std::string>() : DumpLine(v);
    };
    out << text("instance") << "\t" << text("number") << "\t" << text("name") << "\t" << text("address") << "\t"
        << text("connected") << "\t" << text("started") << "\n";
  }
}

}  // namespace

AutomationClient::AutomationClient(const std::string& path) {
  if (path.size() > MaxSocketPathLength()) {
    throw std::runtime_error("socket path " + path + " is longer than a Unix socket path may be");
  }
  fd_ = net::UniqueFd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd_.valid()) throw std::runtime_error("cannot create a socket: " + net::ErrorText(errno));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to " + path + ": " + net::ErrorText(errno));
  }
}

void AutomationClient::SendLine(const std::string& line) {
  std::string data = line + "\n";
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd_.get(), data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("cannot send the request: " + net::ErrorText(errno));
    }
    done += static_cast<size_t>(n);
  }
}

std::optional<std::string> AutomationClient::ReadLine(int timeout_ms) {
  int64_t deadline = timeout_ms < 0 ? -1 : NowMillis() + timeout_ms;
  while (true) {
    size_t end = buffer_.find('\n');
    if (end != std::string::npos) {
      std::string line = buffer_.substr(0, end);
      buffer_.erase(0, end + 1);
      return line;
    }
    int wait = -1;
    if (deadline >= 0) {
      int64_t left = deadline - NowMillis();
      if (left <= 0) return std::nullopt;
      wait = static_cast<int>(left);
    }
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, wait);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char chunk[65536];
    ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw std::runtime_error("the service closed the connection");
    buffer_.append(chunk, static_cast<size_t>(n));
  }
}

Json AutomationClient::Call(const Json& request, int timeout_ms) {
  SendLine(DumpLine(request));
  Json id = request.contains("id") ? request["id"] : Json(nullptr);
  int64_t deadline = NowMillis() + timeout_ms;
  while (true) {
    int64_t left = deadline - NowMillis();
    std::optional<std::string> line = ReadLine(left > 0 ? static_cast<int>(left) : 0);
    if (!line) throw std::runtime_error("no reply within " + std::to_string(timeout_ms / 1000) + " s");
    std::string problem;
    Json reply = ParseJsonText<Json>(*line, problem);
    if (reply.is_object() && reply.contains("id") && reply["id"] == id) return reply;
  }
}

Json WordAsJson(const std::string& word) {
  std::string problem;
  Json value = ParseJsonText<Json>(word, problem);
  if (value.is_discarded()) return Json(word);
  return value;
}

int RunDvrctl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (IsHostClientCommandLine(args)) return RunHostClient(args, out, err);
  std::string socket_path;
  std::string config_path;
  int timeout_ms = 120 * 1000;
  size_t i = 0;
  auto usage_error = [&](const std::string& message) {
    err << "dvrctl: " << message << "\n" << kUsage;
    return 2;
  };
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out << kUsage << "\n" << HostClientUsage();
      return 0;
    }
    if (a == "--version") {
      out << "dvrctl " << DVRLINK_VERSION_MAJOR << "." << DVRLINK_VERSION_MINOR << "." << DVRLINK_VERSION_REVISION
          << "\n";
      return 0;
    }
    if (a.rfind("--", 0) != 0) break;
    if (i + 1 >= args.size()) return usage_error("option " + a + " needs a value");
    if (a == "--socket") {
      socket_path = args[++i];
    } else if (a == "--config") {
      config_path = args[++i];
    } else if (a == "--timeout") {
      char* end = nullptr;
      long seconds = std::strtol(args[++i].c_str(), &end, 10);
      if (end == nullptr || *end != '\0' || seconds <= 0 || seconds > 86400) {
        return usage_error("--timeout takes a number of seconds");
      }
      timeout_ms = static_cast<int>(seconds * 1000);
    } else {
      return usage_error("unknown option " + a);
    }
  }
  if (i >= args.size()) return usage_error("no command given");
  const std::string command = args[i++];
  std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());

  Json request = Json::object();
  request["id"] = 1;
  if (command == "call") {
    if (rest.size() < 2) return usage_error("call needs INSTANCE and METHOD");
    request["instance"] = WordAsJson(rest[0]);
    request["method"] = rest[1];
    Json call_args = Json::array();
    for (size_t k = 2; k < rest.size(); ++k) call_args.push_back(WordAsJson(rest[k]));
    request["args"] = call_args;
  } else if (command == "get") {
    if (rest.size() != 2) return usage_error("get needs INSTANCE and PROPERTY");
    request["instance"] = WordAsJson(rest[0]);
    request["get"] = rest[1];
  } else if (command == "set") {
    if (rest.size() != 3) return usage_error("set needs INSTANCE, PROPERTY and VALUE");
    request["instance"] = WordAsJson(rest[0]);
    request["set"] = rest[1];
    request["value"] = WordAsJson(rest[2]);
  } else if (command == "list") {
    if (!rest.empty()) return usage_error("list takes no arguments");
    request["list"] = true;
  } else if (command == "watch") {
    if (!rest.empty()) return usage_error("watch takes no arguments");
    request["subscribe"] = "host";
  } else {
    return usage_error("unknown command '" + command + "'");
  }

  if (socket_path.empty() && !config_path.empty()) {
    try {
      socket_path = LoadServiceConfig(config_path).automation_socket;
    } catch (const ConfigError& e) {
      err << "dvrctl: " << e.what() << "\n";
      return 2;
    }
  }
  if (socket_path.empty()) {
    const char* env = std::getenv("DVRLINK_SOCKET");
    socket_path = env != nullptr && *env != '\0' ? env : "dvrlink.sock";
  }
  try {
    AutomationClient client(socket_path);
    Json reply = client.Call(request, timeout_ms);
    if (reply.contains("error")) {
      const Json& e = reply["error"];
      err << "dvrctl: error " << (e.contains("number") ? DumpLine(e["number"]) : "?") << ": "
          << (e.contains("description") && e["description"].is_string() ? e["description"].get<std::string>() : "")
          << "\n";
      return 1;
    }
    const Json& result = reply.contains("result") ? reply["result"] : Json(nullptr);
    if (command == "list") {
      PrintList(result, out);
    } else if (command == "watch") {
      out.flush();
      while (true) {
        std::optional<std::string> line;
        try {
          line = client.ReadLine(-1);
        } catch (const std::runtime_error&) {
          return 0;  // the service stopped
        }
        if (!line) continue;
        std::string problem;
        Json wrapped = ParseJsonText<Json>(*line, problem);
        if (wrapped.is_object() && wrapped.contains("host")) out << DumpLine(wrapped["host"]) << std::endl;
      }
    } else {
      PrintResult(result, out);
    }
  } catch (const std::exception& e) {
    err << "dvrctl: " << e.what() << "\n";
    return 2;
  }
  return 0;
}

}  // namespace dvrlink
