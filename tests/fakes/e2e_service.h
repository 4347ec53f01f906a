// A dvrlink service with N dvrsim DVRs (loopback, ports below 32768), a host
// database of either provider and the debug log on, for end-to-end tests.
// Real processes and clock; every wait is a short bounded poll.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fakes/db_test_support.h"
#include "fakes/link_dvrsim_process.h"
#include "fakes/onvif_bridge_process.h"
#include "fakes/svc_test_support.h"

namespace dvrlink::testing::e2e {

using Json = nlohmann::json;
using Row = std::map<std::string, std::string>;
using Frame = std::vector<std::string>;

// A [host] section (export/, s.sock, listen_address 127.0.0.1), then `extra`.
std::string HostSection(const std::string& connection_string, const std::string& extra = "");
// A [dvr] section with a working value for every key; `values` replaces or adds keys.
std::string DvrSection(const std::string& section, const std::map<std::string, std::string>& values = {});

// One simulated DVR and the [dvr] section that names it.
struct DvrSetup {
  std::string address = "127.0.0.1";  // dvrsim binds here; the section's address
  std::string key = "A";              // the instance ID is KEY-NUMBER-LISTENPORT; the name "Sim KEY"
  bool seeded = false;                // rows in dvr_config and dvr_cameras
  bool external_trigger = false;
  std::string time_zone = "Eastern Standard Time";  // the section's zone key
  std::string sim_time_zone;                         // dvrsim's IANA zone; empty: the system's
};

struct E2eOptions {
  Backend backend = Backend::kSqlite;
  std::string host_lines;     // extra "key = value\n" lines of [host]
  std::string computer_zone;  // TZ of the service; empty: inherited
  std::vector<std::string> launcher;  // runs the service (e.g. {"prlimit", "--nofile=64"})
  std::vector<DvrSetup> dvrs = {DvrSetup{}};
  // When set, every DVR is served through dvrlink-onvif (these extra lines in its [device]).
  std::optional<std::string> onvif;
  std::vector<std::string> sim_args;  // extra arguments of every dvrsim
};

class E2eService {
 public:
  // Starts nothing; failures of the steps below are added to the running test.
  explicit E2eService(E2eOptions options);
  ~E2eService();
  E2eService(const E2eService&) = delete;
  E2eService& operator=(const E2eService&) = delete;

  // Starts one dvrsim per DVR.
  bool StartSimulators();
  // Writes the configuration, seeds the database and starts the service; true
  // once started and, with wait_connected, every DVR session and subscription up.
  bool StartService(bool wait_connected = true);
  bool Start() { return StartSimulators() && StartService(); }
  // SIGTERM; the exit status (-1 when it did not end or never started).
  int StopService();
  bool service_running() const { return service_ != nullptr; }
  pid_t service_pid() const { return service_ ? service_->pid() : -1; }
  // Stops a DVR's simulator and starts a new one on the same ports.
  void RestartSimulator(size_t i);

  DvrsimProcess& dvr(size_t i) { return *dvrs_.at(i); }
  // The bridge of an onvif DVR (nullptr for the others).
  OnvifBridgeProcess* bridge(size_t i) { return bridges_.at(i).get(); }
  const std::string& id(size_t i) const { return ids_.at(i); }
  uint16_t listen_port(size_t i) const { return listen_ports_.at(i); }
  std::string File(const std::string& name) const { return dir_.File(name); }

  // Every host-sink line written so far (host-events.jsonl).
  std::vector<Json> HostLines() const;
  // The host events of one instance (all when empty), in order.
  std::vector<Json> HostEvents(const std::string& instance = "") const;
  // Waits until the instance has at least `count` host events; returns them.
  std::vector<Json> WaitForHostEvents(const std::string& instance, size_t count, int timeout_ms = 5000) const;
  // Waits until some host-sink line satisfies pred.
  bool WaitForLine(const std::function<bool(const Json&)>& pred, int timeout_ms = 5000) const;
  // Waits until a line of the debug log (DebugDeviceAdm.log) holds every text given.
  bool WaitForLogLine(const std::vector<std::string>& texts, int timeout_ms = 5000) const;

  // A call through the automation endpoint: the result, or the whole reply without one.
  Json Call(const std::string& instance, const std::string& method, const Json& args, int timeout_ms = 10000);
  // dvrctl with --socket naming the service's automation endpoint.
  svc::ProgramResult Dvrctl(const std::vector<std::string>& args) const;
  // Sends one host-client frame to a DVR's listening port; the reply frame.
  Frame HostFrame(size_t dvr, const Frame& fields);

  // Rows of dvr_alarms, alarm_active or dvr_alarm_video, dates as
  // "YYYY-MM-DD hh:mm:ss" for both providers.
  std::vector<Row> Rows(const std::string& table) const;
  // Waits until the table holds at least `count` rows; returns them.
  std::vector<Row> WaitForRows(const std::string& table, size_t count, int timeout_ms = 5000) const;

 private:
  std::string DvrSection(size_t i) const;

  E2eOptions options_;
  TempDir dir_;
  std::unique_ptr<TestDatabase> database_;
  std::vector<std::unique_ptr<DvrsimProcess>> dvrs_;
  std::vector<std::unique_ptr<OnvifBridgeProcess>> bridges_;
  std::vector<std::string> ids_;
  std::vector<uint16_t> listen_ports_;
  std::unique_ptr<svc::ChildProcess> service_;
};

// A fixture holding one E2eService; TearDown expects a clean exit.
class E2eTest : public ::testing::Test {
 protected:
  void Start(const E2eOptions& options = {});
  void TearDown() override;
  std::unique_ptr<E2eService> e2e;
};

// A host client of an instance, frames split into their fields.
class HostClient {
 public:
  explicit HostClient(uint16_t port) : socket_(svc::TestClient::Tcp(port)) {}
  bool connected() const { return socket_.connected(); }
  void Send(const Frame& fields);
  // The frames received with this code (any when empty), waiting for `count`.
  std::vector<Frame> WaitFor(const std::string& code, size_t count = 1, int timeout_ms = 6000);

 private:
  svc::TestClient socket_;
};

// The twelve texts of a host_event line.
std::vector<std::string> Fields(const Json& host_event);
// The codes of host_event lines.
std::vector<int> EventCodes(const std::vector<Json>& events);

}  // namespace dvrlink::testing::e2e
