#include "dvrctl/host_client.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>
#include <sstream>

#include "platform/net/address_filter.h"
#include "platform/net/json_text.h"
#include "support/debug_log.h"

namespace dvrlink {
namespace {

constexpr double kDefaultTimeoutSeconds = 30;

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (IsBlank(text.front()) || text.front() == '\r')) text.remove_prefix(1);
  while (!text.empty() && (IsBlank(text.back()) || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// A number of seconds given for `what`; raises HostUsageError otherwise.
double ParseSeconds(const std::string& what, const std::string& text, bool allow_zero) {
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(value) || value < 0 ||
      (!allow_zero && value == 0) || value > 86400) {
    throw HostUsageError(what + " takes a number of seconds" + (allow_zero ? "" : " above 0") +
                         " (at most 86400), not '" + text + "'");
  }
  return value;
}

long ParseCount(const std::string& what, const std::string& text, long most) {
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (!AllDigits(text) || end == nullptr || *end != '\0' || value < 1 || value > most) {
    throw HostUsageError(what + " takes a whole number from 1 to " + std::to_string(most) + ", not '" + text + "'");
  }
  return value;
}

int ToMillis(double seconds) { return static_cast<int>(std::lround(seconds * 1000)); }

std::string SecondsText(double seconds) {
  std::ostringstream s;
  s << seconds;
  return s.str();
}

}  // namespace

int64_t MonotonicMillis() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

HostAddress ParseHostAddress(const std::string& word, bool allow_port_zero) {
  auto bad = [&](const std::string& why) { return HostUsageError("'" + word + "' is not HOST:PORT: " + why); };
  HostAddress address;
  address.text = word;
  size_t colon = word.rfind(':');
  if (colon == std::string::npos) throw bad("no ':' before the port");
  if (!word.empty() && word[0] == '[') {
    size_t close = word.find(']');
    if (close == std::string::npos || close + 1 != colon) throw bad("an IPv6 address is written [ADDRESS]:PORT");
    address.host = word.substr(1, close - 1);
  } else {
    address.host = word.substr(0, colon);
    if (address.host.find(':') != std::string::npos) throw bad("an IPv6 address is written [ADDRESS]:PORT");
  }
  if (address.host.empty()) throw bad("the host is empty");
  address.port = word.substr(colon + 1);
  long port = AllDigits(address.port) && address.port.size() <= 5 ? std::strtol(address.port.c_str(), nullptr, 10) : -1;
  if (port < (allow_port_zero ? 0 : 1) || port > 65535) {
    throw bad("the port must be a number from " + std::string(allow_port_zero ? "0" : "1") + " to 65535");
  }
  address.port = std::to_string(port);
  return address;
}

std::string ReplyCode(const std::string& code_word) {
  std::string_view digits = code_word;
  bool negative = !digits.empty() && digits[0] == '-';
  if (negative) digits.remove_prefix(1);
  long value = AllDigits(digits) && digits.size() <= 6 ? std::strtol(code_word.c_str(), nullptr, 10) : LONG_MAX;
  if (value < INT16_MIN || value > INT16_MAX) {
    throw HostUsageError("the command code '" + code_word + "' is not a whole number from -32768 to 32767");
  }
  return std::to_string(value);
}

std::string BuildHostFrame(const std::vector<std::string>& words) {
  if (words.empty()) throw HostUsageError("a frame needs a command code");
  ReplyCode(words[0]);
  std::string frame(1, kHostFrameStart);
  for (size_t k = 0; k < words.size(); ++k) {
    const std::string& word = words[k];
    if (word.find_first_of(std::string{kHostFrameStart, kHostFrameEnd, kHostFieldSeparator}) != std::string::npos) {
      throw HostUsageError("field " + std::to_string(k) + " of frame " + words[0] +
                           " holds a framing character (24, 25 or 26)");
    }
    if (k > 0) frame += kHostFieldSeparator;
    frame += word;
  }
  frame += kHostFrameEnd;
  return frame;
}

std::string_view FrameCode(std::string_view body) { return body.substr(0, body.find(kHostFieldSeparator)); }

bool IsReplyTo(std::string_view body, std::string_view reply_code) {
  if (FrameCode(body) != reply_code || body.size() < reply_code.size() + 3) return false;
  std::string_view rest = body.substr(reply_code.size() + 1);
  std::string_view second = rest.substr(0, rest.find(kHostFieldSeparator));
  return second == "OK" || second == "NK";
}

std::string ShowFrame(std::string_view body) {
  std::string line;
  line.reserve(body.size() + 8);
  for (char ch : body) {
    auto c = static_cast<unsigned char>(ch);
    if (ch == kHostFieldSeparator) {
      line += '|';
    } else if (c < 0x20 || c == 0x7F) {
      AppendVisibleControl(line, ch);
    } else {
      line += ch;
    }
  }
  return TextForJson(line);
}

std::optional<std::string> FrameSplitter::Next() {
  while (true) {
    size_t start = buffer_.find(kHostFrameStart);
    if (start == std::string::npos) {
      buffer_.clear();
      return std::nullopt;
    }
    buffer_.erase(0, start);
    size_t end = buffer_.find(kHostFrameEnd, 1);
    size_t restart = buffer_.find(kHostFrameStart, 1);
    if (restart != std::string::npos && (end == std::string::npos || restart < end)) {
      buffer_.erase(0, restart);  // an unfinished frame: start over at the new start character
      continue;
    }
    if (end == std::string::npos) return std::nullopt;
    std::string body = buffer_.substr(1, end - 1);
    buffer_.erase(0, end + 1);
    return body;
  }
}

std::vector<std::vector<std::string>> SplitFrameWords(const std::vector<std::string>& words) {
  std::vector<std::vector<std::string>> frames;
  if (words.empty()) return frames;
  frames.emplace_back();
  for (const std::string& word : words) {
    if (word == ",") {
      if (frames.back().empty()) throw HostUsageError("an empty frame before ','");
      frames.emplace_back();
    } else {
      frames.back().push_back(word);
    }
  }
  if (frames.back().empty()) throw HostUsageError("an empty frame after the last ','");
  return frames;
}

std::vector<std::string> SplitScriptWords(std::string_view line) {
  std::vector<std::string> words;
  size_t i = 0;
  const size_t n = line.size();
  while (true) {
    while (i < n && (IsBlank(line[i]) || line[i] == '\r')) ++i;
    if (i >= n) break;
    std::string word;
    if (line[i] == '"') {
      bool closed = false;
      for (++i; i < n; ++i) {
        if (line[i] == '\\' && i + 1 < n && (line[i + 1] == '"' || line[i + 1] == '\\')) {
          word += line[++i];
        } else if (line[i] == '"') {
          closed = true;
          ++i;
          break;
        } else {
          word += line[i];
        }
      }
      if (!closed) throw HostUsageError("a quoted field is not closed");
      if (i < n && !IsBlank(line[i]) && line[i] != '\r') throw HostUsageError("a blank must follow a quoted field");
    } else {
      while (i < n && !IsBlank(line[i]) && line[i] != '\r') {
        if (line[i] == '"') throw HostUsageError("a quote inside a field: quote the whole field");
        word += line[i++];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::vector<ScriptStep> ParseHostScript(std::string_view text, const std::string& name) {
  std::vector<ScriptStep> steps;
  size_t number = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    ++number;
    std::string_view line = Trim(raw);
    if (line.empty() || line[0] == '#') continue;
    ScriptStep step;
    step.where = name + ":" + std::to_string(number);
    try {
      std::string_view keyword = line.substr(0, std::min(line.find(' '), line.find('\t')));
      if (keyword == "expect") {
        step.kind = ScriptStep::Kind::kExpect;
        step.text = std::string(Trim(line.substr(keyword.size())));
        if (step.text.empty()) throw HostUsageError("expect needs the text to wait for");
      } else if (keyword == "wait") {
        std::vector<std::string> words = SplitScriptWords(line);
        if (words.size() != 2) throw HostUsageError("wait takes one number of seconds");
        step.kind = ScriptStep::Kind::kWait;
        step.seconds = ParseSeconds("wait", words[1], true);
      } else {
        step.words = SplitScriptWords(line);
        BuildHostFrame(step.words);
      }
    } catch (const HostUsageError& e) {
      throw HostUsageError(step.where + ": " + e.what());
    }
    steps.push_back(std::move(step));
  }
  return steps;
}

// ---------------------------------------------------------------------------
// The connection.

HostConnection::HostConnection(const HostAddress& address, int timeout_ms) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &found);
  if (rc != 0) {
    throw std::runtime_error("cannot resolve " + address.host + " (" + address.text + "): " +
                             (rc == EAI_SYSTEM ? net::ErrorText(errno) : std::string(::gai_strerror(rc))));
  }
  std::string reasons;
  int64_t deadline = MonotonicMillis() + timeout_ms;
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    sockaddr_storage where{};
    std::memcpy(&where, ai->ai_addr, std::min<size_t>(ai->ai_addrlen, sizeof where));
    std::string why;
    net::UniqueFd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
      why = net::ErrorText(errno);
    } else if (::connect(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
      why = net::ErrorText(errno);
    } else {
      pollfd p{fd.get(), POLLOUT, 0};
      int64_t left = std::max<int64_t>(deadline - MonotonicMillis(), 0);
      int ready;
      do {
        ready = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX)));
      } while (ready < 0 && errno == EINTR);
      int error = 0;
      socklen_t length = sizeof error;
      if (ready == 0) {
        why = "no answer within " + SecondsText(timeout_ms / 1000.0) + " s";
      } else if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        why = net::ErrorText(error != 0 ? error : errno);
      }
    }
    if (why.empty()) {
      int on = 1;
      ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      fd_ = std::move(fd);
      break;
    }
    reasons += (reasons.empty() ? "" : "; ") + net::SocketAddressText(where) + ": " + why;
  }
  ::freeaddrinfo(found);
  if (!fd_.valid()) throw std::runtime_error("cannot connect to " + address.text + " (" + reasons + ")");
}

