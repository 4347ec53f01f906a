// The bridge's hold on one ONVIF device: the start-up exchange (clock skew
// from GetSystemDateAndTime, service endpoints and the digest capability
// from GetServices or GetCapabilities, GetDeviceInformation, the media
// profiles), then a PullPoint subscription pulled in a long-poll loop,
// renewed before it ends, made again after a fault, and unsubscribed at
// stop. A device that does not answer (or refuses the credentials) is
// reported unavailable and the exchange starts again after retry_seconds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dvrlink-onvif/bridge_config.h"
#include "onvif/event_map.h"
#include "onvif/onvif_client.h"
#include "platform/event_loop.h"

namespace dvrlink::onvif {

struct MediaProfile {
  std::string token;
  std::string name;
  std::string source_token;         // the video source it shows
  std::string source_config_token;  // its video source configuration
  bool ptz = false;
  int64_t bitrate_kbps = 0;  // its encoder's limit; 0 when not given
};

struct DeviceInfo {
  std::string manufacturer;
  std::string model;
  std::string firmware;
  std::string serial;
};

class DeviceSession {
 public:
  struct Handlers {
    // The device answered the whole start-up exchange (true) or stopped
    // answering (false, with the reason).
    std::function<void(bool available, const std::string& why)> availability;
    // Messages of the subscription, in the order the device sent them.
    std::function<void(const std::vector<Notification>&)> notifications;
    std::function<void(const std::string&)> log;
  };

  // The config and loop must outlive the session.
  DeviceSession(EventLoop& loop, const BridgeConfig& config, Handlers handlers);
  ~DeviceSession();
  DeviceSession(const DeviceSession&) = delete;
  DeviceSession& operator=(const DeviceSession&) = delete;

  // Begins the start-up exchange.
  void Start();
  // Unsubscribes (when subscribed) and calls done once the device answered
  // or the request timed out; nothing runs on the device afterwards.
  void Stop(std::function<void()> done);

  bool available() const { return available_; }
  const DeviceInfo& info() const { return info_; }
  const std::vector<MediaProfile>& profiles() const { return profiles_; }
  // Relay outputs and digital inputs in the device's order (empty when it
  // lists none).
  const std::vector<std::string>& relay_tokens() const { return relay_tokens_; }
  const std::vector<std::string>& input_tokens() const { return input_tokens_; }
  bool daylight_savings() const { return daylight_savings_; }
  OnvifClient& client() { return *client_; }
  const BridgeConfig& config() const { return *config_; }
  // The endpoint of a service namespace (ns::kMedia, ...); the device
  // service's URL for a service the device did not list.
  std::string ServiceUrl(const char* ns_uri) const;
  bool HasService(const char* ns_uri) const;
  // Marks the device unavailable after an operation found it not answering.
  void Fail(const std::string& why);
  // Counts for status and tests.
  int subscriptions_created() const { return subscriptions_created_; }

 private:
  void Log(const std::string& text) const;
  void Step(CallResult result, const std::function<void(const CallResult&)>& next);
  void ReadDateAndTime(const CallResult& r);
  void GetServices();
  void GetCapabilities();
  void GetDeviceInformation();
  void GetProfiles();
  void GetInputsAndOutputs();
  void Subscribe();
  void Pull();
  void Renew();
  void ScheduleRenew(const xmlNode* reply, const char* ns_uri);

  EventLoop* loop_;  // not owned
  const BridgeConfig* config_;  // not owned
  Handlers handlers_;
  std::unique_ptr<OnvifClient> client_;
  std::map<std::string, std::string> services_;  // namespace -> XAddr
  DeviceInfo info_;
  std::vector<MediaProfile> profiles_;
  std::vector<std::string> relay_tokens_;
  std::vector<std::string> input_tokens_;
  bool daylight_savings_ = false;
  bool available_ = false;
  bool stopping_ = false;
  std::string subscription_;  // the pull point's address
  OnvifClient::CallId pull_call_ = 0;
  int subscriptions_created_ = 0;
  std::unique_ptr<Timer> retry_timer_;
  std::unique_ptr<Timer> renew_timer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::onvif
