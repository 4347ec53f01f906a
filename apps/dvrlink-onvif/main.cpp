// dvrlink-onvif: a DVR link server (docs/dvr-link.md) in front of one ONVIF
// camera, encoder or recorder (docs/onvif.md). The first line of standard
// output names its ports; log lines go to standard error. SIGINT or SIGTERM
// unsubscribes from the device and ends it with status 0.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <ctime>
#include <exception>
#include <iostream>
#include <string>

#include "dvrlink-onvif/bridge.h"
#include "platform/platform_state.h"

namespace {

constexpr const char* kUsage =
    "usage: dvrlink-onvif --config FILE\n"
    "       dvrlink-onvif --help | --version\n"
    "\n"
    "Serves the DVR link (command, event and live ports) of one DVR section\n"
    "from one ONVIF device: device information, time sync, host-raised alarms\n"
    "as relay outputs, PullPoint events as alarms and system events, and the\n"
    "camera-control texts as PTZ presets and preset tours (docs/onvif.md).\n"
    "\n"
    "  --config FILE  INI file: [device] url, user, password, time_zone, ...;\n"
    "                 [link] bind and the three ports; [map] camera, relay and\n"
    "                 input tokens (see examples/onvif-bridge.ini)\n"
    "  standard output  the first line is 'ports command=N event=N live=N'\n"
    "  standard error   log lines (credentials are never written)\n"
    "\n"
    "SIGINT or SIGTERM unsubscribes from the device and exits 0.\n"
    "Exit status: 0 stopped by a signal; 1 cannot start (a port, a zone);\n"
    "2 bad command line or configuration.\n";

void LogLine(const std::string& text) {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
  std::cerr << stamp << " dvrlink-onvif: " << text << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  std::string config_path;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << dvrlink::onvif::BridgeVersion() << "\n";
      return 0;
    }
    if (arg == "--config" && i + 1 < argc) {
      config_path = argv[++i];
    } else {
      std::cerr << "dvrlink-onvif: unknown argument '" << arg << "'\n" << kUsage;
      return 2;
    }
  }
  if (config_path.empty()) {
    std::cerr << "dvrlink-onvif: --config FILE is required\n" << kUsage;
    return 2;
  }
  dvrlink::onvif::BridgeConfig config;
  try {
    config = dvrlink::onvif::LoadBridgeConfig(config_path);
  } catch (const dvrlink::onvif::BridgeConfigError& e) {
    std::cerr << "dvrlink-onvif: " << e.what() << std::endl;
    return 2;
  }

  // Signals arrive as readable data on the loop.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &signals, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  int signal_fd = ::signalfd(-1, &signals, SFD_NONBLOCK | SFD_CLOEXEC);

  dvrlink::EventLoop& loop = dvrlink::Loop();
  try {
    dvrlink::onvif::Bridge bridge(loop, config, LogLine);
    std::cout << bridge.PortsLine() << std::endl;  // flushed: starters wait for it
    bool stopping = false;
    dvrlink::EventLoop::WatchId watch = loop.Watch(signal_fd, POLLIN, [&](short) {
      signalfd_siginfo info{};
      while (::read(signal_fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      }
      if (stopping) return;
      stopping = true;
      LogLine("stopping");
      bridge.Stop([&loop] { loop.Stop(); });
    });
    bridge.Start();
    loop.Run();
    loop.Unwatch(watch);
  } catch (const std::exception& e) {
    std::cerr << "dvrlink-onvif: " << e.what() << std::endl;
    return 1;
  }
  dvrlink::onvif::ReleaseMediaLibrary();
  return 0;
}
