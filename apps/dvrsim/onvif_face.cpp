#include "dvrsim/onvif_face.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "onvif/event_map.h"
#include "dvrsim/control_text.h"

namespace dvrlink::sim {

using namespace onvif;

namespace {

constexpr const char* kRealm = "dvrsim";
constexpr size_t kMaxRequest = 1024 * 1024;
constexpr size_t kMaxQueued = 1000;
constexpr size_t kOpsKept = 20;
// A UsernameToken's Created time may differ this much from the device clock.
constexpr int64_t kMaxSkewSeconds = 300;
// Operations any client may call without credentials.
const char* const kOpenOps[] = {"GetSystemDateAndTime", "GetServices", "GetServiceCapabilities", "GetCapabilities"};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Whether a request's Content-Type names a SOAP envelope (SOAP 1.2's
// application/soap+xml, or text/xml of SOAP 1.1), whatever its parameters.
bool IsSoapContentType(const char* header) {
  if (!header) return false;
  std::string type = Lower(header);
  type = type.substr(0, type.find(';'));
  type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
  return type == "application/soap+xml" || type == "text/xml";
}

struct FailureName {
  OnvifFace::Failure failure;
  const char* name;
};
const FailureName kFailures[] = {{OnvifFace::Failure::kNone, "none"},
                                 {OnvifFace::Failure::kFault, "fault"},
                                 {OnvifFace::Failure::kMalformed, "malformed"},
                                 {OnvifFace::Failure::kUnauthorized, "unauthorized"},
                                 {OnvifFace::Failure::kStall, "stall"}};

}  // namespace

OnvifFace::OnvifFace(EventLoop& loop, DvrSimulator& simulator, OnvifOptions options)
    : loop_(&loop), sim_(&simulator), options_(std::move(options)), zone_(simulator.clock().ZoneId()) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(options_.port);
  if (::inet_pton(AF_INET, options_.bind_address.c_str(), &address.sin_addr) != 1) {
    throw std::runtime_error("onvif port: '" + options_.bind_address + "' is not an IPv4 address");
  }
  // MHD keeps the pointer: the bytes live as long as the face.
  digest_random_ = RandomBytes(32);
  const bool tls = !options_.tls_cert.empty() && !options_.tls_key.empty();
  // The key and certificate texts stay in options_ as long as the server.
  daemon_ = MHD_start_daemon(
      MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | (tls ? MHD_USE_TLS : 0), options_.port, nullptr, nullptr,
      &OnvifFace::OnRequest, this, MHD_OPTION_SOCK_ADDR, reinterpret_cast<sockaddr*>(&address),
      MHD_OPTION_NOTIFY_COMPLETED, &OnvifFace::OnCompleted, this, MHD_OPTION_DIGEST_AUTH_RANDOM,
      digest_random_.size(), digest_random_.data(), MHD_OPTION_NONCE_NC_SIZE, 1000u, MHD_OPTION_CONNECTION_TIMEOUT,
      120u, tls ? MHD_OPTION_HTTPS_MEM_KEY : MHD_OPTION_END, options_.tls_key.c_str(), MHD_OPTION_HTTPS_MEM_CERT,
      options_.tls_cert.c_str(), MHD_OPTION_END);
  if (!daemon_) {
    throw std::runtime_error("onvif port: cannot listen on " + options_.bind_address + ":" +
                             std::to_string(options_.port));
  }
  port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
  int epoll_fd = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD)->epoll_fd;
  watch_ = loop_->Watch(epoll_fd, POLLIN, [this](short) { Run(); });
  timer_ = std::make_unique<Timer>(loop, [this] {
    timer_->SetEnabled(false);
    Run();
  });
  RegisterServices();
  sim_->SetFace(this);
  Log("ONVIF device at " + DeviceUrl());
}

OnvifFace::~OnvifFace() {
  *alive_ = false;
  sim_->SetFace(nullptr);
  // Held requests are let go before the server stops.
  for (auto& [id, s] : subscriptions_) {
    if (s.waiting) MHD_resume_connection(s.waiting);
  }
  for (MHD_Connection* c : stalled_) MHD_resume_connection(c);
  MHD_run(daemon_);  // the resumed connections leave the suspended list
  subscriptions_.clear();
  loop_->Unwatch(watch_);
  MHD_stop_daemon(daemon_);
}

std::string OnvifFace::BaseUrl() const {
  const bool tls = !options_.tls_cert.empty() && !options_.tls_key.empty();
  return std::string(tls ? "https://" : "http://") + options_.bind_address + ":" + std::to_string(port_) + "/onvif/";
}

std::string OnvifFace::DeviceUrl() const { return BaseUrl() + "device_service"; }

void OnvifFace::Log(const std::string& text) const {
  if (options_.log) options_.log("onvif: " + text);
}

