#include "service/service.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "component/clsDvrlink.h"
#include "component/host_components.h"
#include "database/ado_connection.h"
#include "link/dvr_link.h"
#include "link/video_file_writer.h"
#include "host/host_sink.h"
#include "platform/platform_state.h"
#include "platform/shared_library.h"
#include "host/socket_server.h"
#include "database/db_state.h"
#include "service/config_check.h"
#include "service/console.h"
#include "service/service_monitor.h"
#include "service/reconnect_policy.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "timezone/registry.h"
#include "timezone/tz_state.h"

namespace dvrlink {
namespace {

// The host's database object: only its connection string is read.
class ConnectionStringText : public IConnectionStringSource {
 public:
  explicit ConnectionStringText(std::string text) : text_(std::move(text)) {}
  std::string ConnectionString() override { return text_; }

 private:
  std::string text_;
};

// The host's product object: handed over, never called.
class HostProduct : public IHostProduct {};

const char* kUsage =
    "usage: dvrlink --config FILE\n"
    "       dvrlink --check-config FILE\n"
    "       dvrlink --help | --version\n"
    "\n"
    "Runs the DVR integration service: one component instance per DVR section of\n"
    "the configuration FILE (an INI file; see examples/demo.ini and docs/).\n"
    "\n"
    "  standard output   one JSON line per host event (also appended to\n"
    "                    <program_folder>/host-events.jsonl)\n"
    "  standard error    start-up messages, and the status lines of main forms\n"
    "                    shown in debug mode\n"
    "  automation        JSON Lines on a Unix socket (automation_socket, default\n"
    "                    <program_folder>/dvrlink.sock); client: dvrctl\n"
    "\n"
    "  console           with [host] console = ADDRESS:PORT, a status page, its\n"
    "                    JSON API (/api/instances, /api/events) and /metrics\n"
    "\n"
    "--check-config FILE checks every value of FILE against what the component\n"
    "will do with it, the folders and files it names, the time-zone keys and the\n"
    "host database with its DVR rows, prints one line per problem\n"
    "(FILE:LINE: key 'K' in [SECTION]: ...) and exits 0 when there is none, else 2.\n"
    "The same check runs at every start, before any instance starts.\n"
    "\n"
    "SIGHUP reopens host-events.jsonl and the logs (a log moved away is also\n"
    "noticed within a second of its next line).\n"
    "SIGINT, SIGTERM and every other signal that would end the process (SIGQUIT,\n"
    "SIGUSR1, SIGUSR2, SIGALRM, ...) close every instance (DeviceFormClose) and\n"
    "exit 0.\n"
    "Under systemd (NOTIFY_SOCKET set) READY=1 is sent once every instance's\n"
    "Initialize has run.\n"
    "Exit status: 0 stopped by a signal; 1 no instance started or the service\n"
    "could not start; 2 bad command line or configuration.\n";

// Signals whose default would end the process, besides SIGHUP and the
// real-time ones: each stops the service cleanly.
constexpr int kStoppingSignals[] = {SIGINT,  SIGTERM,   SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                                    SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGXCPU, SIGSTKFLT};

std::string VersionText() {
  const PlatformState& p = Platform();
  return std::to_string(p.version_major) + "." + std::to_string(p.version_minor) + "." +
         std::to_string(p.version_revision);
}

// Tells systemd (Type=notify) the service's state. libsystemd is loaded
// (and kept) only when systemd asks for notices ($NOTIFY_SOCKET), so that a
// start outside it does not map the library and those it needs.
void NotifyServiceManager(const std::string& state, std::ostream& err) {
  if (std::getenv("NOTIFY_SOCKET") == nullptr) return;
  SharedLibrary library("libsystemd.so.0", "libsystemd0");
  decltype(&::sd_notify) notify = nullptr;
  library.Resolve("sd_notify", notify);
  if (notify == nullptr) {
    err << "dvrlink: systemd cannot be told '" << state << "': " << library.Problem() << std::endl;
    return;
  }
  notify(0, state.c_str());
}

}  // namespace

struct Service::Slot {
  DvrConfig dvr;
  std::shared_ptr<clsDvrlink> instance;
  std::shared_ptr<HostCallback> callback;
  std::shared_ptr<ReconnectPolicy> reconnect;
  std::vector<std::string> errors;  // error lines logged while its Initialize ran
  bool started = false;
};

void RegisterHostComponents(const ServiceConfig& config) {
  SocketServerOptions socket_options;
  socket_options.listen_address = config.listen_address;
  socket_options.allowed_clients = net::AddressFilter::Parse(config.allowed_clients);
  socket_options.half_frame_timeout_ms = config.half_frame_timeout_seconds * 1000;
  ObjectFactory& factory = Platform().factory;
  factory.Register<ISocketServer>(kProgIdSocketServer, [socket_options]() -> std::shared_ptr<ISocketServer> {
    return std::make_shared<SocketServer>(socket_options);
  });
  factory.Register<IAdoConnection>(kProgIdAdoConnection,
                                   []() -> std::shared_ptr<IAdoConnection> { return std::make_shared<AdoConnection>(); });
}

Service::Service(ServiceConfig config, ServiceOptions options, std::ostream& err)
    : config_(std::move(config)), options_(options), err_(err) {}

Service::~Service() {
  // An instance left open would keep calling into the sink released below.
  if (!slots_.empty() || console_) Shutdown();
  // The hooks point into this service.
  Platform().error_logged = nullptr;
  Platform().log_line_written = nullptr;
  ModAllConst2().gateway_call_done = nullptr;
  // Instances first: their sockets and sessions hold watches of the loop and
  // their callbacks point into the sink.
  slots_.clear();
  endpoint_.reset();
}

void Service::RegisterObjects() {
  RegisterHostComponents(config_);
  if (options_.register_dvr_objects) {
    DvrLinkOptions link;
    link.export_folder = config_.export_folder;
    link.observer = monitor_;
    RegisterDvrLinkObjects(Platform().factory, link);
    RegisterDvrComponents(Platform().factory, link);
  }
}

int Service::Start() {
  // The configuration check has looked at the folders already; the service
  // creates none of them (only files inside the program folder).
  for (const auto& [key, folder] : {std::pair<const char*, const std::string*>{"program_folder", &config_.program_folder},
                                    {"export_folder", &config_.export_folder}}) {
    std::error_code ec;
    if (!std::filesystem::is_directory(*folder, ec)) {
      throw StartupError(config_.file + ": " + key + ": the folder " + *folder + " does not exist", 2);
    }
  }
  PlatformState& platform = Platform();
  platform.program_folder = config_.program_folder;
  for (const std::string& path : link::VideoFileWriter::RemoveStalePartialFiles(config_.export_folder)) {
    WriteServiceLog("dvrlink, removed " + path + ", left by a retrieval that never ended");
  }
  std::ostream* err = &err_;
  platform.status_echo = [err](const std::string& line) { *err << line << std::endl; };
  if (!config_.registry.empty()) {
    try {
      ModTimeZone().registry = LoadRegFile(config_.registry);
    } catch (const RuntimeError& e) {
      throw StartupError(config_.file + ": registry: " + e.Description(), 2);
    }
  }
  platform.error_logged = [this](const std::string& line) {
    if (!starting_.empty()) starting_.back()->errors.push_back(line);
    if (monitor_) monitor_->OnErrorLine(line);
  };
  if (!config_.console.empty()) monitor_ = std::make_shared<ServiceMonitor>([this] { return Monitored(); });
  HostSinkOptions sink_options;
  sink_options.events_file = config_.program_folder + "/host-events.jsonl";
  sink_options.write_stdout = options_.write_stdout;
  sink_options.record_active_alarms = config_.record_active_alarms;
  sink_options.connection_string = config_.connection_string;
  sink_ = std::make_unique<HostSink>(sink_options);
  RegisterObjects();

  dispatcher_ = std::make_unique<AutomationDispatcher>([this] { return Targets(); });
  endpoint_ = std::make_unique<AutomationEndpoint>(*dispatcher_, sink_.get());
  try {
    endpoint_->Listen(config_.automation_socket);
  } catch (const std::runtime_error& e) {
    throw StartupError(e.what(), 1);
  }
  WriteServiceLog("dvrlink " + VersionText() + " starting: " + std::to_string(config_.dvrs.size()) +
                  " DVR(s), configuration " + config_.file);
  if (monitor_) StartConsole();

  while (slots_.size() < config_.dvrs.size() && !stop_requested_) StartNextInstance();
  int started = 0;
  for (const auto& slot : slots_) started += slot->started ? 1 : 0;
  return started;
}

// Each instance's connect waits in a Delay that runs the loop; the start of
// the next instance is posted so that it runs inside that wait, and the waits
// of many instances overlap. The nesting stays kNestingLeft levels short of
// the loop's bound so that the instances' own waits still dispatch.
void Service::StartNextInstance() {
  if (slots_.size() >= config_.dvrs.size() || stop_requested_) return;
  auto slot = std::make_unique<Slot>();
  slot->dvr = config_.dvrs[slots_.size()];
  slots_.push_back(std::move(slot));
  Slot& starting = *slots_.back();
  constexpr int kNestingLeft = 8;
  if (slots_.size() < config_.dvrs.size() && Loop().NestingDepth() < EventLoop::kMaxNesting - kNestingLeft) {
    std::weak_ptr<bool> alive = alive_;
    Loop().Post([this, alive] {
      if (alive.lock()) StartNextInstance();
    });
  } else if (slots_.size() == config_.dvrs.size()) {
    // Every instance reads the time-zone table once connected; the last one
    // to start builds it while all of them wait for their DVR sessions.
    Loop().Post(PrepareSystemRegistry);
  }
  StartInstance(starting);
}

void Service::StartConsole() {
  ServiceMonitor* monitor = monitor_.get();
  Platform().log_line_written = [monitor](const char* log) { monitor->OnLogLine(log); };
  ModAllConst2().gateway_call_done = [monitor](const std::string&, int32_t code) { monitor->OnGatewayCall(code); };
  console_ = std::make_unique<ServiceConsole>(config_, *monitor);
  try {
    console_->Start();
  } catch (const std::runtime_error& e) {
    console_.reset();
    throw StartupError(config_.file + ": console: " + e.what(), 1);
  }
  ServiceConsole* console = console_.get();
  sink_->AddListener([monitor, console](const std::string& line) {
    monitor->OnHostLine(line);
    console->Publish(line);
  });
  // Session changes that bring no host event are seen within a second.
  sampler_ = std::make_unique<Timer>(Loop(), [monitor] { monitor->Sample(); });
  sampler_->SetInterval(1000);
  sampler_->SetEnabled(true);
  const std::string where = config_.console.substr(0, config_.console.rfind(':') + 1) +
                            std::to_string(console_->BoundPort());
  WriteServiceLog("dvrlink, console on " + where);
  err_ << "dvrlink: console on http://" << where << "/" << std::endl;
}

uint16_t Service::ConsolePort() const { return console_ ? console_->BoundPort() : 0; }

std::vector<MonitoredInstance> Service::Monitored() const {
  std::vector<MonitoredInstance> all;
  for (const auto& slot : slots_) {
    if (slot->instance) all.push_back(MonitoredInstance{&slot->dvr, slot->instance, slot->reconnect.get(), slot->started});
  }
  return all;
}

void Service::StartInstance(Slot& slot) {
  slot.instance = clsDvrlink::Create();
  std::weak_ptr<clsDvrlink> weak = slot.instance;
  auto instance_id = [weak]() {
    std::shared_ptr<clsDvrlink> instance = weak.lock();
    return instance ? instance->ID : std::string();
  };
  if (config_.reconnect_seconds > 0) {
    std::string address = slot.dvr.address();
    std::string command_port = slot.dvr.command_port();
    std::string live_port = slot.dvr.live_port();
    slot.reconnect = std::make_shared<ReconnectPolicy>(
        Loop(), config_.reconnect_seconds, [weak, address, command_port, live_port]() {
          std::shared_ptr<clsDvrlink> instance = weak.lock();
          if (!instance) return;
          WriteServiceLog("dvrlink, reconnect(" + instance->ID + ") calling Connect(" + address + ")");
          instance->Connect(address, command_port, live_port);
        });
  }
  // Messages the instance sends through its socket component reach the
  // host sink; its connection events drive the reconnect policy.
  if (auto* server = dynamic_cast<SocketServer*>(slot.instance->oSocket.get())) {
    HostSink* sink = sink_.get();
    std::weak_ptr<ReconnectPolicy> reconnect = slot.reconnect;
    server->SetSendObserver([sink, instance_id, reconnect](const std::string& text) {
      sink->Message(instance_id(), text);
      if (std::shared_ptr<ReconnectPolicy> policy = reconnect.lock()) {
        if (std::optional<HostEventMessage> event = ParseHostEventMessage(text)) policy->OnHostEvent(event->code);
      }
    });
  }
  slot.callback = std::make_shared<HostCallback>(*sink_, instance_id);
  std::vector<std::string> parameters = slot.dvr.parameters;
  starting_.push_back(&slot);
  slot.started = slot.instance->Initialize(
      Ref<IHostCallback>(slot.callback), Ref<IHostProduct>(std::make_shared<HostProduct>()), parameters,
      Ref<IConnectionStringSource>(std::make_shared<ConnectionStringText>(config_.connection_string)),
      config_.component_id);
  starting_.pop_back();
  if (slot.started) {
    err_ << "dvrlink: [" << slot.dvr.section << "] " << slot.instance->ID << " started (DVR " << slot.dvr.address()
         << ", host clients on port " << slot.instance->ServerPort << ")" << std::endl;
  } else {
    std::string why;
    for (const std::string& error : slot.errors) why += (why.empty() ? "" : "; ") + error;
    std::string line = "[" + slot.dvr.section + "] " + slot.instance->ID + ": Initialize returned False: " +
                       (why.empty() ? "see the logs in " + config_.program_folder : why);
    err_ << "dvrlink: " << line << std::endl;
    WriteServiceLog("dvrlink, " + line);
  }
}

void Service::ReopenFiles() {
  ReopenLogFiles();
  if (sink_) sink_->ReopenEventsFile();
}

void Service::RequestStop() {
  stop_requested_ = true;
  Loop().Stop();
}

void Service::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  sampler_.reset();
  if (console_) console_->Stop();
  for (const auto& slot : slots_) {
    if (slot->reconnect) slot->reconnect->Stop();
  }
  for (const auto& slot : slots_) {
    if (slot->instance) slot->instance->DeviceFormClose();
  }
  if (endpoint_) endpoint_->Close();
  WriteServiceLog("dvrlink " + VersionText() + " stopped");
}

