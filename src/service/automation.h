// The automation endpoint: the component's public methods and properties,
// reached by name over JSON Lines on a Unix domain socket.
//
// Requests (one JSON object per line):
//   {"id":7,"instance":"A-0-5000","method":"Connect","args":["127.0.0.2","7000","7001"]}
//   {"id":8,"instance":"A-0-5000","get":"Version"}
//   {"id":9,"instance":0,"set":"ServerPort","value":5001}
//   {"id":10,"list":true}
//   {"id":11,"subscribe":"host"}
// Replies carry the request's id and "result" or "error":
//   {"id":7,"result":true}
//   {"id":7,"error":{"number":13,"description":"Type mismatch"}}
// `instance` as a string is matched against ID, as a number against the DVR
// number. Errors: 5 unknown instance (and malformed requests), 438 unknown
// method or property, 450 wrong argument count (or a set without a value),
// 13/6/94 arguments that cannot be converted (the method is then not
// called), or whatever error the method lets through. A line that is not
// JSON is answered with "id":null; the connection stays open.
//
// Calls run on the message loop; one that arrives while another waits in
// Delay runs nested, so replies may come out of order: match them by id.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/event_loop.h"
#include "platform/net/accept_pause.h"
#include "platform/net/fd.h"
#include "platform/net/json_text.h"

namespace dvrlink {

class clsDvrlink;
class HostSink;

// One instance as the endpoint sees it.
struct AutomationTarget {
  std::shared_ptr<clsDvrlink> instance;
  bool started = false;  // Initialize returned True
};

class AutomationDispatcher {
 public:
  using Targets = std::function<std::vector<AutomationTarget>()>;
  explicit AutomationDispatcher(Targets targets) : targets_(std::move(targets)) {}

  // Answers one request line. `subscribe` handles {"subscribe":TOPIC} and
  // says whether the topic exists; without it no topic exists.
  std::string HandleLine(std::string_view line,
                         const std::function<bool(const std::string& topic)>& subscribe = nullptr);
  Json Handle(const Json& request, const std::function<bool(const std::string& topic)>& subscribe);

 private:
  std::shared_ptr<clsDvrlink> FindInstance(const Json& which);
  Json List();
  Targets targets_;
};

// The error reply for a number (standard description unless given).
Json ErrorReply(const Json& id, int32_t number, const std::string& description = std::string());

class AutomationEndpoint {
 public:
  // A connection's unread output beyond this closes it.
  static constexpr size_t kMaxPendingOutput = 8 * 1024 * 1024;
  // A request line longer than this closes the connection.
  static constexpr size_t kMaxLine = 4 * 1024 * 1024;

  // `sink` may be null (no host subscription then).
  AutomationEndpoint(AutomationDispatcher& dispatcher, HostSink* sink);
  ~AutomationEndpoint();
  AutomationEndpoint(const AutomationEndpoint&) = delete;
  AutomationEndpoint& operator=(const AutomationEndpoint&) = delete;

  // Listens at path with mode 0600. A stale socket file (no one listening)
  // is replaced; a path in use by a running listener, a path that is not a
  // socket, or a path too long raises std::runtime_error with the reason.
  // Out of file descriptors, the listener rests until a connection closes
  // (net::AcceptPause), logged once per run.
  void Listen(const std::string& path);
  // Stops listening, closes every connection and removes the socket file.
  void Close();
  size_t ConnectionCount() const { return connections_.size(); }
  const std::string& path() const { return path_; }

 private:
  struct Connection {
    uint64_t id = 0;
    net::UniqueFd fd;
    EventLoop::WatchId watch = 0;
    std::string input;
    std::string output;
    uint64_t host_listener = 0;
    bool closed = false;
    bool handling = false;  // a request of this connection is on the stack
  };

  void OnAcceptReady();
  void OnReady(const std::shared_ptr<Connection>& c, short revents);
  void HandleLines(const std::shared_ptr<Connection>& c);
  void Write(const std::shared_ptr<Connection>& c, const std::string& line);
  void CloseConnection(const std::shared_ptr<Connection>& c, const std::string& why);

  AutomationDispatcher& dispatcher_;
  HostSink* sink_;
  std::string path_;
  net::UniqueFd listener_;
  EventLoop::WatchId listener_watch_ = 0;
  std::unique_ptr<net::AcceptPause> accept_pause_;
  std::map<uint64_t, std::shared_ptr<Connection>> connections_;
  uint64_t next_id_ = 1;
  // Cleared at destruction so late callbacks find the endpoint gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink
