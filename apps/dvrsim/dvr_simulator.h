// A simulated DVR speaking the DVR link (docs/dvr-link.md) on four ports:
// command (sessions, version, time sync, host-raised alarms, recorded-video
// retrieval), event (alarm and system-event subscriptions), live
// (camera-control texts) and control (text commands that inject events and
// faults and report the simulator's state). Runs on a message loop,
// single-threaded, like everything else here; a retrieval streams a few
// chunks per loop turn, as its connection takes them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "link/link_connection.h"
#include "link/link_protocol.h"
#include "dvrsim/sim_clock.h"
#include "platform/event_loop.h"
#include "support/datetime.h"

namespace dvrlink::sim {

struct SimOptions {
  std::string bind_address = "127.0.0.1";
  // 0 picks a free port.
  uint16_t command_port = 0;
  uint16_t event_port = 0;
  uint16_t live_port = 0;
  uint16_t control_port = 0;
  int cameras = 16;
  // Zone of the DVR's clock as TZ names it; empty for the system's zone.
  std::string time_zone;
  // Receives the simulator's log lines.
  std::function<void(const std::string&)> log;
};

struct SimPorts {
  uint16_t command = 0;
  uint16_t event = 0;
  uint16_t live = 0;
  uint16_t control = 0;
};

// Another face of the simulated DVR (its ONVIF device): told of the alarms
// and system events injected on the control port, and handed the control
// commands that start with its own word.
class SimFace {
 public:
  virtual ~SimFace() = default;
  virtual void OnAlarmEdge(int16_t camera, const std::string& type, bool begin) = 0;
  virtual void OnSystemEvent(uint32_t code, const std::string& message) = 0;
  // The reply to a control command whose first word is Word() (any case).
  virtual std::string Control(const std::vector<std::string>& words) = 0;
  virtual const char* Word() const = 0;
};

class DvrSimulator {
 public:
  static constexpr size_t kPtzKept = 20;
  static constexpr const char* kVersion = "dvrsim 1.0.0";
  // Recorded video: this many bytes for every second of the span asked for,
  // spans of at most kMaxRetrieveSeconds, sent in chunks of at most
  // kVideoChunkBytes.
  static constexpr int64_t kVideoBytesPerSecond = 4096;
  static constexpr int64_t kMaxRetrieveSeconds = 3600;
  static constexpr int64_t kVideoChunkBytes = 49152;

  // Bytes [offset, offset + length) of the video of camera from begin: each
  // second is a block of kVideoBytesPerSecond bytes, the text
  // "dvrsim camera=C time=YYYYMMDDhhmmss\n" (that second's time) followed by
  // bytes whose value is (C + position in the block) mod 256.
  static std::string VideoBytes(int16_t camera, DateTime begin, int64_t offset, int64_t length);

  // Opens the four ports. Raises std::runtime_error when a port cannot be
  // opened and std::invalid_argument for an unknown zone or camera count.
  DvrSimulator(EventLoop& loop, SimOptions options);
  ~DvrSimulator();
  DvrSimulator(const DvrSimulator&) = delete;
  DvrSimulator& operator=(const DvrSimulator&) = delete;

  SimPorts Ports() const { return ports_; }
  // "ports command=N event=N live=N control=N".
  std::string PortsLine() const;
  // Carries out one control-port command; its one-line reply.
  std::string Control(const std::string& line);
  // Adds a face (not owned; it must outlive the simulator or be removed with
  // nullptr).
  void SetFace(SimFace* face) { face_ = face; }
  SimClock& clock() { return clock_; }
  int cameras() const { return options_.cameras; }

 private:
  enum class PortKind { kCommand, kEvent, kLive, kControl };
  struct Peer {
    PortKind kind;
    std::unique_ptr<link::LinkConnection> conn;
    int32_t session = 0;
    std::string subscribe;  // event port: "alarms" or "system"
    bool acknowledged = false;
    // Command port: the retrieval streaming on this session.
    struct VideoStream {
      int16_t camera = 0;
      DateTime begin;
      int64_t total = 0;
      int64_t sent = 0;
    };
    std::optional<VideoStream> stream;
  };
  // A host-raised alarm running on a camera.
  struct HostAlarm {
    DateTime begin;
    std::string alarm_id;
    std::unique_ptr<Timer> timer;
  };
  // An error reply to a request.
  struct Refusal {
    int code;
    std::string message;
  };

  uint16_t Listen(PortKind kind, uint16_t port);
  void Accept(PortKind kind);
  void OnLine(uint64_t peer_id, const std::string& line);
  void OnClosed(uint64_t peer_id, const std::string& reason);
  void Reap();
  void ScheduleReap();
  void HandleRequest(Peer& peer, const link::Message& request);
  // Each op sends its reply (and the events that follow it) or raises a
  // Refusal or a link::FieldError, which become error replies.
  void CommandOp(Peer& peer, const link::Message& request);
  void EventOp(Peer& peer, const link::Message& request);
  void RequireSession(const Peer& peer, const link::Json& body) const;
  int16_t CameraArg(const link::Json& body) const;
  void Send(Peer& peer, const link::Json& message);
  // Sends the event to every acknowledged session of the subscription.
  int Broadcast(const std::string& subscribe, link::Json event);

  // Control commands.
  std::string Status();
  std::string Drop();
  std::string SystemEvent(const std::vector<std::string>& words);
  std::string Alarm(const std::vector<std::string>& words);
  std::optional<int16_t> ParseCamera(const std::string& text) const;

  // Alarms.
  std::string NextAlarmId();
  link::Json AlarmEdgeEvent(const char* name, int16_t camera, const std::string& time, const std::string& type,
                            int16_t override_index, const std::string& override_text, const std::string& alarm_id);
  static std::string AlarmXml(int16_t camera, const std::string& state, const std::string& pre,
                              const std::string& start, const std::string& end, const std::string& type,
                              int16_t override_index, const std::string& override_text, const std::string& alarm_id);
  void StartHostAlarm(int16_t camera, int32_t seconds);
  bool EndHostAlarm(int16_t camera);

  // Retrievals.
  void Retrieve(Peer& peer, const link::Message& request);
  // One turn: a few chunks to every stream whose connection has room.
  void StreamVideo();
  void ScheduleStreaming();
  // The next chunk and its progress event; the end once all is sent.
  void SendNextChunk(Peer& peer);

  void Log(const std::string& text) const;

  EventLoop* loop_;  // not owned; outlives the simulator
  SimOptions options_;
  SimClock clock_;
  SimPorts ports_;
  link::UniqueFd listen_fds_[4];
  EventLoop::WatchId listen_watches_[4] = {0, 0, 0, 0};
  bool reap_scheduled_ = false;
  std::map<uint64_t, std::unique_ptr<Peer>> peers_;
  uint64_t next_peer_ = 1;
  int32_t next_command_session_ = 1;
  int64_t next_alarm_id_ = 1;
  bool refusing_ = false;
  std::deque<std::string> ptz_;
  int64_t ptz_total_ = 0;
  std::string last_time_sync_;
  // Cameras in alarm and the alarm type of each (control-port and
  // host-raised alarms alike).
  std::map<int16_t, std::string> in_alarm_;
  std::map<int16_t, HostAlarm> host_alarms_;
  int64_t retrievals_served_ = 0;
  bool stream_posted_ = false;
  // Wakes the streams up when every one of them waited for its socket.
  std::unique_ptr<Timer> stream_timer_;
  SimFace* face_ = nullptr;  // not owned
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::sim