void OnvifFace::Run() {
  MHD_run(daemon_);
  MHD_UNSIGNED_LONG_LONG timeout = 0;
  if (MHD_get_timeout(daemon_, &timeout) == MHD_YES) {
    timer_->SetInterval(static_cast<int32_t>(std::clamp<MHD_UNSIGNED_LONG_LONG>(timeout, 1, 60000)));
    timer_->SetEnabled(true);
  } else {
    timer_->SetEnabled(false);
  }
}

void OnvifFace::ScheduleRun() {
  if (run_posted_) return;
  run_posted_ = true;
  std::weak_ptr<bool> alive = alive_;
  loop_->Post([this, alive] {
    if (!alive.lock()) return;
    run_posted_ = false;
    Run();
  });
}

void OnvifFace::Resume(MHD_Connection* connection) {
  MHD_resume_connection(connection);
  ScheduleRun();
}

MHD_Result OnvifFace::OnRequest(void* self_ptr, MHD_Connection* connection, const char* url, const char* method,
                                const char*, const char* upload, size_t* upload_size, void** state) {
  auto* self = static_cast<OnvifFace*>(self_ptr);
  if (!*state) {
    auto* pending = new Pending;
    pending->path = url ? url : "";
    *state = pending;
    return MHD_YES;
  }
  Pending& pending = *static_cast<Pending*>(*state);
  if (*upload_size > 0) {
    if (pending.body.size() + *upload_size > kMaxRequest) {
      pending.too_big = true;
    } else {
      pending.body.append(upload, *upload_size);
    }
    *upload_size = 0;
    return MHD_YES;
  }
  if (pending.ready) return self->Send(connection, pending.status, pending.answer);
  if (std::strcmp(method, "POST") != 0) {
    return self->Send(connection, 405, FaultEnvelope("s:Sender", "ter:InvalidArgVal", "SOAP requests are POSTs"));
  }
  return self->Handle(connection, pending);
}

void OnvifFace::OnCompleted(void* self_ptr, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
  auto* self = static_cast<OnvifFace*>(self_ptr);
  auto* pending = static_cast<Pending*>(*state);
  self->stalled_.erase(connection);
  for (auto& [id, s] : self->subscriptions_) {
    if (s.waiting == connection) {
      s.waiting = nullptr;
      s.waiting_pending = nullptr;
    }
  }
  delete pending;
  *state = nullptr;
}

MHD_Result OnvifFace::Send(MHD_Connection* connection, unsigned status, const std::string& body,
                           bool digest_challenge) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(response, "Content-Type", "application/soap+xml; charset=utf-8");
  MHD_Result result = digest_challenge
                          ? MHD_queue_auth_fail_response2(connection, kRealm, kRealm, response, MHD_NO,
                                                          MHD_DIGEST_ALG_MD5)
                          : MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return result;
}

bool OnvifFace::Authorized(MHD_Connection* connection, const SoapMessage& request, const std::string& op,
                           std::string& why) {
  for (const char* open : kOpenOps) {
    if (op == open) return true;
  }
  if (options_.http_digest) {
    char* user = MHD_digest_auth_get_username(connection);
    if (user) {
      bool known = options_.user == user;
      MHD_free(user);
      if (known && MHD_digest_auth_check2(connection, kRealm, options_.user.c_str(), options_.password.c_str(), 300,
                                          MHD_DIGEST_ALG_MD5) == MHD_YES) {
        return true;
      }
      why = "HTTP digest credentials refused";
      return false;
    }
  }
  return CheckUsernameToken(request, options_.user, options_.password, sim_->clock().UtcNow(), kMaxSkewSeconds, why);
}

