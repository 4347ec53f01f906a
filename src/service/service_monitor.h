// What the status console and /metrics show of the running service, read from
// the instances' state and their main forms, plus what the service observes
// on its way: host-sink lines, log and error lines, stored-procedure calls and
// the DVR link's alarm events, video bytes and clock synchronisations.
//
// Attribution: host-sink lines by their instance ID; link observations by the
// DVR address; error lines by the instance ID they name; stored-procedure
// calls to the instance whose DVR number is current (iCurrentDVR) when the
// call is made. Log lines are counted per log file, for the whole process.
//
// Actions go through the component's public methods and the form's menu
// actions, exactly as the host or an operator at the form would call them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/dvr_link.h"
#include "platform/net/json_text.h"
#include "service/service_config.h"

namespace dvrlink {

class clsDvrlink;
class ReconnectPolicy;

// One instance as the service holds it.
struct MonitoredInstance {
  const DvrConfig* dvr = nullptr;  // not owned
  std::shared_ptr<clsDvrlink> instance;
  const ReconnectPolicy* reconnect = nullptr;  // not owned; null when reconnect is off
  bool started = false;
};

// An action the console cannot carry out: status 404 (no such instance or
// action) or 409 (the instance cannot do it now).
class ActionError : public std::runtime_error {
 public:
  ActionError(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

class ServiceMonitor : public LinkObserver {
 public:
  static constexpr size_t kRecentEvents = 200;
  static constexpr size_t kStatusLines = 40;

  explicit ServiceMonitor(std::function<std::vector<MonitoredInstance>()> instances);
  ServiceMonitor(const ServiceMonitor&) = delete;
  ServiceMonitor& operator=(const ServiceMonitor&) = delete;

  // Observations.
  void OnHostLine(const std::string& line);
  void OnLogLine(const char* log);
  void OnErrorLine(const std::string& line);
  void OnGatewayCall(int32_t error_code);
  void OnAlarmEvent(const std::string& address, const std::string& event) override;
  void OnVideoBytes(const std::string& address, int64_t bytes) override;
  void OnTimeSync(const std::string& address, int32_t reason, int32_t moved_seconds) override;
  // Notes session changes (with the time each was first seen).
  void Sample();

  // The console's data: every instance as its main form would show it, the
  // recent host-sink lines (oldest first), /metrics in the Prometheus text
  // format.
  Json Instances();
  Json RecentEvents() const;
  std::string Metrics();

  // Carries out an action on the instance with this ID: "connect",
  // "timesync", "debug-mode", "exit" or "release-grant"; `who` names the
  // caller in the log. Returns the method's result. Raises ActionError, or
  // the RuntimeError a method without error handling of its own lets
  // through.
  Json Act(const std::string& id, const std::string& action, const std::string& who);

 private:
  struct Seen {
    bool connected = false;
    std::string since;  // local time it was first seen so
  };
  struct Stats {
    std::map<int32_t, int64_t> host_events;  // by code
    std::map<int32_t, int64_t> callbacks;    // by type
    int64_t alarm_events = 0;
    int64_t db_calls = 0;
    int64_t db_failures = 0;
    int64_t error_lines = 0;
    int64_t video_bytes = 0;
    Json last_event;
    Json last_error;
    Json last_sync;
    Seen control;
    Seen event;
    bool sampled = false;
  };
  Stats& StatsOf(const std::string& id) { return stats_[id]; }
  // The ID of the instance with this DVR address or number; empty when none.
  std::string IdOfAddress(const std::string& address);
  std::string IdOfNumber(int16_t number);
  Json InstanceJson(const MonitoredInstance& m, Stats& stats);

  std::function<std::vector<MonitoredInstance>()> instances_;
  std::map<std::string, Stats> stats_;
  std::map<std::string, int64_t> log_lines_;
  std::deque<Json> recent_;
};

// The local time (the loop's clock) `micros` of monotonic time away from
// now, as YYYY-MM-DDThh:mm:ss.
std::string LocalTimeText(int64_t micros_from_now = 0);

// Process facts for /metrics: resident memory in bytes and open descriptors.
int64_t ResidentBytes();
int64_t OpenDescriptors();

}  // namespace dvrlink