void HostConnection::Send(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    if (closed_) throw std::runtime_error("the connection is closed");
    long n = net::SendSome(fd_.get(), bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      closed_ = true;
      throw std::runtime_error("cannot send: " + net::ErrorText(errno));
    }
    done += static_cast<size_t>(n);
    if (done < bytes.size()) {
      pollfd p{fd_.get(), POLLOUT, 0};
      ::poll(&p, 1, 1000);
    }
  }
}

std::optional<std::string> HostConnection::NextFrame(int64_t deadline_ms) {
  while (true) {
    if (std::optional<std::string> body = splitter_.Next()) return body;
    if (closed_) return std::nullopt;
    int wait = -1;
    if (deadline_ms >= 0) {
      int64_t left = deadline_ms - MonotonicMillis();
      if (left <= 0) return std::nullopt;
      wait = static_cast<int>(std::min<int64_t>(left, INT_MAX));
    }
    pollfd p{fd_.get(), POLLIN, 0};
    int ready = ::poll(&p, 1, wait);
    if (ready <= 0) continue;  // EINTR or the deadline, checked above
    char chunk[65536];
    ssize_t n = ::recv(fd_.get(), chunk, sizeof chunk, 0);
    if (n > 0) {
      splitter_.Feed(std::string_view(chunk, static_cast<size_t>(n)));
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      closed_ = true;
    }
  }
}