std::vector<AutomationTarget> Service::Targets() const {
  std::vector<AutomationTarget> targets;
  for (const auto& slot : slots_) {
    if (slot->instance) targets.push_back(AutomationTarget{slot->instance, slot->started});
  }
  return targets;
}

int RunService(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  std::string config_path;
  bool check_only = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      out << kUsage;
      return 0;
    }
    if (a == "--version") {
      out << "dvrlink " << VersionText() << "\n";
      return 0;
    }
    if ((a == "--config" || a == "--check-config") && i + 1 < args.size()) {
      config_path = args[++i];
      check_only = a == "--check-config";
    } else if (a.rfind("--config=", 0) == 0) {
      config_path = a.substr(9);
    } else if (a.rfind("--check-config=", 0) == 0) {
      config_path = a.substr(15);
      check_only = true;
    } else {
      err << "dvrlink: unknown argument '" << a << "'\n" << kUsage;
      return 2;
    }
  }
  if (config_path.empty()) {
    err << "dvrlink: --config FILE is required\n" << kUsage;
    return 2;
  }
  ConfigCheckResult check = CheckServiceConfigFile(config_path);
  if (check_only) {
    for (const std::string& line : check.problems) err << line << "\n";
    for (const std::string& line : check.unseeded) err << line << "\n";
    if (!check.problems.empty() || !check.unseeded.empty()) return 2;
    out << config_path << ": configuration OK (" << check.config.dvrs.size() << " DVR section(s))\n";
    return 0;
  }
  if (!check.problems.empty()) {
    for (const std::string& line : check.problems) err << "dvrlink: " << line << "\n";
    err << "dvrlink: not started: " << check.problems.size() << " configuration problem(s)" << std::endl;
    return 2;
  }
  ServiceConfig config = std::move(check.config);
  Platform().program_folder = config.program_folder;
  for (const std::string& line : check.unseeded) {
    err << "dvrlink: warning: " << line << "\n";
    WriteServiceLog("dvrlink, warning: " + line);
  }

  // Signals arrive as readable data on the loop, never as interruptions:
  // SIGHUP and every signal whose default would end the process. The fault
  // signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT) keep
  // their default; SIGPIPE and SIGXFSZ are ignored, so a write to a closed
  // pipe or past the file-size limit fails with an error its writer handles.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal_number : kStoppingSignals) sigaddset(&signals, signal_number);
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) sigaddset(&signals, signal_number);
  sigaddset(&signals, SIGHUP);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  net::UniqueFd signal_fd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signal_fd.valid()) {
    err << "dvrlink: cannot watch for signals: " << net::ErrorText(errno) << std::endl;
    return 1;
  }

  // The logs stay open while the service runs, and the lines of one handler
  // go in one write, made before anything leaves the process.
  struct KeptOpenLogs {
    KeptOpenLogs() {
      SetLogFileMode(LogFileMode::kKeptOpen);
      SetLogBatching(true);
      Platform().before_output = FlushLogFiles;
    }
    ~KeptOpenLogs() {
      Platform().before_output = nullptr;
      SetLogBatching(false);
      SetLogFileMode(LogFileMode::kOpenEachLine);
    }
  } kept_open_logs;
  int status = 0;
  {
    Service service(config, ServiceOptions{}, err);
    int fd = signal_fd.get();
    EventLoop::WatchId watch = Loop().Watch(fd, POLLIN, [fd, &service](short) {
      signalfd_siginfo info{};
      bool stop = false;
      while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        const int number = static_cast<int>(info.ssi_signo);
        std::string name = "signal " + std::to_string(number) + " (" + ::strsignal(number) + ")";
        if (number == SIGHUP) {
          service.ReopenFiles();
          WriteServiceLog("dvrlink, " + name + " received: host-events.jsonl and the logs reopened");
          continue;
        }
        WriteServiceLog("dvrlink, " + name + " received: stopping");
        stop = true;
      }
      if (stop) service.RequestStop();
    });
    int started = 0;
    try {
      started = service.Start();
    } catch (const StartupError& e) {
      err << "dvrlink: " << e.what() << std::endl;
      Loop().Unwatch(watch);
      service.Shutdown();
      return e.status();
    }
    if (started == 0 && !service.StopRequested()) {
      err << "dvrlink: no instance started" << std::endl;
      status = 1;
    } else {
      err << "dvrlink: " << started << " of " << config.dvrs.size() << " instance(s) started; automation socket "
          << service.AutomationSocketPath() << std::endl;
      // Under systemd (Type=notify): every Initialize has run.
      NotifyServiceManager("READY=1\nSTATUS=" + std::to_string(started) + " of " + std::to_string(config.dvrs.size()) +
                           " instance(s) started", err);
      if (!service.StopRequested()) Loop().Run();
    }
    NotifyServiceManager("STOPPING=1", err);
    service.Shutdown();
    Loop().Unwatch(watch);
  }
  return status;
}

}  // namespace dvrlink
