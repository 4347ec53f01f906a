#include "service/service.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>

#include "component/clsDvrlink.h"
#include "component/host_components.h"
#include "database/ado_connection.h"
#include "link/dvr_link.h"
#include "host/host_sink.h"
#include "platform/platform_state.h"
#include "host/socket_server.h"
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
    "SIGINT or SIGTERM closes every instance (DeviceFormClose) and exits 0.\n"
    "Exit status: 0 stopped by a signal; 1 no instance started or the service\n"
    "could not start; 2 bad command line or configuration.\n";

std::string VersionText() {
  const PlatformState& p = Platform();
  return std::to_string(p.version_major) + "." + std::to_string(p.version_minor) + "." +
         std::to_string(p.version_revision);
}

}  // namespace

struct Service::Slot {
  DvrConfig dvr;
  std::shared_ptr<clsDvrlink> instance;
  std::shared_ptr<HostCallback> callback;
  std::shared_ptr<ReconnectPolicy> reconnect;
  bool started = false;
};

void RegisterHostComponents(const ServiceConfig& config) {
  SocketServerOptions socket_options;
  socket_options.listen_address = config.listen_address;
  socket_options.allowed_clients = net::AddressFilter::Parse(config.allowed_clients);
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
  if (!slots_.empty()) Shutdown();
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
    RegisterDvrLinkObjects(Platform().factory, link);
    RegisterDvrComponents(Platform().factory, link);
  }
}

int Service::Start() {
  for (const auto& [key, folder] : {std::pair<const char*, const std::string*>{"program_folder", &config_.program_folder},
                                    {"export_folder", &config_.export_folder}}) {
    std::error_code ec;
    std::filesystem::create_directories(*folder, ec);
    if (ec || !std::filesystem::is_directory(*folder)) {
      throw StartupError(config_.file + ": " + key + ": cannot create the folder " + *folder +
                             (ec ? ": " + ec.message() : std::string()),
                         2);
    }
  }
  PlatformState& platform = Platform();
  platform.program_folder = config_.program_folder;
  std::ostream* err = &err_;
  platform.status_echo = [err](const std::string& line) { *err << line << std::endl; };
  if (!config_.registry.empty()) {
    try {
      ModTimeZone().registry = LoadRegFile(config_.registry);
    } catch (const RuntimeError& e) {
      throw StartupError(config_.file + ": registry: " + e.Description(), 2);
    }
  }
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

  int started = 0;
  for (const DvrConfig& dvr : config_.dvrs) {
    if (stop_requested_) break;
    auto slot = std::make_unique<Slot>();
    slot->dvr = dvr;
    slots_.push_back(std::move(slot));
    StartInstance(*slots_.back());
    started += slots_.back()->started ? 1 : 0;
  }
  return started;
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
  slot.started = slot.instance->Initialize(
      Ref<IHostCallback>(slot.callback), Ref<IHostProduct>(std::make_shared<HostProduct>()), parameters,
      Ref<IConnectionStringSource>(std::make_shared<ConnectionStringText>(config_.connection_string)),
      config_.component_id);
  if (slot.started) {
    err_ << "dvrlink: [" << slot.dvr.section << "] " << slot.instance->ID << " started (DVR " << slot.dvr.address()
         << ", host clients on port " << slot.instance->ServerPort << ")" << std::endl;
  } else {
    std::string line = "[" + slot.dvr.section + "] " + slot.instance->ID +
                       ": Initialize returned False; see the logs in " + config_.program_folder;
    err_ << "dvrlink: " << line << std::endl;
    WriteServiceLog("dvrlink, " + line);
  }
}

void Service::RequestStop() {
  stop_requested_ = true;
  Loop().Stop();
}

void Service::Shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
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
    if (a == "--config" && i + 1 < args.size()) {
      config_path = args[++i];
    } else if (a.rfind("--config=", 0) == 0) {
      config_path = a.substr(9);
    } else {
      err << "dvrlink: unknown argument '" << a << "'\n" << kUsage;
      return 2;
    }
  }
  if (config_path.empty()) {
    err << "dvrlink: --config FILE is required\n" << kUsage;
    return 2;
  }
  ServiceConfig config;
  try {
    config = LoadServiceConfig(config_path);
  } catch (const ConfigError& e) {
    err << "dvrlink: " << e.what() << std::endl;
    return 2;
  }

  // Signals arrive as readable data on the loop, never as interruptions.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  net::UniqueFd signal_fd(::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC));
  if (!signal_fd.valid()) {
    err << "dvrlink: cannot watch for signals: " << net::ErrorText(errno) << std::endl;
    return 1;
  }

  int status = 0;
  {
    Service service(config, ServiceOptions{}, err);
    int fd = signal_fd.get();
    EventLoop::WatchId watch = Loop().Watch(fd, POLLIN, [fd, &service](short) {
      signalfd_siginfo info{};
      while (::read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        WriteServiceLog("dvrlink, signal " + std::to_string(info.ssi_signo) + " received: stopping");
      }
      service.RequestStop();
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
      if (!service.StopRequested()) Loop().Run();
    }
    service.Shutdown();
    Loop().Unwatch(watch);
  }
  return status;
}

}  // namespace dvrlink
