// A rig for the alarm end-to-end tests: dvrsim processes on loopback
// addresses with their clocks in Sydney's zone, a host database of either
// provider seeded with their rows, and the dvrlink service running one
// instance per DVR with this computer's zone set to UTC (TZ of the child) and
// the debug log on (DeviceAdm.config, LogLevel 8). The host-sink lines, the
// debug log, database rows, the automation endpoint and host-client frames
// are at hand. Real processes and clock; every wait is a short bounded poll.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fakes/db_test_support.h"
#include "fakes/svc_test_support.h"
#include "platform/dvr_link/link_socket.h"

namespace dvrlink::testing::alarms {

using Json = nlohmann::json;
using Row = std::map<std::string, std::string>;

// The DVR clock's zone: "AUS Eastern Standard Time" in the DVR sections,
// Australia/Sydney for dvrsim.
inline constexpr const char* kDvrZoneKey = "AUS Eastern Standard Time";
inline constexpr const char* kDvrZoneIana = "Australia/Sydney";

// One simulated DVR and the DVR section that names it.
struct SimulatedDvrSetup {
  std::string address = "127.0.0.2";  // the simulator binds here; the DVR section's address
  std::string key = "A";               // the instance ID is KEY-NUMBER-LISTENPORT
  bool seeded = true;                  // rows in dvr_config and dvr_cameras
  bool external_trigger = true;
};

struct RigOptions {
  Backend backend = Backend::kSqlite;
  bool record_active_alarms = false;
  std::vector<SimulatedDvrSetup> dvrs = {SimulatedDvrSetup{}};
};

// dvrsim bound to one address, its ports below 32768 (the component keeps
// DVR ports as 16-bit signed numbers), its control port at hand.
class SimulatedDvr {
 public:
  SimulatedDvr(const std::string& address, const std::string& folder);
  bool started() const { return control_port != 0; }
  // One control command and its reply line ("" when none came in time).
  std::string Control(const std::string& command);
  // The key=value fields of the reply.
  std::map<std::string, std::string> ControlFields(const std::string& command);
  // Sets the DVR clock (14 digits, DVR local time) with a time sync on the
  // command port, as the service would.
  bool SetClock(const std::string& digits14);

  std::string address;
  uint16_t command_port = 0, event_port = 0, live_port = 0, control_port = 0;

 private:
  std::unique_ptr<svc::ChildProcess> process_;
  link::UniqueFd control_;
  std::string buffer_;
};

class AlarmRig {
 public:
  // Starts everything; failures are added to the running test and leave
  // ok() false.
  explicit AlarmRig(const RigOptions& options);
  ~AlarmRig();
  AlarmRig(const AlarmRig&) = delete;
  AlarmRig& operator=(const AlarmRig&) = delete;

  bool ok() const { return ok_; }
  SimulatedDvr& dvr(size_t i) { return *dvrs_.at(i); }
  const std::string& id(size_t i) const { return ids_.at(i); }
  uint16_t listen_port(size_t i) const { return listen_ports_.at(i); }
  const std::string& folder() const { return dir_.path(); }

  // Every host-sink line written so far (host-events.jsonl).
  std::vector<Json> HostLines() const;
  // The host events (kind host_event) of one instance, in order.
  std::vector<Json> HostEvents(const std::string& instance) const;
  // Waits until the instance has at least `count` host events; returns them.
  std::vector<Json> WaitForHostEvents(const std::string& instance, size_t count, int timeout_ms = 5000) const;
  // Waits until some host-sink line satisfies pred.
  bool WaitForLine(const std::function<bool(const Json&)>& pred, int timeout_ms = 5000) const;

  std::vector<std::string> DebugLogLines() const;
  // Waits until a debug-log line holds every text given.
  bool WaitForLogLine(const std::vector<std::string>& texts, int timeout_ms = 5000) const;

  // A method call through the automation endpoint; the result, or the whole
  // reply when it carries none.
  Json Call(const std::string& instance, const std::string& method, const Json& args, int timeout_ms = 10000);
  // Sends one host-client frame (command code first) to an instance's
  // listening port and returns the fields of the reply frame.
  std::vector<std::string> HostFrame(size_t dvr, const std::vector<std::string>& fields);

  // Rows of the host database, read through test procedures:
  //   "dvr_alarms"       Config, Camera, StartTime, EndTime, AlarmType
  //   "alarm_active"     AlarmDateTime, EventCode, GlobalAddressID, Description
  //   "dvr_alarm_video"  ID, AlarmDateTime
  // Dates read "YYYY-MM-DD hh:mm:ss" for both providers.
  std::vector<Row> Rows(const std::string& table) const;
  // Waits until the table holds at least `count` rows; returns them.
  std::vector<Row> WaitForRows(const std::string& table, size_t count, int timeout_ms = 5000) const;

  // Stops the service with SIGTERM; its exit status (-1 when it did not end).
  int StopService();

 private:
  void Start(const RigOptions& options);
  std::string DvrSection(size_t i, const SimulatedDvrSetup& setup) const;

  TempDir dir_;
  std::unique_ptr<TestDatabase> database_;
  std::vector<std::unique_ptr<SimulatedDvr>> dvrs_;
  std::vector<std::string> ids_;
  std::vector<uint16_t> listen_ports_;
  std::unique_ptr<svc::ChildProcess> service_;
  bool ok_ = false;
};

// The twelve texts of a host_event line.
std::vector<std::string> Fields(const Json& host_event);

}  // namespace dvrlink::testing::alarms
