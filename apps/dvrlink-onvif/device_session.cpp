#include "dvrlink-onvif/device_session.h"

#include <algorithm>

#include "onvif/zone_time.h"

namespace dvrlink::onvif {
namespace {

// Notifications asked for per pull; more wait for the next pull.
constexpr int kMessageLimit = 100;
// An unsubscribe at stop waits at most this long.
constexpr int64_t kStopTimeoutMs = 1000;

HttpOptions TlsOptions(const BridgeConfig& c) {
  HttpOptions http;
  http.ca_file = c.tls_ca_file;
  http.pinned_key = c.tls_pinned_key;
  http.allow_self_signed = c.tls_allow_self_signed;
  return http;
}

bool Truthy(const std::string& text) { return text == "true" || text == "1"; }

}  // namespace

DeviceSession::DeviceSession(EventLoop& loop, const BridgeConfig& config, Handlers handlers)
    : loop_(&loop), config_(&config), handlers_(std::move(handlers)) {
  client_ = std::make_unique<OnvifClient>(loop, TlsOptions(config), config.user, config.password);
  retry_timer_ = std::make_unique<Timer>(loop, [this] {
    retry_timer_->SetEnabled(false);
    Start();
  });
  renew_timer_ = std::make_unique<Timer>(loop, [this] {
    renew_timer_->SetEnabled(false);
    Renew();
  });
}

DeviceSession::~DeviceSession() {
  *alive_ = false;
  client_->CancelAll();
}

void DeviceSession::Log(const std::string& text) const {
  if (handlers_.log) handlers_.log(text);
}

std::string DeviceSession::ServiceUrl(const char* ns_uri) const {
  auto it = services_.find(ns_uri);
  return it == services_.end() || it->second.empty() ? config_->url : it->second;
}

bool DeviceSession::HasService(const char* ns_uri) const { return services_.count(ns_uri) != 0; }

void DeviceSession::Fail(const std::string& why) {
  client_->CancelAll();
  renew_timer_->SetEnabled(false);
  subscription_.clear();
  pull_call_ = 0;
  bool was = available_;
  available_ = false;
  if (stopping_) return;
  Log("device " + config_->url + ": " + why + "; trying again in " + std::to_string(config_->retry_seconds) + " s");
  retry_timer_->SetInterval(static_cast<int32_t>(config_->retry_seconds * 1000));
  retry_timer_->SetEnabled(true);
  if (was && handlers_.availability) handlers_.availability(false, why);
}

void DeviceSession::Step(CallResult result, const std::function<void(const CallResult&)>& next) {
  if (!result.ok()) {
    Fail(result.error);
    return;
  }
  next(result);
}

void DeviceSession::Start() {
  if (stopping_) return;
  retry_timer_->SetEnabled(false);
  client_->SetAuth(Auth::kNone);
  client_->SetAutoDigest(config_->auth != AuthMode::kUsernameToken);
  const int64_t timeout = config_->request_timeout_ms;
  // The clock first, without credentials: the UsernameToken's Created time
  // follows the device's clock. A device that wants credentials even here
  // gets them with this computer's time.
  client_->CallAnonymous(config_->url, ns::kDevice, "GetSystemDateAndTime", nullptr, timeout, [this, timeout](
                                                                                               CallResult r) {
    if (r.failure == CallResult::Failure::kUnauthorized) {
      client_->SetAuth(config_->auth == AuthMode::kDigest ? Auth::kDigest : Auth::kUsernameToken);
      client_->Call(config_->url, ns::kDevice, "GetSystemDateAndTime", nullptr, timeout,
                    [this](CallResult again) { Step(std::move(again), [this](const CallResult& ok) { ReadDateAndTime(ok); }); });
      return;
    }
    Step(std::move(r), [this](const CallResult& ok) { ReadDateAndTime(ok); });
  });
}

void DeviceSession::ReadDateAndTime(const CallResult& r) {
  xmlNodePtr info = Child(r.message.payload, ns::kDevice, "SystemDateAndTime");
  daylight_savings_ = Truthy(PathText(info, ns::kSchema, {"DaylightSavings"}));
  xmlNodePtr utc = Child(info, ns::kSchema, "UTCDateTime");
  auto part = [&](const char* group, const char* name) {
    std::string text = PathText(utc, ns::kSchema, {group, name});
    return text.empty() || text.find_first_not_of("0123456789") != std::string::npos ? -1 : std::stoi(text);
  };
  int year = part("Date", "Year"), month = part("Date", "Month"), day = part("Date", "Day");
  int hour = part("Time", "Hour"), minute = part("Time", "Minute"), second = part("Time", "Second");
  if (year < 1970 || month < 1 || day < 1 || hour < 0 || minute < 0 || second < 0) {
    // Some devices give only their local time: the skew stays unknown (0).
    Log("device " + config_->url + " gave no UTC time; its clock is taken to agree with this computer's");
    client_->SetSkew(0);
  } else {
    client_->SetSkew(UtcFromParts(year, month, day, hour, minute, second) - UtcNow());
  }
  if (client_->auth() == Auth::kNone) {
    client_->SetAuth(config_->auth == AuthMode::kDigest ? Auth::kDigest : Auth::kUsernameToken);
  }
  GetServices();
}

void DeviceSession::GetServices() {
  client_->Call(
      config_->url, ns::kDevice, "GetServices",
      [](Envelope& e, xmlNodePtr op) { e.Add(op, ns::kDevice, "IncludeCapability", std::string("true")); },
      config_->request_timeout_ms, [this](CallResult r) {
        if (r.failure == CallResult::Failure::kFault) {
          GetCapabilities();  // an older device without GetServices
          return;
        }
        Step(std::move(r), [this](const CallResult& ok) {
          services_.clear();
          bool digest = false;
          for (xmlNodePtr service : Children(ok.message.payload, ns::kDevice, "Service")) {
            std::string ns_text = PathText(service, ns::kDevice, {"Namespace"});
            services_[ns_text] = PathText(service, ns::kDevice, {"XAddr"});
            if (ns_text == ns::kDevice) {
              digest = Truthy(Attr(Descendant(service, ns::kDevice, "Security"), "HttpDigest"));
            }
          }
          if (config_->auth == AuthMode::kAuto && digest) client_->SetAuth(Auth::kDigest);
          GetDeviceInformation();
        });
      });
}

void DeviceSession::GetCapabilities() {
  client_->Call(
      config_->url, ns::kDevice, "GetCapabilities",
      [](Envelope& e, xmlNodePtr op) { e.Add(op, ns::kDevice, "Category", std::string("All")); },
      config_->request_timeout_ms, [this](CallResult r) {
        Step(std::move(r), [this](const CallResult& ok) {
          xmlNodePtr caps = Child(ok.message.payload, ns::kDevice, "Capabilities");
          services_.clear();
          services_[ns::kDevice] = config_->url;
          const std::pair<const char*, const char*> kinds[] = {
              {"Media", ns::kMedia}, {"Events", ns::kEvents}, {"PTZ", ns::kPtz}};
          for (const auto& [name, ns_uri] : kinds) {
            std::string xaddr = PathText(caps, ns::kSchema, {name, "XAddr"});
            if (!xaddr.empty()) services_[ns_uri] = xaddr;
          }
          const std::pair<const char*, const char*> extensions[] = {{"DeviceIO", ns::kDeviceIo},
                                                                   {"Recording", ns::kRecording},
                                                                   {"Search", ns::kSearch},
                                                                   {"Replay", ns::kReplay}};
          for (const auto& [name, ns_uri] : extensions) {
            std::string xaddr = PathText(caps, ns::kSchema, {"Extension", name, "XAddr"});
            if (!xaddr.empty()) services_[ns_uri] = xaddr;
          }
          GetDeviceInformation();
        });
      });
}

void DeviceSession::GetDeviceInformation() {
  client_->Call(config_->url, ns::kDevice, "GetDeviceInformation", nullptr, config_->request_timeout_ms,
                [this](CallResult r) {
                  Step(std::move(r), [this](const CallResult& ok) {
                    const xmlNode* p = ok.message.payload;
                    info_.manufacturer = PathText(p, ns::kDevice, {"Manufacturer"});
                    info_.model = PathText(p, ns::kDevice, {"Model"});
                    info_.firmware = PathText(p, ns::kDevice, {"FirmwareVersion"});
                    info_.serial = PathText(p, ns::kDevice, {"SerialNumber"});
                    GetProfiles();
                  });
                });
}

void DeviceSession::GetProfiles() {
  client_->Call(ServiceUrl(ns::kMedia), ns::kMedia, "GetProfiles", nullptr, config_->request_timeout_ms,
                [this](CallResult r) {
                  Step(std::move(r), [this](const CallResult& ok) {
                    profiles_.clear();
                    for (xmlNodePtr p : Children(ok.message.payload, ns::kMedia, "Profiles")) {
                      MediaProfile profile;
                      profile.token = Attr(p, "token");
                      profile.name = PathText(p, ns::kSchema, {"Name"});
                      xmlNodePtr source = Child(p, ns::kSchema, "VideoSourceConfiguration");
                      profile.source_config_token = Attr(source, "token");
                      profile.source_token = PathText(source, ns::kSchema, {"SourceToken"});
                      profile.ptz = Child(p, ns::kSchema, "PTZConfiguration") != nullptr;
                      const std::string kbps =
                          PathText(p, ns::kSchema, {"VideoEncoderConfiguration", "RateControl", "BitrateLimit"});
                      if (!kbps.empty() && kbps.size() < 8 && kbps.find_first_not_of("0123456789") == std::string::npos) {
                        profile.bitrate_kbps = std::stoll(kbps);
                      }
                      profiles_.push_back(profile);
                    }
                    GetInputsAndOutputs();
                  });
                });
}

void DeviceSession::GetInputsAndOutputs() {
  // Relays are listed by the device service (and DeviceIO); inputs only by
  // DeviceIO. A device without them answers with a fault, which is no error.
  const bool io = HasService(ns::kDeviceIo);
  client_->Call(ServiceUrl(io ? ns::kDeviceIo : ns::kDevice), io ? ns::kDeviceIo : ns::kDevice, "GetRelayOutputs",
                nullptr, config_->request_timeout_ms, [this, io](CallResult r) {
                  if (r.transport()) return Fail(r.error);
                  relay_tokens_.clear();
                  for (xmlNodePtr relay : Children(r.message.payload, io ? ns::kDeviceIo : ns::kDevice,
                                                   "RelayOutputs")) {
                    relay_tokens_.push_back(Attr(relay, "token"));
                  }
                  if (!io) return Subscribe();
                  client_->Call(ServiceUrl(ns::kDeviceIo), ns::kDeviceIo, "GetDigitalInputs", nullptr,
                                config_->request_timeout_ms, [this](CallResult inputs) {
                                  if (inputs.transport()) return Fail(inputs.error);
                                  input_tokens_.clear();
                                  for (xmlNodePtr input :
                                       Children(inputs.message.payload, ns::kDeviceIo, "DigitalInputs")) {
                                    input_tokens_.push_back(Attr(input, "token"));
                                  }
                                  Subscribe();
                                });
                });
}

void DeviceSession::Subscribe() {
  const int64_t seconds = config_->subscription_seconds;
  client_->Call(
      ServiceUrl(ns::kEvents), ns::kEvents, "CreatePullPointSubscription",
      [seconds](Envelope& e, xmlNodePtr op) {
        e.Add(op, ns::kEvents, "InitialTerminationTime", FormatDuration(seconds));
      },
      config_->request_timeout_ms, [this](CallResult r) {
        Step(std::move(r), [this](const CallResult& ok) {
          subscription_ = PathText(ok.message.payload, ns::kEvents, {"SubscriptionReference"});
          xmlNodePtr address = Descendant(ok.message.payload, ns::kAddressing, "Address");
          if (address) subscription_ = Text(address);
          if (subscription_.empty()) {
            Fail("CreatePullPointSubscription: the answer names no subscription address");
            return;
          }
          ++subscriptions_created_;
          Log("pull-point subscription at " + subscription_);
          ScheduleRenew(ok.message.payload, ns::kNotification);
          if (!available_) {
            available_ = true;
            Log("device " + config_->url + " answers: " + info_.manufacturer + " " + info_.model + ", firmware " +
                info_.firmware + ", " + std::to_string(profiles_.size()) + " profile(s), clock skew " +
                std::to_string(client_->skew()) + " s, " +
                (client_->auth() == Auth::kDigest ? "HTTP digest" : "UsernameToken") + " authentication");
            if (handlers_.availability) handlers_.availability(true, "");
          }
          Pull();
        });
      });
}

void DeviceSession::ScheduleRenew(const xmlNode* reply, const char* ns_uri) {
  std::optional<int64_t> now = ParseUtc(PathText(reply, ns_uri, {"CurrentTime"}));
  std::optional<int64_t> end = ParseUtc(PathText(reply, ns_uri, {"TerminationTime"}));
  int64_t left = now && end ? *end - *now : config_->subscription_seconds;
  // Renewed half-way, so one late or lost renewal still leaves time.
  renew_timer_->SetInterval(static_cast<int32_t>(std::max<int64_t>(left / 2, 1) * 1000));
  renew_timer_->SetEnabled(true);
}

void DeviceSession::Pull() {
  if (subscription_.empty() || stopping_) return;
  const int64_t seconds = config_->pull_seconds;
  pull_call_ = client_->Call(
      subscription_, ns::kEvents, "PullMessages",
      [seconds](Envelope& e, xmlNodePtr op) {
        e.Add(op, ns::kEvents, "Timeout", FormatDuration(seconds));
        e.Add(op, ns::kEvents, "MessageLimit", std::to_string(kMessageLimit));
      },
      seconds * 1000 + config_->request_timeout_ms,
      [this](CallResult r) {
        pull_call_ = 0;
        if (r.failure == CallResult::Failure::kFault) {
          // The device answers but no longer knows the subscription (it
          // ended early, or the device restarted): a new one.
          Log(r.error + "; subscribing again");
          subscription_.clear();
          renew_timer_->SetEnabled(false);
          Subscribe();
          return;
        }
        Step(std::move(r), [this](const CallResult& ok) {
          std::vector<Notification> messages = ReadNotifications(ok.message.payload);
          if (!messages.empty() && handlers_.notifications) {
            std::weak_ptr<bool> alive = alive_;
            handlers_.notifications(messages);
            if (!alive.lock()) return;
          }
          Pull();
        });
      },
      true);
}

void DeviceSession::Renew() {
  if (subscription_.empty() || stopping_) return;
  const int64_t seconds = config_->subscription_seconds;
  client_->Call(
      subscription_, ns::kNotification, "Renew",
      [seconds](Envelope& e, xmlNodePtr op) {
        e.Add(op, ns::kNotification, "TerminationTime", FormatDuration(seconds));
      },
      config_->request_timeout_ms,
      [this](CallResult r) {
        if (r.ok()) {
          ScheduleRenew(r.message.payload, ns::kNotification);
        } else if (!r.transport()) {
          // The pull that fails next makes a new subscription.
          Log(r.error);
        } else {
          Fail(r.error);
        }
      },
      true);
}

void DeviceSession::Stop(std::function<void()> done) {
  stopping_ = true;
  retry_timer_->SetEnabled(false);
  renew_timer_->SetEnabled(false);
  if (pull_call_) client_->Cancel(pull_call_);
  pull_call_ = 0;
  if (subscription_.empty()) {
    loop_->Post(std::move(done));
    return;
  }
  std::string address = subscription_;
  subscription_.clear();
  client_->Call(
      address, ns::kNotification, "Unsubscribe", nullptr, kStopTimeoutMs,
      [this, done](CallResult r) {
        Log(r.ok() ? "unsubscribed" : r.error);
        done();
      },
      true);
}

}  // namespace dvrlink::onvif
