// dvrlink-onvif's work: the DVR link of one DVR section served from one
// ONVIF device. Ops of the command port become device calls (the version
// from GetDeviceInformation, timesync as SetSystemDateAndTime, host-raised
// alarms as the camera's relay output switched on and off again), the
// subscription's notifications become alarm and system events, and the live
// port's camera-control texts become PTZ presets and preset tours.
// docs/onvif.md has the tables.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dvrlink-onvif/bridge_config.h"
#include "dvrlink-onvif/device_session.h"
#include "dvrlink-onvif/link_server.h"
#include "dvrlink-onvif/replay.h"
#include "onvif/zone_time.h"

namespace dvrlink::onvif {

// "dvrlink-onvif MAJOR.MINOR.REVISION" of this build.
std::string BridgeVersion();

class Bridge : public LinkOps {
 public:
  // Opens the link ports (std::runtime_error when one cannot be opened) and
  // reads the zones (std::invalid_argument for an unknown one). config, loop
  // and log must outlive the bridge.
  Bridge(EventLoop& loop, const BridgeConfig& config, std::function<void(const std::string&)> log);
  ~Bridge() override;
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Starts the device session.
  void Start();
  // Ends the event sessions and unsubscribes; done runs when finished.
  void Stop(std::function<void()> done);

  LinkServer& server() { return *server_; }
  DeviceSession& device() { return *device_; }
  // "ports command=N event=N live=N".
  std::string PortsLine() const;

  // LinkOps.
  bool TakesEventSessions(std::string& why) override;
  void CommandOp(const std::string& op, int32_t session, const Json& body, Answer answer) override;
  void LiveLine(uint64_t connection, const std::string& line) override;
  void LiveClosed(uint64_t connection) override;
  void CommandSessionClosed(int32_t session) override;

 private:
  struct AlarmState {
    bool active = false;
    bool reported = false;
    int64_t begin_utc = 0;
    std::string alarm_id;
  };
  struct RelayAlarm {
    std::string token;
    std::unique_ptr<Timer> timer;
  };

  void Log(const std::string& text) const;
  void OnAvailability(bool available, const std::string& why);
  void OnNotifications(const std::vector<Notification>& messages);
  void OnAlarm(const Notification& n);
  void OnSystemEvent(const Notification& n, uint32_t code);
  void AlarmBegin(const std::string& word, int camera, int64_t utc, AlarmState& state);
  void AlarmEnd(const std::string& word, int camera, int64_t utc, AlarmState& state);
  std::string DeviceTime(int64_t utc) const;

  // The DVR camera shown by a video source (or profile, or source
  // configuration) token; the input or relay number of a token.
  std::optional<int> CameraOfToken(const std::string& token) const;
  std::optional<int> NumberOf(const std::map<int, std::string>& configured, const std::vector<std::string>& listed,
                              const std::string& token) const;
  std::optional<int> SourceOf(const Notification& n, SourceKind kind) const;
  std::string SourceToken(int camera) const;
  std::string ProfileOf(int camera) const;
  std::string RelayOf(int camera) const;
  int Cameras() const;

  void Version(Answer answer);
  void TimeSync(int32_t session, const Json& body, Answer answer);
  void GenerateAlarm(const Json& body, Answer answer);
  void StopAlarm(const Json& body, Answer answer);
  void Retrieve(int32_t session, const Json& body, Answer answer);
  void SetRelay(const std::string& token, bool active, std::function<void(const CallResult&)> done);
  void EndRelayAlarm(int camera);
  // A device failure as an answer; a device that did not answer is marked so.
  LinkAnswer DeviceError(const CallResult& r);

  // PTZ.
  void Ptz(int camera, const std::vector<std::string>& words);
  using Tokens = std::function<void(const std::vector<std::string>&)>;
  void WithList(const std::string& profile, bool tours, Tokens then);
  static std::optional<std::string> Pick(const std::vector<std::string>& tokens, const std::string& number);
  void PtzCall(int camera, const char* op, std::function<void(Envelope&, xmlNodePtr)> body,
               std::function<void()> then = nullptr);

  EventLoop* loop_;  // not owned
  const BridgeConfig* config_;  // not owned
  std::function<void(const std::string&)> log_;
  ZoneTime device_zone_;
  ZoneTime computer_zone_;
  std::unique_ptr<LinkServer> server_;
  std::unique_ptr<DeviceSession> device_;
  std::map<std::pair<std::string, int>, AlarmState> alarms_;
  int64_t next_alarm_id_ = 1;
  std::map<int, RelayAlarm> relay_alarms_;
  std::map<uint64_t, int> live_cameras_;
  std::map<int, std::string> running_tours_;
  // The retrieval of each command session that has one.
  std::map<int32_t, std::unique_ptr<Replay>> replays_;
  // GetPresets / GetPresetTours per profile token, learnt on first use.
  std::map<std::string, std::vector<std::string>> presets_;
  std::map<std::string, std::vector<std::string>> tours_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::onvif
