// dvrctl as a host workstation: it connects to an instance's host-client
// port over TCP, sends command frames built from words (from the command line
// or a script file) and prints every reply and notice as one line of text.
// Also the round-trip benchmark (--bench) and a frame echo server
// (--echo-server) to hold the benchmark against.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/fd.h"

namespace dvrlink {

inline constexpr char kHostFrameStart = 24;
inline constexpr char kHostFrameEnd = 25;
inline constexpr char kHostFieldSeparator = 26;

// A bad command line or script; dvrctl prints it and exits with status 2.
class HostUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct HostAddress {
  std::string host;  // a name, an IPv4 address, or an IPv6 address without brackets
  std::string port;  // decimal, 1..65535 (0 only where a listener may take any port)
  std::string text;  // as the user wrote it, for messages
};

// HOST:PORT or [IPv6]:PORT. Raises HostUsageError naming the word and what is
// wrong with it. allow_port_zero: for listeners (the system picks a port).
HostAddress ParseHostAddress(const std::string& word, bool allow_port_zero = false);

// The reply code of a frame whose code word is `code_word`: its decimal
// value ("039" -> "39"), as the service reads it. Raises HostUsageError when
// the word is not a whole number of 16 bits (the service would not answer).
std::string ReplyCode(const std::string& code_word);

// Character 24, words[0] (the code), each further word after character 26,
// character 25. Raises HostUsageError for no words, a bad code, or a word
// holding one of the three framing characters.
std::string BuildHostFrame(const std::vector<std::string>& words);

// The first field of a received frame body (the text between 24 and 25).
std::string_view FrameCode(std::string_view body);

// Whether a received body is the reply to a frame with this reply code: that
// code, then "OK" or "NK" as the second field. Notices never have that shape
// (grants 45/46 and progress 33/35 carry numbers and times there) except a
// current-file notice 42 for a file named OK or NK while a frame of code 42
// waits, which the service answers NK anyway.
bool IsReplyTo(std::string_view body, std::string_view reply_code);

// A received body as one printable line: separators as '|', CR, LF and TAB as
// \r, \n and \t, other control characters as \xNN; a body that is not valid
// UTF-8 is read as Latin-1 (bytes are characters on this protocol).
std::string ShowFrame(std::string_view body);

// Cuts a received byte stream into frame bodies. Bytes outside frames are
// dropped; a start character inside an unfinished frame starts it over.
class FrameSplitter {
 public:
  void Feed(std::string_view data) { buffer_.append(data.data(), data.size()); }
  // The next complete body; nothing until one has arrived.
  std::optional<std::string> Next();

 private:
  std::string buffer_;
};

// Command-line words after HOST:PORT cut into frames at each lone ",".
// Raises HostUsageError for an empty frame (",," or a leading/trailing ",").
std::vector<std::vector<std::string>> SplitFrameWords(const std::vector<std::string>& words);

// One line of a script: words separated by blanks; a word in double quotes
// may hold blanks and is taken as it is except that \" stands for a quote
// and \\ for a backslash (any other backslash is itself, for Windows paths);
// "" is an empty field. Raises HostUsageError for an unterminated quote or a
// quote glued to other text.
std::vector<std::string> SplitScriptWords(std::string_view line);

struct ScriptStep {
  enum class Kind { kFrame, kWait, kExpect };
  Kind kind = Kind::kFrame;
  std::vector<std::string> words;  // kFrame: code and fields
  double seconds = 0;              // kWait
  std::string text;                // kExpect: the text to find in a printed line
  std::string where;               // "FILE:LINE", for messages
};

// A script: one frame per line (code and fields), blank lines and lines
// starting with '#' skipped, `wait SECONDS` reads notices that long,
// `expect TEXT` waits until a line printed since the last frame contains
// TEXT. Raises HostUsageError as "NAME:LINE: reason".
std::vector<ScriptStep> ParseHostScript(std::string_view text, const std::string& name);

// A blocking TCP connection to a host-client port that yields frame bodies.
class HostConnection {
 public:
  // Resolves the address (getaddrinfo) and connects to the first address
  // that answers within timeout_ms. Raises std::runtime_error naming the
  // address and the reason.
  HostConnection(const HostAddress& address, int timeout_ms);

  // Raises std::runtime_error when the connection is gone.
  void Send(const std::string& bytes);
  // The next frame body, waiting until deadline_ms (monotonic milliseconds,
  // see MonotonicMillis; < 0: no limit). Nothing on timeout or once the peer
  // has closed the connection (then closed() is true).
  std::optional<std::string> NextFrame(int64_t deadline_ms);
  bool closed() const { return closed_; }

 private:
  net::UniqueFd fd_;
  FrameSplitter splitter_;
  bool closed_ = false;
};

int64_t MonotonicMillis();

// --bench: `clients` connections each send the frame `rounds` times, one at
// a time, waiting for its reply (the next frame carrying the frame's code, so
// an echo server's copy counts too); prints the round trips, wall time, rate
// and the p50/p99 latency. Returns 0, or 2 when a connection or a reply fails.
int RunHostBench(const HostAddress& address, const std::vector<std::string>& words, long rounds, int clients,
                 int timeout_ms, std::ostream& out, std::ostream& err);

// --echo-server: listens on the address (port 0: any free port), prints
// "listening on ADDRESS:PORT" and sends every frame a client sends back to
// it unchanged, until killed. Returns 2 when it cannot listen.
int RunEchoServer(const HostAddress& address, std::ostream& out, std::ostream& err);

// The host-client part of `dvrctl --help`.
const char* HostClientUsage();

// Whether a dvrctl command line is for the host client: its first word that
// is not an option holds a ':' (HOST:PORT), or it uses an option only the
// host client has. --help leaves it to the automation client's usage.
bool IsHostClientCommandLine(const std::vector<std::string>& args);

// dvrctl in host-client mode (arguments without the program name); returns
// the exit status: 0 every frame got its reply, 1 an expect line was not
// met, 2 bad command line, no connection, or a reply missing.
int RunHostClient(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dvrlink