// ---------------------------------------------------------------------------
// The command line.

const char* HostClientUsage() {
  return "host-client mode:\n"
         "  dvrctl [--timeout S] [--wait S] HOST:PORT CODE [FIELD...] [, CODE [FIELD...]]...\n"
         "  dvrctl [--timeout S] [--wait S] --script FILE HOST:PORT\n"
         "  dvrctl [--timeout S] --bench N [--clients C] HOST:PORT [CODE [FIELD...]]\n"
         "  dvrctl --echo-server [ADDRESS:]PORT\n"
         "\n"
         "As a host workstation (the first word that is not an option is HOST:PORT,\n"
         "[IPv6]:PORT or NAME:PORT): connects to an instance's host-client port and sends\n"
         "one frame per CODE and its FIELDs; a lone ',' word starts the next frame. Each\n"
         "frame is sent once the one before has its reply. Every reply and notice is\n"
         "printed on one line: fields separated by '|', CR LF TAB as \\r \\n \\t, other\n"
         "control characters as \\xNN. A frame with the code of the frame waiting for its\n"
         "reply and OK or NK as second field is that reply; any other is printed after\n"
         "'notice '. Options go before HOST:PORT; every word after it is a field.\n"
         "\n"
         "  --timeout S      how long to wait for each reply (default 30; fractions allowed)\n"
         "  --wait S         after the last reply, print notices for S more seconds\n"
         "                   (default 0: exit at the last reply)\n"
         "  --script FILE    frames from FILE ('-': standard input), one per line: words\n"
         "                   separated by blanks, \"double quotes\" around a field with\n"
         "                   blanks (\\\" and \\\\ inside), \"\" an empty field; blank lines\n"
         "                   and lines starting with # are skipped; lines\n"
         "                     wait S        print notices for S seconds\n"
         "                     expect TEXT   wait (at most --timeout) until a line printed\n"
         "                                   since the last frame contains TEXT\n"
         "  --bench N        N round trips of the frame (default 39) per client, one at a\n"
         "                   time; prints the count, time, rate and p50/p99 latency\n"
         "  --clients C      clients of --bench running at once (default 1)\n"
         "  --echo-server P  serve [ADDRESS:]PORT (default address 127.0.0.1; port 0:\n"
         "                   any), sending every frame back unchanged: a bare TCP\n"
         "                   round trip to compare --bench against\n"
         "\n"
         "Exit status: 0 every frame got its reply (NK is a reply), 1 an expect line was\n"
         "not met, 2 bad command line, no connection, or a reply did not come (the\n"
         "connection closed or --timeout passed).\n";
}

