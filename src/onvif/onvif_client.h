// SOAP calls to one ONVIF device: each call is an envelope built with the
// XML library, POSTed through the HttpClient, and its answer read back as a
// SoapMessage or a one-line error. Authentication is HTTP digest or a
// WS-Security UsernameToken whose Created time follows the device's clock
// (the measured skew); a 401 with a digest challenge switches an automatic
// client to digest and the call is made again once. Calls to one service
// endpoint go one after another.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "onvif/http_client.h"
#include "onvif/soap.h"

namespace dvrlink::onvif {

// The outcome of a call: the answer's payload, or why there is none.
struct CallResult {
  enum class Failure { kNone, kTransport, kHttp, kUnauthorized, kMalformed, kFault };
  Failure failure = Failure::kNone;
  // One line for logs: "HTTP 500", "SOAP fault s:Receiver/ter:Action: ...",
  // "malformed XML: ...", "no answer within 2000 ms".
  std::string error;
  SoapMessage message;

  bool ok() const { return failure == Failure::kNone; }
  // The device did not answer at all (refused, timed out, broken off).
  bool transport() const { return failure == Failure::kTransport; }
};

enum class Auth { kNone, kDigest, kUsernameToken };

class OnvifClient {
 public:
  using Body = std::function<void(Envelope&, xmlNodePtr body)>;
  using Done = std::function<void(CallResult)>;
  using CallId = uint64_t;

  // The loop must outlive the client.
  OnvifClient(EventLoop& loop, HttpOptions http, std::string user, std::string password);

  void SetAuth(Auth auth);
  Auth auth() const { return auth_; }
  // Whether a 401 digest challenge may switch the client to digest.
  void SetAutoDigest(bool on) { auto_digest_ = on; }
  // Seconds the device clock runs ahead of this computer's.
  void SetSkew(int64_t seconds) { skew_ = seconds; }
  int64_t skew() const { return skew_; }
  // The device's UTC now, by this computer's clock and the skew.
  int64_t DeviceUtcNow() const;

  // Calls op of namespace ns_uri at url with the body built by body (the
  // operation's element is made here and handed to body). With addressing,
  // wsa:Action and wsa:To headers are added (subscription managers want
  // them). done runs on the loop, never inside this call.
  CallId Call(const std::string& url, const char* ns_uri, const char* op, Body body, int64_t timeout_ms, Done done,
              bool addressing = false);
  // The same without authentication (GetSystemDateAndTime before the skew
  // is known).
  CallId CallAnonymous(const std::string& url, const char* ns_uri, const char* op, Body body, int64_t timeout_ms,
                       Done done);
  void Cancel(CallId id);
  void CancelAll();

 private:
  // Runs launch now, or once the calls before it to the same endpoint have
  // ended (own_lane: at once, whatever runs there).
  CallId Queue(const std::string& url, bool own_lane, std::function<void(CallId)> launch);
  void Next(CallId finished);
  void Start(CallId id, const std::string& url, const char* ns_uri, const char* op, Body body, int64_t timeout_ms,
             Done done, bool addressing, Auth auth, bool retried);
  static CallResult Read(HttpResult http, const std::string& op);

  EventLoop* loop_;  // not owned
  std::unique_ptr<HttpClient> http_;
  HttpOptions http_options_;
  std::string user_;
  std::string password_;
  Auth auth_ = Auth::kNone;
  bool auto_digest_ = false;
  int64_t skew_ = 0;
  CallId next_id_ = 1;
  // Calls in flight: their HTTP request now (a call made again after a
  // digest challenge keeps its id).
  std::map<CallId, HttpClient::RequestId> http_ids_;
  // Endpoints with a call in flight, the calls waiting for each, and the
  // endpoint ("" for none) of every call not yet ended.
  std::set<std::string> busy_;
  std::map<std::string, std::deque<std::pair<CallId, std::function<void(CallId)>>>> waiting_;
  std::map<CallId, std::string> lanes_;
};

}  // namespace dvrlink::onvif
