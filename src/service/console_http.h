// The HTTP side of the status console: libmicrohttpd running inside our one
// message loop (its epoll descriptor is watched by the loop, its time-outs are
// a loop timer; no thread of its own). It applies the console's two access
// rules before any handler runs:
//   - a client outside allowed_clients gets 403;
//   - a request that changes state (any method but GET and HEAD) without
//     "Authorization: Bearer TOKEN" matching the configured token gets 401
//     (every such request does when no token is configured).
// GET requests on the event path with "Accept: text/event-stream" become
// Server-Sent Event streams: Publish sends one event to every open stream.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "platform/event_loop.h"
#include "platform/net/address_filter.h"
#include "platform/net/fd.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace dvrlink {

struct LibMicrohttpd;  // the library's functions (console_http.cpp)

struct HttpRequest {
  std::string method;  // "GET", "POST", ...
  std::string path;    // without the query
  std::string client;  // the peer's address text
};

struct HttpResponse {
  int status = 200;
  std::string content_type = "application/json";
  std::string body;
};

struct ConsoleHttpOptions {
  sockaddr_storage address{};
  net::AddressFilter allowed_clients;
  std::string token;
  std::string event_path = "/api/events";
  // An idle connection is closed after this many seconds; open event
  // streams get a comment line every third of it.
  unsigned idle_seconds = 60;
  unsigned max_connections = 64;
};

class ConsoleHttp {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  // `opened` runs for each new event stream and returns what it is sent
  // first (may be empty).
  ConsoleHttp(EventLoop& loop, ConsoleHttpOptions options, Handler handler,
              std::function<std::string()> opened = nullptr);
  ~ConsoleHttp();
  ConsoleHttp(const ConsoleHttp&) = delete;
  ConsoleHttp& operator=(const ConsoleHttp&) = delete;

  // Listens. Raises std::runtime_error "cannot listen on ADDRESS: reason".
  void Start();
  // Ends every stream and closes every connection and the listener.
  void Stop();
  uint16_t BoundPort() const { return bound_port_; }

  // One event ("data: TEXT") to every open stream; TEXT holds no line end.
  void Publish(const std::string& text);
  size_t StreamCount() const { return streams_.size(); }

 private:
  struct Stream;
  struct Glue;  // the library's callbacks
  friend struct Glue;
  // Queues the answer to a request on the connection; false when the
  // library refused it.
  bool Answer(MHD_Connection* connection, const std::string& url, const std::string& method);
  bool OpenStream(MHD_Connection* connection);
  void Queue(Stream& stream, const std::string& text);
  // MHD's work, then its next time-out on our timer.
  void Run();

  EventLoop& loop_;
  ConsoleHttpOptions options_;
  Handler handler_;
  std::function<std::string()> opened_;
  std::unique_ptr<const LibMicrohttpd> mhd_;  // loaded by Start
  MHD_Daemon* daemon_ = nullptr;
  EventLoop::WatchId watch_ = 0;
  Timer timer_;
  Timer keepalive_;
  uint16_t bound_port_ = 0;
  std::set<Stream*> streams_;
  // Released at destruction, so a run posted earlier finds the server gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink
