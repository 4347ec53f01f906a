#include "onvif/onvif_client.h"

#include "onvif/zone_time.h"

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
  return Queue(url, addressing, [=, this](CallId id) {
    Start(id, url, ns_uri, op, body, timeout_ms, done, addressing, auth_, false);
  });
}

OnvifClient::CallId OnvifClient::CallAnonymous(const std::string& url, const char* ns_uri, const char* op, Body body,
                                               int64_t timeout_ms, Done done) {
  return Queue(url, false, [=, this](CallId id) {
    Start(id, url, ns_uri, op, body, timeout_ms, done, false, Auth::kNone, false);
  });
}

OnvifClient::CallId OnvifClient::Queue(const std::string& url, bool own_lane, std::function<void(CallId)> launch) {
  CallId id = next_id_++;
  // A service endpoint takes one call at a time (calls to a subscription
  // manager, such as the long pull, go at once): a device that hands out
  // digest nonces by the time of the challenge can then never meet two
  // answers to one nonce.
  const std::string lane = own_lane ? std::string() : url;
  lanes_[id] = lane;
  if (lane.empty() || busy_.insert(lane).second) {
    launch(id);
  } else {
    waiting_[lane].emplace_back(id, std::move(launch));
  }
  return id;
}

void OnvifClient::Next(CallId finished) {
  auto it = lanes_.find(finished);
  if (it == lanes_.end()) return;
  const std::string lane = it->second;
  lanes_.erase(it);
  if (lane.empty()) return;
  auto queue = waiting_.find(lane);
  if (queue == waiting_.end() || queue->second.empty()) {
    busy_.erase(lane);
    waiting_.erase(lane);
    return;
  }
  auto [id, launch] = std::move(queue->second.front());
  queue->second.pop_front();
  launch(id);
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
        if (http.status == 401 && http.digest_challenge && !retried && (auto_digest_ || auth == Auth::kDigest)) {
          // The device wants HTTP digest (from now on every call uses it),
          // or it refused a digest answer made for a nonce it no longer
          // takes (parallel requests may meet the same nonce): once more
          // with a fresh challenge.
          if (auth != Auth::kDigest) auth_ = Auth::kDigest;
          Start(id, url, ns_uri, op_name.c_str(), body, timeout_ms, done, addressing, Auth::kDigest, true);
          return;
        }
        Next(id);
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
  if (it != http_ids_.end()) {
    http_->Cancel(it->second);
    http_ids_.erase(it);
    Next(id);
    return;
  }
  for (auto& [lane, queue] : waiting_) {
    for (auto q = queue.begin(); q != queue.end(); ++q) {
      if (q->first != id) continue;
      queue.erase(q);
      lanes_.erase(id);
      return;
    }
  }
}

void OnvifClient::CancelAll() {
  for (auto& [id, request] : http_ids_) http_->Cancel(request);
  http_ids_.clear();
  waiting_.clear();
  busy_.clear();
  lanes_.clear();
}

}  // namespace dvrlink::onvif
