#include "service/automation.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <stdexcept>

#include "component/clsDvrlink.h"
#include "host/host_sink.h"
#include "platform/net/json_parse.h"
#include "platform/platform_state.h"
#include "service/automation_methods.h"
#include "service/service_config.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kReadPerWakeup = 1024 * 1024;

std::string Describe(const Json& value) { return DumpLine(value); }

Json Reply(const Json& id, Json result) {
  Json reply = Json::object();
  reply["id"] = id;
  reply["result"] = std::move(result);
  return reply;
}

std::string MalformedText(const std::string& why) {
  return StandardDescription(kErrInvalidCall) + ": " + why;
}

}  // namespace

Json ErrorReply(const Json& id, int32_t number, const std::string& description) {
  Json error = Json::object();
  error["number"] = number;
  error["description"] = TextForJson(description.empty() ? StandardDescription(number) : description);
  Json reply = Json::object();
  reply["id"] = id;
  reply["error"] = std::move(error);
  return reply;
}

std::string AutomationDispatcher::HandleLine(std::string_view line,
                                             const std::function<bool(const std::string&)>& subscribe) {
  std::string problem;
  Json request = ParseJsonText<Json>(line, problem);
  if (request.is_discarded()) return DumpLine(ErrorReply(nullptr, kErrInvalidCall, MalformedText(problem)));
  try {
    return DumpLine(Handle(request, subscribe));
  } catch (const nlohmann::ordered_json::exception& e) {
    // A value the library cannot read as the type asked for.
    return DumpLine(ErrorReply(nullptr, kErrInvalidCall, MalformedText(e.what())));
  }
}

std::shared_ptr<clsDvrlink> AutomationDispatcher::FindInstance(const Json& which) {
  for (const AutomationTarget& target : targets_()) {
    if (!target.instance) continue;
    if (which.is_string() && TextForJson(target.instance->ID) == which.get_ref<const std::string&>()) {
      return target.instance;
    }
    if (which.is_number_integer() && which.get<int64_t>() == target.instance->DvrNumber()) return target.instance;
  }
  return nullptr;
}

Json AutomationDispatcher::List() {
  Json list = Json::array();
  for (const AutomationTarget& target : targets_()) {
    if (!target.instance) continue;
    const clsDvrlink& c = *target.instance;
    Json entry = Json::object();
    entry["instance"] = TextForJson(c.ID);
    entry["number"] = c.DvrNumber();
    entry["name"] = TextForJson(c.DvrName());
    entry["address"] = TextForJson(c.DVRIP);
    entry["connected"] = c.EventSessionConnected();
    entry["started"] = target.started;
    list.push_back(std::move(entry));
  }
  return list;
}

Json AutomationDispatcher::Handle(const Json& request, const std::function<bool(const std::string&)>& subscribe) {
  if (!request.is_object()) return ErrorReply(nullptr, kErrInvalidCall, MalformedText("a request is a JSON object"));
  Json id = request.contains("id") ? request["id"] : Json(nullptr);
  if (request.contains("list")) return Reply(id, List());
  if (request.contains("subscribe")) {
    const Json& topic = request["subscribe"];
    if (topic.is_string() && subscribe && subscribe(topic.get<std::string>())) return Reply(id, true);
    return ErrorReply(id, kErrInvalidCall, MalformedText("no subscription " + Describe(topic) + " (there is \"host\")"));
  }
  bool is_call = request.contains("method");
  bool is_get = request.contains("get");
  bool is_set = request.contains("set");
  if (!is_call && !is_get && !is_set) {
    return ErrorReply(id, kErrInvalidCall, MalformedText("a request has method, get, set, list or subscribe"));
  }
  const Json& which = request.contains("instance") ? request["instance"] : Json(nullptr);
  std::shared_ptr<clsDvrlink> instance = FindInstance(which);  // alive through the call
  if (!instance) return ErrorReply(id, kErrInvalidCall, MalformedText("no instance " + Describe(which)));

  const char* verb = is_call ? "method" : is_get ? "get" : "set";
  const Json& name = request[verb];
  if (!name.is_string()) return ErrorReply(id, kErrNoMember);
  const std::string& member = name.get_ref<const std::string&>();
  try {
    if (is_call) {
      const MethodEntry* method = FindMethod(member);
      if (method == nullptr) return ErrorReply(id, kErrNoMember);
      Json args = request.contains("args") ? request["args"] : Json::array();
      if (!args.is_array()) return ErrorReply(id, kErrWrongArgs);
      size_t required = 0;
      for (const ParamInfo& param : method->params) required += param.optional ? 0 : 1;
      if (args.size() < required || args.size() > method->params.size()) return ErrorReply(id, kErrWrongArgs);
      std::vector<ArgValue> values;
      for (size_t i = 0; i < args.size(); ++i) values.push_back(ConvertArg(args[i], method->params[i].type));
      Args converted(std::move(values));
      WriteDebugLog("Automation, " + std::string(method->name) + "(" + instance->ID + ") args=" + Describe(args), 8);
      return Reply(id, method->call(*instance, converted));
    }
    const PropertyEntry* property = FindProperty(member);
    if (property == nullptr) return ErrorReply(id, kErrNoMember);
    if (is_get) return Reply(id, property->get(*instance));
    if (!request.contains("value")) return ErrorReply(id, kErrWrongArgs);
    Args converted({ConvertArg(request["value"], property->type)});
    WriteDebugLog("Automation, set " + std::string(property->name) + "(" + instance->ID + ") value=" +
                      Describe(request["value"]),
                  8);
    property->set(*instance, converted);
    return Reply(id, nullptr);
  } catch (const RuntimeError& e) {
    return ErrorReply(id, e.Number(), e.Description());
  } catch (const std::exception& e) {
    return ErrorReply(id, kErrInvalidCall, MalformedText(e.what()));
  }
}

