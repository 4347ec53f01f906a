// A dvrlink-onvif process in front of a dvrsim's ONVIF face (dvrsim's default
// credentials unless device_lines give a password, free link ports below
// 32768), its log read back, killed and reaped when the object goes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fakes/link_dvrsim_process.h"
#include "fakes/svc_test_support.h"

namespace dvrlink::testing {

class OnvifBridgeProcess {
 public:
  // Fails the current test (ADD_FAILURE) when the bridge does not start.
  OnvifBridgeProcess(const std::string& folder, const DvrsimProcess& sim, const std::string& device_zone,
                     const std::string& computer_zone, const std::string& device_lines = "",
                     const std::string& scheme = "http");
  ~OnvifBridgeProcess();
  OnvifBridgeProcess(const OnvifBridgeProcess&) = delete;
  OnvifBridgeProcess& operator=(const OnvifBridgeProcess&) = delete;

  bool Started() const { return command_port != 0; }
  // Everything the bridge logged so far.
  std::string Log() const;
  // Waits until the log holds text (counting from the log's start).
  bool WaitForLog(const std::string& text, int timeout_ms = 5000) const;
  // Both event subscriptions of the service acknowledged since the device
  // last became unavailable.
  bool Ready() const;
  // SIGTERM and the exit status (-1 when it did not end in time).
  int Stop();

  std::string folder;
  uint16_t command_port = 0;
  uint16_t event_port = 0;
  uint16_t live_port = 0;

 private:
  std::unique_ptr<svc::ChildProcess> process_;
};

}  // namespace dvrlink::testing
