// HTTP POSTs through libcurl's multi interface, driven by the message loop:
// curl's sockets become watches of the loop and its time-outs a loop timer,
// so any number of requests run at once on the one thread and none blocks.
// HTTP digest authentication, TLS verification (on by default), a CA file,
// a pinned public key or an accepted self-signed certificate are options of
// the client.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/event_loop.h"

namespace dvrlink::onvif {

struct HttpOptions {
  // HTTP digest authentication with these credentials when digest is set;
  // nothing is sent otherwise.
  bool digest = false;
  std::string user;
  std::string password;
  // TLS: the peer and its name are verified against the system's CAs (or
  // ca_file) unless allow_self_signed; pinned_key (curl's "sha256//BASE64"
  // form, or a PEM/DER file) must match the server's key when set.
  std::string ca_file;
  std::string pinned_key;
  bool allow_self_signed = false;
};

struct HttpResult {
  // 0 when no HTTP answer came (error holds why).
  long status = 0;
  std::string body;
  // Transport failure: "connection refused", "no answer within 2000 ms", ...
  std::string error;
  // The server asked for HTTP digest authentication (a 401 with a Digest
  // challenge).
  bool digest_challenge = false;
};

class HttpClient {
 public:
  using Done = std::function<void(HttpResult)>;
  using RequestId = uint64_t;

  // The loop must outlive the client. Raises std::runtime_error when curl
  // cannot be set up.
  HttpClient(EventLoop& loop, HttpOptions options);
  ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  void SetOptions(HttpOptions options) { options_ = std::move(options); }
  const HttpOptions& options() const { return options_; }

  // POSTs body (application/soap+xml with the action) to url; done runs on
  // the loop once the exchange ends, never inside this call. A request that
  // gets no whole answer within timeout_ms ends with an error.
  RequestId Post(const std::string& url, const std::string& body, const std::string& action, int64_t timeout_ms,
                 Done done);
  // Drops the request: its done never runs.
  void Cancel(RequestId id);
  // Requests in flight.
  size_t Pending() const { return requests_.size() + delivering_.size(); }

 private:
  struct Request;
  static int OnSocket(void* easy, int socket, int what, void* self, void* socket_data);
  static int OnTimer(void* multi, long timeout_ms, void* self);
  void Act(int socket, int flags);
  void Finish();

  EventLoop* loop_;  // not owned
  HttpOptions options_;
  void* multi_ = nullptr;  // CURLM*
  std::map<RequestId, std::unique_ptr<Request>> requests_;
  // Finished requests whose done waits on the loop.
  std::set<RequestId> delivering_;
  std::map<int, EventLoop::WatchId> watches_;
  std::unique_ptr<Timer> timer_;
  RequestId next_id_ = 1;
  bool finishing_posted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::onvif