namespace {

const std::set<std::string>& HostOnlyOptions() {
  static const std::set<std::string> options = {"--wait", "--script", "--bench", "--clients", "--echo-server"};
  return options;
}

// A connection and everything printed on it, for the frame, wait and expect
// steps.
class HostSession {
 public:
  HostSession(HostConnection& connection, const HostAddress& address, int timeout_ms, std::ostream& out,
              std::ostream& err)
      : connection_(connection), address_(address), timeout_ms_(timeout_ms), out_(out), err_(err) {}

  // Sends the frame and prints what comes until its reply; 2 when the reply
  // does not come.
  int Frame(const std::vector<std::string>& words, size_t number) {
    std::string code = ReplyCode(words[0]);
    std::string what = "frame " + std::to_string(number) + " (" + code + ")";
    if (connection_.closed()) return Fail(address_.text + " closed the connection before " + what + " was sent");
    try {
      connection_.Send(BuildHostFrame(words));
    } catch (const std::runtime_error& e) {
      return Fail(address_.text + ": " + what + ": " + e.what());
    }
    cursor_ = printed_.size();
    int64_t deadline = MonotonicMillis() + timeout_ms_;
    while (true) {
      std::optional<std::string> body = connection_.NextFrame(deadline);
      if (!body) {
        if (connection_.closed()) {
          return Fail(address_.text + " closed the connection before the reply to " + what);
        }
        return Fail("no reply to " + what + " from " + address_.text + " within " +
                    SecondsText(timeout_ms_ / 1000.0) + " s");
      }
      if (IsReplyTo(*body, code)) {
        Print(ShowFrame(*body));
        return 0;
      }
      Print("notice " + ShowFrame(*body));
    }
  }

  // Prints notices for the time given.
  void Wait(double seconds) {
    int64_t deadline = MonotonicMillis() + ToMillis(seconds);
    while (std::optional<std::string> body = connection_.NextFrame(deadline)) Print("notice " + ShowFrame(*body));
    NoteClosed();
  }

  // Waits until a line printed since the last frame holds the text; 1 when
  // it does not come.
  int Expect(const std::string& text, const std::string& where) {
    for (size_t k = cursor_; k < printed_.size(); ++k) {
      if (printed_[k].find(text) != std::string::npos) {
        cursor_ = k + 1;
        return 0;
      }
    }
    int64_t deadline = MonotonicMillis() + timeout_ms_;
    while (std::optional<std::string> body = connection_.NextFrame(deadline)) {
      Print("notice " + ShowFrame(*body));
      if (printed_.back().find(text) != std::string::npos) {
        cursor_ = printed_.size();
        return 0;
      }
    }
    err_ << "dvrctl: " << where << ": '" << text << "' did not come"
         << (connection_.closed() ? ": " + address_.text + " closed the connection"
                                  : " within " + SecondsText(timeout_ms_ / 1000.0) + " s")
         << "\n";
    return 1;
  }

 private:
  void Print(const std::string& line) {
    out_ << line << "\n" << std::flush;
    printed_.push_back(line);
  }
  int Fail(const std::string& message) {
    err_ << "dvrctl: " << message << "\n";
    return 2;
  }
  void NoteClosed() {
    if (connection_.closed() && !close_noted_) {
      err_ << "dvrctl: " << address_.text << " closed the connection\n";
      close_noted_ = true;
    }
  }

