#include "dvrlink-onvif/onvif_client.h"

#include "dvrlink-onvif/zone_time.h"

namespace dvrlink::onvif {

OnvifClient::OnvifClient(EventLoop& loop, HttpOptions http, std::string user, std::string password)
    : loop_(&loop), http_options_(std::move(http)), user_(std::move(user)), password_(std::move(password)) {
  http_options_.user = user_;
  http_options_.password = password_;
  http_ = std::make_unique<HttpClient>(loop, http_options_);
}

void OnvifClient::SetAuth(Auth auth) { auth_ = auth; }

int64_t OnvifClient::DeviceUtcNow() const { return UtcNow() + skew_; }

OnvifClient::CallId OnvifClient::Call(const std::string& url, const char* ns_uri, const char* op, Body body,
                                      int64_t timeout_ms, Done done, bool addressing) {
  CallId id = next_id_++;
  Start(id, url, ns_uri, op, std::move(body), timeout_ms, std::move(done), addressing, auth_, false);
  return id;
}

OnvifClient::CallId OnvifClient::CallAnonymous(const std::string& url, const char* ns_uri, const char* op, Body body,
                                               int64_t timeout_ms, Done done) {
  CallId id = next_id_++;
  Start(id, url, ns_uri, op, std::move(body), timeout_ms, std::move(done), false, Auth::kNone, false);
  return id;
}

void OnvifClient::Start(CallId id, const std::string& url, const char* ns_uri, const char* op, Body body,
                        int64_t timeout_ms, Done done, bool addressing, Auth auth, bool retried) {
  Envelope envelope;
  const std::string action = std::string(ns_uri) + "/" + op;
  if (addressing) {
    envelope.Add(envelope.Header(), ns::kAddressing, "Action", action);
    envelope.Add(envelope.Header(), ns::kAddressing, "To", url);
  }
  if (auth == Auth::kUsernameToken) AddUsernameToken(envelope, user_, password_, DeviceUtcNow());
  xmlNodePtr element = envelope.Add(envelope.Body(), ns_uri, op);
  if (body) body(envelope, element);
  HttpOptions options = http_options_;
  options.digest = auth == Auth::kDigest;
  http_->SetOptions(options);
  std::string op_name = op;
  http_ids_[id] = http_->Post(
      url, envelope.Serialize(), action, timeout_ms,
      [this, id, url, ns_uri, op_name, body, timeout_ms, done, addressing, auth, retried](HttpResult http) {
        if (http_ids_.erase(id) == 0) return;  // cancelled
        if (http.status == 401 && http.digest_challenge && auto_digest_ && auth != Auth::kDigest && !retried) {
          // The device wants HTTP digest: from now on every call uses it.
          auth_ = Auth::kDigest;
          Start(id, url, ns_uri, op_name.c_str(), body, timeout_ms, done, addressing, Auth::kDigest, true);
          return;
        }
        if (done) done(Read(std::move(http), op_name));
      });
}

CallResult OnvifClient::Read(HttpResult http, const std::string& op) {
  CallResult result;
  if (!http.error.empty()) {
    result.failure = CallResult::Failure::kTransport;
    result.error = op + ": " + http.error;
    return result;
  }
  if (http.status == 401) {
    result.failure = CallResult::Failure::kUnauthorized;
    result.error = op + ": HTTP 401: the device refused the credentials";
    return result;
  }
  std::string problem;
  std::optional<SoapMessage> message = ReadEnvelope(http.body, problem);
  if (message && message->fault) {
    result.failure = CallResult::Failure::kFault;
    result.error = op + ": SOAP fault " + message->FaultText();
    if (message->fault_subcode.find("NotAuthorized") != std::string::npos) {
      result.failure = CallResult::Failure::kUnauthorized;
    }
    result.message = std::move(*message);
    return result;
  }
  if (http.status < 200 || http.status >= 300) {
    result.failure = CallResult::Failure::kHttp;
    result.error = op + ": HTTP " + std::to_string(http.status);
    return result;
  }
  if (!message) {
    result.failure = CallResult::Failure::kMalformed;
    result.error = op + ": " + problem;
    return result;
  }
  if (!message->payload) {
    result.failure = CallResult::Failure::kMalformed;
    result.error = op + ": an answer with an empty body";
    return result;
  }
  result.message = std::move(*message);
  return result;
}

void OnvifClient::Cancel(CallId id) {
  auto it = http_ids_.find(id);
  if (it == http_ids_.end()) return;
  http_->Cancel(it->second);
  http_ids_.erase(it);
}

void OnvifClient::CancelAll() {
  for (auto& [id, request] : http_ids_) http_->Cancel(request);
  http_ids_.clear();
}

}  // namespace dvrlink::onvif