MHD_Result OnvifFace::Handle(MHD_Connection* connection, Pending& pending) {
  ++requests_;
  if (failure_ == Failure::kStall) {
    // No answer until the failure is lifted.
    MHD_suspend_connection(connection);
    stalled_.insert(connection);
    return MHD_YES;
  }
  if (failure_ == Failure::kUnauthorized) {
    return Send(connection, 401, FaultEnvelope("s:Sender", "ter:NotAuthorized", "Sender not authorized"),
                options_.http_digest);
  }
  if (failure_ == Failure::kMalformed) return Send(connection, 200, "<s:Envelope><s:Body><unclosed");
  if (failure_ == Failure::kFault) {
    return Send(connection, 500, FaultEnvelope("s:Receiver", "ter:Action", "the device is out of order"));
  }
  if (pending.too_big) {
    return Send(connection, 413, FaultEnvelope("s:Sender", "ter:InvalidArgVal", "the request is too long"));
  }
  if (pending.body.empty() && options_.http_digest) {
    // An HTTP client that means to use digest probes with an empty request
    // first: it gets the challenge.
    return Send(connection, 401, FaultEnvelope("s:Sender", "ter:NotAuthorized", "Sender not authorized"), true);
  }
  const char* content_type = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_TYPE);
  if (!IsSoapContentType(content_type)) {
    // As a device does: a body of any other type is not read as SOAP.
    const std::string type = content_type ? content_type : "none";
    Log("request to " + pending.path + " refused: Content-Type " + type + " is not SOAP");
    return Send(connection, 415,
                FaultEnvelope("s:Sender", "ter:InvalidArgVal", "Content-Type " + type + " is not a SOAP type"));
  }
  std::string problem;
  std::optional<SoapMessage> request = ReadEnvelope(pending.body, problem);
  if (!request || !request->payload) {
    Log("request to " + pending.path + " refused: " + (request ? "an empty body" : problem));
    return Send(connection, 400, FaultEnvelope("s:Sender", "ter:WellFormed", request ? "an empty body" : problem));
  }
  const std::string ns_uri = request->payload->ns ? reinterpret_cast<const char*>(request->payload->ns->href) : "";
  const std::string op = reinterpret_cast<const char*>(request->payload->name);
  std::string why;
  if (!Authorized(connection, *request, op, why)) {
    Log(op + " refused: " + why);
    return Send(connection, options_.http_digest ? 401 : 400,
                FaultEnvelope("s:Sender", "ter:NotAuthorized", "Sender not authorized"), options_.http_digest);
  }
  Call call;
  call.request = &*request;
  call.op = request->payload;
  call.path = pending.path;
  if (ns_uri == ns::kEvents && op == "PullMessages") {
    if (!PullMessages(call, connection, pending)) return MHD_YES;  // held
  } else {
    auto handler = handlers_.find({ns_uri, op});
    if (handler == handlers_.end()) {
      call.Fault("ter:ActionNotSupported", "the operation " + op + " is not supported", "s:Receiver");
    } else {
      handler->second(call);
    }
  }
  if (!call.fault_code.empty()) {
    return Send(connection, 500, FaultEnvelope(call.fault_code, call.fault_subcode, call.fault_reason));
  }
  return Send(connection, 200, call.reply.Serialize());
}

// ---- events ----

OnvifFace::Message OnvifFace::Property(const std::string& topic, const std::string& source_name,
                                       const std::string& source_value, const std::string& data_name, bool state,
                                       const std::string& operation) const {
  Message m;
  m.topic = topic;
  m.utc = sim_->clock().UtcNow();
  m.operation = operation;
  m.source = {{source_name, source_value}};
  const bool relay = topic == "tns1:Device/Trigger/Relay";
  m.data = {{data_name, relay ? (state ? "active" : "inactive") : (state ? "true" : "false")}};
  return m;
}

void OnvifFace::Notify(Message message) {
  std::vector<int> waiting;
  for (auto& [id, s] : subscriptions_) {
    s.queue.push_back(message);
    if (s.queue.size() > kMaxQueued) s.queue.pop_front();
    if (s.waiting) waiting.push_back(id);
  }
  for (int id : waiting) AnswerWaitingPull(id);
}

void OnvifFace::OnAlarmEdge(int16_t camera, const std::string& type, bool begin) {
  const std::string c = std::to_string(camera);
  const std::string word = Lower(type);
  Message m;
  if (word == "motion") {
    m = Property("tns1:VideoSource/MotionAlarm", "VideoSourceToken", "VS_" + c, "State", begin);
  } else if (word == "alarmin") {
    m = Property("tns1:Device/Trigger/DigitalInput", "InputToken", "DI_" + c, "LogicalState", begin);
  } else if (word == "videoloss") {
    m = Property("tns1:VideoSource/SignalLoss", "VideoSourceToken", "VS_" + c, "State", begin);
  } else if (word == "override") {
    m = Property("tns1:Device/Trigger/Relay", "RelayToken", "Relay_" + c, "LogicalState", begin);
  } else if (word == "tamper") {
    m = Property("tns1:RuleEngine/TamperDetector/Tamper", "VideoSourceConfigurationToken", "VSC_" + c, "IsTamper",
                 begin);
  } else if (word == "presence") {
    m = Property("tns1:RuleEngine/FieldDetector/ObjectsInside", "VideoSourceConfigurationToken", "VSC_" + c,
                 "IsInside", begin);
  } else if (word == "perimeter") {
    // A line crossed is a pulse: reported at the begin, nothing at the end.
    if (!begin) return;
    m = Property("tns1:RuleEngine/LineDetector/Crossed", "VideoSourceConfigurationToken", "VSC_" + c, "ObjectId",
                 true, "");
    m.data = {{"ObjectId", "1"}};
  } else {
    m = Property("tns1:VideoSource/" + type, "VideoSourceToken", "VS_" + c, "State", begin);
  }
  alarms_[{camera, word}] = begin;
  Notify(std::move(m));
}

