#include "fakes/onvif_bridge_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <sstream>

#include "fakes/test_support.h"

namespace dvrlink::testing {

OnvifBridgeProcess::OnvifBridgeProcess(const std::string& folder_path, const DvrsimProcess& sim,
                                       const std::string& device_zone, const std::string& computer_zone,
                                       const std::string& device_lines, const std::string& scheme)
    : folder(folder_path) {
  ::mkdir(folder.c_str(), 0755);
  const char* address = sim.address.c_str();
  const uint16_t ports[3] = {svc::FreeListenPort(address), svc::FreeListenPort(address), svc::FreeListenPort(address)};
  WriteFile(folder + "/bridge.ini",
            "[device]\nurl = " + scheme + "://" + sim.address + ":" + std::to_string(sim.onvif_port) +
                "/onvif/device_service\nuser = admin\n" +
                (device_lines.find("password") == std::string::npos ? "password = admin\n" : "") +
                "time_zone = " + device_zone +
                "\n" +
                (device_lines.find("pull_seconds") == std::string::npos ? "pull_seconds = 5\n" : "") + device_lines + "[link]\nbind = " + sim.address +
                "\ncommand_port = " + std::to_string(ports[0]) + "\nevent_port = " + std::to_string(ports[1]) +
                "\nlive_port = " + std::to_string(ports[2]) + "\ncomputer_time_zone = " + computer_zone + "\n");
  process_ = std::make_unique<svc::ChildProcess>(svc::ProgramPath("dvrlink-onvif"),
                                                 std::vector<std::string>{"--config", folder + "/bridge.ini"},
                                                 folder + "/out", folder + "/err");
  if (!svc::WaitUntil([&] { return ReadFile(folder + "/out").rfind("ports ", 0) == 0; })) {
    ADD_FAILURE() << "dvrlink-onvif did not start: " << Log();
    return;
  }
  command_port = ports[0];
  event_port = ports[1];
  live_port = ports[2];
}

OnvifBridgeProcess::~OnvifBridgeProcess() { Stop(); }

std::string OnvifBridgeProcess::Log() const { return ReadFile(folder + "/err"); }

bool OnvifBridgeProcess::WaitForLog(const std::string& text, int timeout_ms) const {
  return svc::WaitUntil([&] { return Log().find(text) != std::string::npos; }, timeout_ms);
}

bool OnvifBridgeProcess::Ready() const {
  bool alarms = false;
  bool system = false;
  std::istringstream in(Log());
  for (std::string line; std::getline(in, line);) {
    if (line.find("device unavailable") != std::string::npos) alarms = system = false;
    if (line.find(" acknowledged") == std::string::npos) continue;
    alarms = alarms || line.find("alarms session") != std::string::npos;
    system = system || line.find("system session") != std::string::npos;
  }
  return alarms && system;
}

int OnvifBridgeProcess::Stop() {
  if (!process_) return -1;
  process_->Signal(SIGTERM);
  std::optional<int> status = process_->Wait(5000);
  process_.reset();
  return status.value_or(-1);
}

}  // namespace dvrlink::testing