AutomationEndpoint::AutomationEndpoint(AutomationDispatcher& dispatcher, HostSink* sink)
    : dispatcher_(dispatcher), sink_(sink) {}

AutomationEndpoint::~AutomationEndpoint() {
  *alive_ = false;
  Close();
}

void AutomationEndpoint::Listen(const std::string& path) {
  if (path.size() > MaxSocketPathLength()) {
    throw std::runtime_error("automation socket path " + path + " is " + std::to_string(path.size()) +
                             " bytes, longer than the " + std::to_string(MaxSocketPathLength()) +
                             " a Unix socket path may have");
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  struct stat info {};
  if (::lstat(path.c_str(), &info) == 0) {
    if (!S_ISSOCK(info.st_mode)) {
      throw std::runtime_error("automation socket path " + path + " exists and is not a socket");
    }
    net::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.valid() && ::connect(probe.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      throw std::runtime_error("automation socket " + path + " is in use by a running service");
    }
    ::unlink(path.c_str());  // stale: nobody listens there
  }
  net::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) throw std::runtime_error("cannot create the automation socket: " + net::ErrorText(errno));
  // Only the service's user may connect: no moment with wider permissions.
  mode_t old_mask = ::umask(0177);
  int bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address);
  int bind_error = errno;
  ::umask(old_mask);
  if (bound != 0) throw std::runtime_error("cannot bind the automation socket " + path + ": " + net::ErrorText(bind_error));
  ::chmod(path.c_str(), 0600);
  if (::listen(fd.get(), SOMAXCONN) != 0) {
    int error = errno;
    ::unlink(path.c_str());
    throw std::runtime_error("cannot listen on the automation socket " + path + ": " + net::ErrorText(error));
  }
  path_ = path;
  listener_ = std::move(fd);
  listener_watch_ = Loop().Watch(listener_.get(), POLLIN, [this](short) { OnAcceptReady(); });
  accept_pause_ = std::make_unique<net::AcceptPause>(Loop(), listener_watch_);
  WriteDebugLog("Automation, listening on " + path, 8);
}

void AutomationEndpoint::Close() {
  std::vector<std::shared_ptr<Connection>> all;
  for (const auto& entry : connections_) all.push_back(entry.second);
  for (const auto& c : all) CloseConnection(c, "endpoint closed");
  accept_pause_.reset();
  if (listener_watch_ != 0) Loop().Unwatch(listener_watch_);
  listener_watch_ = 0;
  if (listener_.valid()) {
    listener_.Reset();
    ::unlink(path_.c_str());
  }
}