void OnvifFace::OnSystemEvent(uint32_t code, const std::string& message) {
  // The device reports each code with the topic the bridge's table reads it
  // from (docs/onvif.md).
  for (const SystemEventRule& rule : DefaultSystemEventRules()) {
    if (rule.code != code) continue;
    Message m;
    m.topic = rule.topic;
    m.utc = sim_->clock().UtcNow();
    m.operation = "Changed";
    m.source = {{"Token", "Device"}};
    m.data = {{rule.item.empty() ? "Status" : rule.item, rule.item.empty() ? FormatUtc(m.utc) : rule.value}};
    if (!message.empty()) m.data.push_back({"Message", message});
    Notify(std::move(m));
    return;
  }
  Log("system event " + HexCode(code) + " has no ONVIF topic: not sent");
}

std::vector<OnvifFace::Message> OnvifFace::InitialState() const {
  std::vector<Message> state;
  for (int camera = 0; camera < sim_->cameras(); ++camera) {
    const std::string c = std::to_string(camera);
    auto active = [&](const char* word) {
      auto it = alarms_.find({camera, word});
      return it != alarms_.end() && it->second;
    };
    state.push_back(
        Property("tns1:VideoSource/MotionAlarm", "VideoSourceToken", "VS_" + c, "State", active("motion"), "Initialized"));
    state.push_back(Property("tns1:Device/Trigger/DigitalInput", "InputToken", "DI_" + c, "LogicalState",
                             active("alarmin"), "Initialized"));
    auto relay = relays_.find("Relay_" + c);
    state.push_back(Property("tns1:Device/Trigger/Relay", "RelayToken", "Relay_" + c, "LogicalState",
                             relay != relays_.end() && relay->second, "Initialized"));
  }
  return state;
}

std::string OnvifFace::RecordOp(const std::string& text) {
  ++ops_total_;
  ops_.push_back(text);
  if (ops_.size() > kOpsKept) ops_.pop_front();
  Log(text);
  return text;
}

// ---- control ----

std::string OnvifFace::Control(const std::vector<std::string>& words) {
  const std::string what = words.size() >= 2 ? Lower(words[1]) : "";
  if (what == "fail" && words.size() == 3) {
    for (const FailureName& f : kFailures) {
      if (Lower(words[2]) != f.name) continue;
      failure_ = f.failure;
      Log(std::string("answering ") + (failure_ == Failure::kNone ? "normally" : f.name));
      if (failure_ != Failure::kStall) {
        // Held requests get the answer of the new mode.
        for (MHD_Connection* c : stalled_) Resume(c);
        stalled_.clear();
      }
      return std::string("OK failure=") + f.name;
    }
  }
  if (what == "expire" && words.size() == 2) {
    // Every subscription ends now; a held pull gets its fault at once.
    std::vector<int> ended;
    for (auto& [id, s] : subscriptions_) {
      s.ends_utc = 0;
      ended.push_back(id);
    }
    // Answering a held pull ends its subscription for good.
    for (int id : ended) AnswerWaitingPull(id);
    return "OK expired=" + std::to_string(ended.size());
  }
  if (what == "status" && words.size() == 2) {
    int waiting = 0;
    int live = 0;
    const int64_t now = sim_->clock().UtcNow();
    for (const auto& [id, s] : subscriptions_) {
      if (s.waiting) ++waiting;
      if (s.ends_utc > now) ++live;
    }
    std::string relays;
    for (const auto& [token, active] : relays_) {
      if (active) relays += (relays.empty() ? "" : ",") + token;
    }
    std::string failure = "none";
    for (const FailureName& f : kFailures) {
      if (f.failure == failure_) failure = f.name;
    }
    std::string reply = "OK port=" + std::to_string(port_) + " subscriptions=" + std::to_string(live) +
                        " subscriptions_created=" + std::to_string(subscriptions_created_) +
                        " waiting_pulls=" + std::to_string(waiting) + " failure=" + failure +
                        " requests=" + std::to_string(requests_) + " utc=" + FormatUtc(now) +
                        " last_time_set=" + QuoteValue(last_time_set_) + " relays_active=" + QuoteValue(relays) +
                        " ops_total=" + std::to_string(ops_total_) + " ops_count=" + std::to_string(ops_.size());
    int n = 1;
    for (const std::string& op : ops_) reply += " op." + std::to_string(n++) + "=" + QuoteValue(op);
    return reply;
  }
  return "ERR usage: onvif fail none|fault|malformed|unauthorized|stall | onvif expire | onvif status";
}

}  // namespace dvrlink::sim
