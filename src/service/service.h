// The service (dvrlink --config FILE): plays the host for every DVR of the
// configuration. It registers the real host components and DVR objects,
// creates one clsDvrlink per DVR section and calls Initialize with the
// section's start-up parameters, turns the instances' notifications into
// host-sink lines, offers the automation endpoint, retries lost DVR
// sessions when reconnect_seconds asks for it, and at the end calls
// DeviceFormClose on every instance.
#pragma once

#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/automation.h"
#include "service/service_config.h"

namespace dvrlink {

class clsDvrlink;
class HostSink;
class HostCallback;
class ReconnectPolicy;
class ServiceConsole;
class ServiceMonitor;
struct MonitoredInstance;

// A problem that keeps the service from starting; status is the exit status.
class StartupError : public std::runtime_error {
 public:
  StartupError(const std::string& message, int status) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

struct ServiceOptions {
  // False: the caller has registered the DVR API, camera-control and
  // system-event objects itself (tests register fakes).
  bool register_dvr_objects = true;
  bool write_stdout = true;
};

class Service {
 public:
  Service(ServiceConfig config, ServiceOptions options, std::ostream& err);
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // Folders, settings, objects, the automation endpoint, the console (when
  // configured), then each instance's creation and Initialize (stopping
  // early when a stop was requested meanwhile). Returns how many instances
  // started. Raises StartupError. An instance whose Initialize fails is
  // reported on the error stream with the error lines it logged.
  int Start();
  // SIGHUP: reopens the files the service keeps open (host-events.jsonl).
  void ReopenFiles();
  // Asks the service to stop (the signal handler): Run returns.
  void RequestStop();
  bool StopRequested() const { return stop_requested_; }
  // DeviceFormClose on every instance, retries stopped, endpoint closed.
  void Shutdown();

  std::vector<AutomationTarget> Targets() const;
  HostSink& sink() { return *sink_; }
  const ServiceConfig& config() const { return config_; }
  const std::string& AutomationSocketPath() const { return config_.automation_socket; }
  // The console's port; 0 when it is off.
  uint16_t ConsolePort() const;
  std::vector<MonitoredInstance> Monitored() const;

 private:
  struct Slot;
  void RegisterObjects();
  void StartConsole();
  void StartNextInstance();
  void StartInstance(Slot& slot);

  ServiceConfig config_;
  ServiceOptions options_;
  std::ostream& err_;
  std::unique_ptr<HostSink> sink_;
  std::unique_ptr<AutomationDispatcher> dispatcher_;
  std::unique_ptr<AutomationEndpoint> endpoint_;
  std::vector<std::unique_ptr<Slot>> slots_;
  std::shared_ptr<ServiceMonitor> monitor_;  // with the console only
  std::unique_ptr<ServiceConsole> console_;
  std::unique_ptr<Timer> sampler_;
  // The instances whose Initialize is running, innermost last (starts nest
  // inside each other's connect waits); error lines go to the innermost.
  std::vector<Slot*> starting_;  // not owned
  // Posted starts run only while the service is alive.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  bool stop_requested_ = false;
  bool shut_down_ = false;
};

// Registers the service's host components: the socket server (with the
// listen address and allow-list of the configuration) and the database
// connection.
void RegisterHostComponents(const ServiceConfig& config);

// The dvrlink command line (arguments without the program name); returns
// the exit status: 0 stopped by a signal (SIGINT, SIGTERM or any other that
// would end the process; SIGHUP only reopens files), 1 nothing started, 2
// bad command line or configuration.
int RunService(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dvrlink