  HostConnection& connection_;
  const HostAddress& address_;
  int timeout_ms_;
  std::ostream& out_;
  std::ostream& err_;
  std::vector<std::string> printed_;
  size_t cursor_ = 0;  // expect looks at printed_ from here on
  bool close_noted_ = false;
};

std::string ReadScript(const std::string& path) {
  if (path == "-") return std::string(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  std::ifstream file(path, std::ios::binary);
  if (!file) throw HostUsageError("cannot read the script " + path + ": " + net::ErrorText(errno));
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace

bool IsHostClientCommandLine(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") return false;
    if (a.rfind("--", 0) == 0) {
      if (HostOnlyOptions().count(a) != 0) return true;
      ++i;  // every option takes a value
      continue;
    }
    return a.find(':') != std::string::npos;
  }
  return false;
}

int RunHostClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    double timeout_seconds = kDefaultTimeoutSeconds;
    double wait_seconds = 0;
    std::optional<std::string> script;
    std::optional<long> rounds;
    std::optional<long> clients;
    std::optional<std::string> echo;
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; ++i) {
      const std::string& a = args[i];
      if (i + 1 >= args.size()) throw HostUsageError("option " + a + " needs a value");
      const std::string& value = args[++i];
      if (a == "--timeout") {
        timeout_seconds = ParseSeconds(a, value, false);
      } else if (a == "--wait") {
        wait_seconds = ParseSeconds(a, value, true);
      } else if (a == "--script") {
        script = value;
      } else if (a == "--bench") {
        rounds = ParseCount(a, value, 100'000'000);
      } else if (a == "--clients") {
        clients = ParseCount(a, value, 1000);
      } else if (a == "--echo-server") {
        echo = value;
      } else if (a == "--socket" || a == "--config") {
        throw HostUsageError(a + " belongs to the automation endpoint, not to HOST:PORT");
      } else {
        throw HostUsageError("unknown option " + a);
      }
    }
    if (echo) {
      if (i < args.size()) throw HostUsageError("--echo-server takes no further words");
      return RunEchoServer(ParseHostAddress(echo->find(':') == std::string::npos ? "127.0.0.1:" + *echo : *echo, true),
                           out, err);
    }
    if (i >= args.size()) throw HostUsageError("no HOST:PORT given");
    const HostAddress address = ParseHostAddress(args[i++]);
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    const int timeout_ms = ToMillis(timeout_seconds);
    if (clients && !rounds) throw HostUsageError("--clients goes with --bench");

    if (rounds) {
      if (script) throw HostUsageError("--bench takes its frame from the command line, not from --script");
      if (wait_seconds > 0) throw HostUsageError("--wait does not go with --bench");
      std::vector<std::vector<std::string>> frames = SplitFrameWords(rest);
      if (frames.size() > 1) throw HostUsageError("--bench sends one frame");
      std::vector<std::string> words = frames.empty() ? std::vector<std::string>{"39"} : frames[0];
      BuildHostFrame(words);
      return RunHostBench(address, words, *rounds, static_cast<int>(clients.value_or(1)), timeout_ms, out, err);
    }

    std::vector<ScriptStep> steps;
    if (script) {
      if (!rest.empty()) throw HostUsageError("frames come from --script or from the command line, not both");
      steps = ParseHostScript(ReadScript(*script), *script == "-" ? "(standard input)" : *script);
    } else {
      for (std::vector<std::string>& words : SplitFrameWords(rest)) {
        BuildHostFrame(words);
        ScriptStep step;
        step.words = std::move(words);
        steps.push_back(std::move(step));
      }
      if (steps.empty()) throw HostUsageError("no frame given after " + address.text);
    }

    HostConnection connection(address, timeout_ms);
    HostSession session(connection, address, timeout_ms, out, err);
    size_t frames_sent = 0;
    for (const ScriptStep& step : steps) {
      int status = 0;
      switch (step.kind) {
        case ScriptStep::Kind::kFrame:
          status = session.Frame(step.words, ++frames_sent);
          break;
        case ScriptStep::Kind::kWait:
          session.Wait(step.seconds);
          break;
        case ScriptStep::Kind::kExpect:
          status = session.Expect(step.text, step.where);
          break;
      }
      if (status != 0) return status;
    }
    if (wait_seconds > 0) session.Wait(wait_seconds);
    return 0;
  } catch (const HostUsageError& e) {
    err << "dvrctl: " << e.what() << "\n(dvrctl --help shows the usage)\n";
    return 2;
  } catch (const std::exception& e) {
    err << "dvrctl: " << e.what() << "\n";
    return 2;
  }
}

}  // namespace dvrlink
