// dvrsim: a simulated DVR on loopback (or any address) speaking the DVR link.
// The first line of standard output names the ports it listens on; log lines
// go to standard error. SIGINT or SIGTERM ends it with status 0.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <fstream>
#include <map>
#include <sstream>
#include <memory>
#include <optional>
#include <string>

#include "dvrsim/dvr_simulator.h"
#include "dvrsim/onvif_face.h"
#include "platform/platform_state.h"
#include "support/datetime.h"

namespace {

constexpr const char* kUsage =
    "usage: dvrsim --command-port N --event-port N --live-port N --control-port N\n"
    "              [--bind ADDRESS] [--cameras 16] [--time-zone ZONE]\n"
    "              [--onvif PORT [--onvif-user NAME] [--onvif-password TEXT]\n"
    "               [--onvif-no-digest] [--onvif-cert FILE --onvif-key FILE]\n"
    "               [--onvif-replay RTSP-URL]]\n"
    "\n"
    "A simulated DVR speaking the DVR link protocol (docs/dvr-link.md).\n"
    "  --command-port N  sessions, version, time sync, host-raised alarms,\n"
    "                    recorded-video retrieval (4096 bytes per second of\n"
    "                    span, spans up to 3600 s)\n"
    "  --event-port N    alarm and system-event subscriptions\n"
    "  --live-port N     camera-control texts, one per line\n"
    "  --control-port N  text commands: alarm, sysevent, drop, refuse on|off,\n"
    "                    clock, status, help\n"
    "  Port 0 picks a free port. The first line of standard output is\n"
    "  'ports command=N event=N live=N control=N'.\n"
    "  --bind ADDRESS    address to listen on (default 127.0.0.1)\n"
    "  --cameras N       number of cameras, 1 to 256 (default 16)\n"
    "  --time-zone ZONE  the DVR clock's zone as TZ names it (an IANA name, a\n"
    "                    zone file or a POSIX rule), read from the system's\n"
    "                    zone files (default: the system's zone)\n"
    "  --onvif PORT      also an ONVIF device (device, media, events, PTZ,\n"
    "                    DeviceIO) at http://ADDRESS:PORT/onvif/device_service,\n"
    "                    driven by the same control port (onvif fail|expire|\n"
    "                    status); the ports line then ends in 'onvif=N'\n"
    "  --onvif-user, --onvif-password  its credentials (default admin, admin)\n"
    "  --onvif-no-digest  accept WS-Security UsernameTokens only, no HTTP digest\n"
    "  --onvif-cert FILE, --onvif-key FILE  serve HTTPS with this PEM certificate\n"
    "                    and key\n"
    "  --onvif-replay RTSP-URL  recordings of every camera over the last 24 hours\n"
    "                    (recording search and replay services); camera C's\n"
    "                    replay URI is RTSP-URL/C, served by an RTSP server\n"
    "                    started beside it (scripts/rtsp-replay-server.py)\n"
    "SIGINT or SIGTERM stops it.\n";

int g_signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  char byte = 1;
  ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
  (void)n;
}

std::optional<uint16_t> ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  unsigned long value = std::stoul(text);
  if (value > 65535) return std::nullopt;
  return static_cast<uint16_t>(value);
}

int UsageError(const std::string& message) {
  std::cerr << "dvrsim: " << message << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  dvrlink::sim::SimOptions options;
  std::map<std::string, uint16_t*> ports = {{"--command-port", &options.command_port},
                                            {"--event-port", &options.event_port},
                                            {"--live-port", &options.live_port},
                                            {"--control-port", &options.control_port}};
  std::map<std::string, bool> given;
  std::optional<dvrlink::sim::OnvifOptions> onvif;
  dvrlink::sim::OnvifOptions onvif_options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "dvrsim " << DVRLINK_VERSION_MAJOR << "." << DVRLINK_VERSION_MINOR << "."
                << DVRLINK_VERSION_REVISION << "\n";
      return 0;
    }
    if (arg == "--onvif-no-digest") {
      onvif_options.http_digest = false;
      continue;
    }
    if (i + 1 >= argc) return UsageError("missing value after " + arg);
    std::string value = argv[++i];
    if (auto port = ports.find(arg); port != ports.end()) {
      std::optional<uint16_t> parsed = ParsePort(value);
      if (!parsed) return UsageError("bad port '" + value + "' for " + arg);
      *port->second = *parsed;
      given[arg] = true;
    } else if (arg == "--bind") {
      options.bind_address = value;
    } else if (arg == "--cameras") {
      if (value.empty() || value.size() > 3 || value.find_first_not_of("0123456789") != std::string::npos) {
        return UsageError("bad number of cameras '" + value + "'");
      }
      options.cameras = std::stoi(value);
    } else if (arg == "--time-zone") {
      options.time_zone = value;
    } else if (arg == "--onvif") {
      std::optional<uint16_t> parsed = ParsePort(value);
      if (!parsed) return UsageError("bad port '" + value + "' for " + arg);
      onvif_options.port = *parsed;
      onvif = onvif_options;
    } else if (arg == "--onvif-replay") {
      if (value.rfind("rtsp://", 0) != 0) return UsageError("--onvif-replay needs an rtsp:// URL");
      onvif_options.replay_uri = value;
    } else if (arg == "--onvif-user") {
      onvif_options.user = value;
    } else if (arg == "--onvif-password") {
      onvif_options.password = value;
    } else if (arg == "--onvif-cert" || arg == "--onvif-key") {
      std::ifstream in(value);
      if (!in) return UsageError("cannot read " + value);
      std::ostringstream text;
      text << in.rdbuf();
      (arg == "--onvif-cert" ? onvif_options.tls_cert : onvif_options.tls_key) = text.str();
    } else {
      return UsageError("unknown option " + arg);
    }
  }
  for (const auto& [name, port] : ports) {
    if (!given[name]) return UsageError("missing " + name);
  }
  options.log = [](const std::string& line) {
    std::cerr << "dvrsim: " << line << std::endl;
  };

  if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    std::cerr << "dvrsim: cannot create a pipe: " << std::strerror(errno) << "\n";
    return 1;
  }
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  dvrlink::EventLoop& loop = dvrlink::Loop();
  try {
    dvrlink::sim::DvrSimulator simulator(loop, options);
    std::unique_ptr<dvrlink::sim::OnvifFace> face;
    std::string ports = simulator.PortsLine();
    if (onvif) {
      // The options after --onvif count too.
      onvif_options.bind_address = options.bind_address;
      onvif_options.port = onvif->port;
      onvif_options.log = options.log;
      face = std::make_unique<dvrlink::sim::OnvifFace>(loop, simulator, onvif_options);
      ports += " onvif=" + std::to_string(face->port());
    }
    std::cout << ports << std::endl;  // flushed: starters wait for it
    loop.Watch(g_signal_pipe[0], POLLIN, [&loop](short) {
      std::cerr << "dvrsim: stopping" << std::endl;
      loop.Stop();
    });
    loop.Run();
  } catch (const std::exception& e) {
    std::cerr << "dvrsim: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
