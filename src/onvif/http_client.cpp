#include "onvif/http_client.h"

#include <curl/curl.h>
#include <poll.h>

#include <algorithm>
#include <stdexcept>

namespace dvrlink::onvif {
namespace {

// A whole SOAP answer is small; a server that sends more is cut off.
constexpr size_t kMaxBody = 4 * 1024 * 1024;

CURLM* Multi(void* multi) { return static_cast<CURLM*>(multi); }

void GlobalInit() {
  static const bool done = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
  }();
  (void)done;
}

std::string TransportError(CURLcode code, const char* detail, int64_t timeout_ms) {
  if (code == CURLE_OPERATION_TIMEDOUT) return "no answer within " + std::to_string(timeout_ms) + " ms";
  if (code == CURLE_COULDNT_CONNECT) return "connection refused or unreachable";
  std::string text = curl_easy_strerror(code);
  if (detail && *detail) text += ": " + std::string(detail);
  return text;
}

}  // namespace

struct HttpClient::Request {
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string body;
  std::string received;
  bool too_big = false;
  bool digest_challenge = false;
  int64_t timeout_ms = 0;
  char error[CURL_ERROR_SIZE] = {0};
  Done done;

  ~Request() {
    if (headers) curl_slist_free_all(headers);
    if (easy) curl_easy_cleanup(easy);
  }

  static size_t OnData(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<Request*>(self);
    size_t n = size * count;
    if (r->received.size() + n > kMaxBody) {
      r->too_big = true;
      return 0;  // ends the transfer
    }
    r->received.append(data, n);
    return n;
  }

  static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
    auto* r = static_cast<Request*>(self);
    std::string line(data, size * count);
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.rfind("www-authenticate:", 0) == 0 && lower.find("digest") != std::string::npos) {
      r->digest_challenge = true;
    }
    return size * count;
  }
};

HttpClient::HttpClient(EventLoop& loop, HttpOptions options) : loop_(&loop), options_(std::move(options)) {
  GlobalInit();
  multi_ = curl_multi_init();
  if (!multi_) throw std::runtime_error("cannot set up libcurl");
  curl_multi_setopt(Multi(multi_), CURLMOPT_SOCKETFUNCTION, &HttpClient::OnSocket);
  curl_multi_setopt(Multi(multi_), CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(Multi(multi_), CURLMOPT_TIMERFUNCTION, &HttpClient::OnTimer);
  curl_multi_setopt(Multi(multi_), CURLMOPT_TIMERDATA, this);
  timer_ = std::make_unique<Timer>(loop, [this] {
    timer_->SetEnabled(false);
    Act(CURL_SOCKET_TIMEOUT, 0);
  });
}

HttpClient::~HttpClient() {
  *alive_ = false;
  for (auto& [id, request] : requests_) curl_multi_remove_handle(Multi(multi_), request->easy);
  requests_.clear();
  for (auto& [socket, watch] : watches_) loop_->Unwatch(watch);
  watches_.clear();
  curl_multi_cleanup(Multi(multi_));
}

HttpClient::RequestId HttpClient::Post(const std::string& url, const std::string& body, const std::string& action,
                                       int64_t timeout_ms, Done done) {
  auto request = std::make_unique<Request>();
  Request& r = *request;
  r.easy = curl_easy_init();
  r.body = body;
  r.timeout_ms = timeout_ms;
  r.done = std::move(done);
  std::string type = "Content-Type: application/soap+xml; charset=utf-8";
  if (!action.empty()) type += "; action=\"" + action + "\"";
  r.headers = curl_slist_append(r.headers, type.c_str());
  // No "Expect: 100-continue" round trip before the body.
  r.headers = curl_slist_append(r.headers, "Expect:");
  CURL* e = r.easy;
  curl_easy_setopt(e, CURLOPT_URL, url.c_str());
  curl_easy_setopt(e, CURLOPT_POST, 1L);
  curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body.c_str());
  curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE, static_cast<long>(r.body.size()));
  curl_easy_setopt(e, CURLOPT_HTTPHEADER, r.headers);
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Request::OnData);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Request::OnHeader);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r.error);
  curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout_ms));
  curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::min<int64_t>(timeout_ms, 10000)));
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  if (getenv("DVRLINK_CURL_VERBOSE")) curl_easy_setopt(e, CURLOPT_VERBOSE, 1L);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  if (options_.digest) {
    curl_easy_setopt(e, CURLOPT_HTTPAUTH, CURLAUTH_DIGEST);
    curl_easy_setopt(e, CURLOPT_USERNAME, options_.user.c_str());
    curl_easy_setopt(e, CURLOPT_PASSWORD, options_.password.c_str());
  }
  if (!options_.ca_file.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, options_.ca_file.c_str());
  if (!options_.pinned_key.empty()) curl_easy_setopt(e, CURLOPT_PINNEDPUBLICKEY, options_.pinned_key.c_str());
  if (options_.allow_self_signed) {
    // The certificate chain is not checked; a pinned key, when set, still is.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  RequestId id = next_id_++;
  curl_easy_setopt(e, CURLOPT_PRIVATE, reinterpret_cast<void*>(static_cast<uintptr_t>(id)));
  requests_[id] = std::move(request);
  CURLMcode added = curl_multi_add_handle(Multi(multi_), e);
  if (added != CURLM_OK) {
    Done failed = std::move(r.done);
    requests_.erase(id);
    std::string message = curl_multi_strerror(added);
    loop_->Post([failed, message] {
      HttpResult result;
      result.error = "cannot start the request: " + message;
      failed(result);
    });
  }
  return id;
}