void AutomationEndpoint::OnAcceptReady() {
  for (int i = 0; i < 64; ++i) {
    int raw = ::accept4(listener_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (raw < 0) {
      int error = errno;
      if (error == EINTR) continue;
      accept_pause_->Failed(error, [&] {
        WriteDebugLogAlways("Automation, ??? ERROR, " + net::ErrorText(error) + " (" +
                            std::to_string(connections_.size()) +
                            " connection(s) open): new connections wait until a descriptor is free");
      });
      return;
    }
    if (accept_pause_->Succeeded()) WriteDebugLogAlways("Automation, accepting connections again");
    auto c = std::make_shared<Connection>();
    c->id = next_id_++;
    c->fd = net::UniqueFd(raw);
    std::weak_ptr<Connection> weak = c;
    std::shared_ptr<bool> alive = alive_;
    c->watch = Loop().Watch(raw, POLLIN, [this, weak, alive](short revents) {
      std::shared_ptr<Connection> conn = weak.lock();
      if (*alive && conn && !conn->closed) OnReady(conn, revents);
    });
    connections_[c->id] = c;
    WriteDebugLog("Automation, connection " + std::to_string(c->id) + " opened", 8);
  }
}

void AutomationEndpoint::OnReady(const std::shared_ptr<Connection>& c, short revents) {
  if (revents & POLLOUT) {
    long n = net::SendSome(c->fd.get(), c->output.data(), c->output.size());
    if (n < 0) {
      CloseConnection(c, "send failed: " + net::ErrorText(errno));
      return;
    }
    c->output.erase(0, static_cast<size_t>(n));
    if (c->output.empty()) Loop().SetWatchEvents(c->watch, POLLIN);
  }
  if (!(revents & (POLLIN | POLLHUP | POLLERR))) return;
  bool gone = false;
  char buffer[kReadChunk];
  size_t total = 0;
  while (total < kReadPerWakeup) {
    ssize_t n = ::recv(c->fd.get(), buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) gone = true;
      break;
    }
    if (n == 0) {
      gone = true;
      break;
    }
    c->input.append(buffer, static_cast<size_t>(n));
    total += static_cast<size_t>(n);
  }
  std::shared_ptr<bool> alive = alive_;
  HandleLines(c);
  if (!*alive || c->closed) return;
  if (c->input.size() > kMaxLine) {
    CloseConnection(c, "request line longer than " + std::to_string(kMaxLine) + " bytes");
    return;
  }
  if (gone) {
    // Replies already queued are given one last chance to leave.
    if (!c->output.empty()) net::SendSome(c->fd.get(), c->output.data(), c->output.size());
    CloseConnection(c, "closed by the client");
  }
}

void AutomationEndpoint::HandleLines(const std::shared_ptr<Connection>& c) {
  std::shared_ptr<bool> alive = alive_;
  std::weak_ptr<Connection> weak = c;
  auto subscribe = [this, weak, alive](const std::string& topic) -> bool {
    std::shared_ptr<Connection> conn = weak.lock();
    if (!*alive || !conn || topic != "host" || sink_ == nullptr) return false;
    if (conn->host_listener == 0) {
      conn->host_listener = sink_->AddListener([this, weak, alive](const std::string& line) {
        std::shared_ptr<Connection> target = weak.lock();
        if (*alive && target && !target->closed) Write(target, "{\"host\":" + line + "}");
      });
    }
    return true;
  };
  // Each line leaves the buffer before it is handled, so a request handled
  // nested (while this one waits in Delay) takes the next line.
  while (*alive && !c->closed) {
    size_t end = c->input.find('\n');
    if (end == std::string::npos) break;
    std::string line = c->input.substr(0, end);
    c->input.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    std::string reply = dispatcher_.HandleLine(line, subscribe);
    if (!*alive) return;
    Write(c, reply);
  }
}

void AutomationEndpoint::Write(const std::shared_ptr<Connection>& c, const std::string& line) {
  if (c->closed) return;
  std::string data = line + "\n";
  if (c->output.empty()) {
    long n = net::SendSome(c->fd.get(), data.data(), data.size());
    if (n < 0) {
      CloseConnection(c, "send failed: " + net::ErrorText(errno));
      return;
    }
    data.erase(0, static_cast<size_t>(n));
    if (data.empty()) return;
  }
  c->output += data;
  if (c->output.size() > kMaxPendingOutput) {
    CloseConnection(c, "it does not read its replies");
    return;
  }
  Loop().SetWatchEvents(c->watch, POLLIN | POLLOUT);
}

void AutomationEndpoint::CloseConnection(const std::shared_ptr<Connection>& c, const std::string& why) {
  if (c->closed) return;
  c->closed = true;
  if (c->host_listener != 0 && sink_ != nullptr) sink_->RemoveListener(c->host_listener);
  Loop().Unwatch(c->watch);
  c->fd.Reset();
  connections_.erase(c->id);
  if (accept_pause_) accept_pause_->Resume();
  WriteDebugLog("Automation, connection " + std::to_string(c->id) + " closed: " + why, 8);
}

}  // namespace dvrlink