void HttpClient::Cancel(RequestId id) {
  delivering_.erase(id);
  auto it = requests_.find(id);
  if (it == requests_.end()) return;
  curl_multi_remove_handle(Multi(multi_), it->second->easy);
  requests_.erase(it);
}

int HttpClient::OnSocket(void*, int socket, int what, void* self_ptr, void*) {
  auto* self = static_cast<HttpClient*>(self_ptr);
  auto it = self->watches_.find(socket);
  if (what == CURL_POLL_REMOVE) {
    if (it != self->watches_.end()) {
      self->loop_->Unwatch(it->second);
      self->watches_.erase(it);
    }
    return 0;
  }
  short events = 0;
  if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) events |= POLLIN;
  if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) events |= POLLOUT;
  if (it != self->watches_.end()) {
    self->loop_->SetWatchEvents(it->second, events);
  } else {
    self->watches_[socket] = self->loop_->Watch(socket, events, [self, socket](short revents) {
      int flags = 0;
      if (revents & (POLLIN | POLLHUP)) flags |= CURL_CSELECT_IN;
      if (revents & POLLOUT) flags |= CURL_CSELECT_OUT;
      if (revents & (POLLERR | POLLNVAL)) flags |= CURL_CSELECT_ERR;
      self->Act(socket, flags);
    });
  }
  return 0;
}

int HttpClient::OnTimer(void*, long timeout_ms, void* self_ptr) {
  auto* self = static_cast<HttpClient*>(self_ptr);
  if (timeout_ms < 0) {
    self->timer_->SetEnabled(false);
  } else if (timeout_ms == 0) {
    // curl asks to be called at once, but never from inside its callback.
    self->timer_->SetEnabled(false);
    std::weak_ptr<bool> alive = self->alive_;
    self->loop_->Post([self, alive] {
      if (alive.lock()) self->Act(CURL_SOCKET_TIMEOUT, 0);
    });
  } else {
    self->timer_->SetInterval(static_cast<int32_t>(std::min<long>(timeout_ms, 24L * 3600 * 1000)));
    self->timer_->SetEnabled(true);
  }
  return 0;
}

void HttpClient::Act(int socket, int flags) {
  int running = 0;
  curl_multi_socket_action(Multi(multi_), socket, flags, &running);
  Finish();
}

void HttpClient::Finish() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(Multi(multi_), &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    CURLcode code = message->data.result;
    void* private_data = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &private_data);
    RequestId id = static_cast<RequestId>(reinterpret_cast<uintptr_t>(private_data));
    auto it = requests_.find(id);
    if (it == requests_.end()) {
      curl_multi_remove_handle(Multi(multi_), easy);
      continue;
    }
    std::unique_ptr<Request> request = std::move(it->second);
    requests_.erase(it);
    curl_multi_remove_handle(Multi(multi_), easy);
    HttpResult result;
    result.digest_challenge = request->digest_challenge;
    if (code == CURLE_OK) {
      curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &result.status);
      result.body = std::move(request->received);
    } else if (request->too_big) {
      result.error = "the answer is longer than " + std::to_string(kMaxBody) + " bytes";
    } else {
      result.error = TransportError(code, request->error, request->timeout_ms);
    }
    // Handed on from the loop: the caller may post again or destroy us.
    std::weak_ptr<bool> alive = alive_;
    Done done = std::move(request->done);
    delivering_.insert(id);
    loop_->Post([this, id, alive, done = std::move(done), result = std::move(result)]() mutable {
      if (!alive.lock() || delivering_.erase(id) == 0) return;  // cancelled meanwhile
      if (done) done(std::move(result));
    });
  }
}

}  // namespace dvrlink::onvif
