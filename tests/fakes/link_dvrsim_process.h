// A dvrsim process on free ports of a loopback address, with its control
// port at hand; stopped when the object goes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "link/link_socket.h"

namespace dvrlink::testing {

class DvrsimProcess {
 public:
  // Every port 0, then extra_args (later ones win); ADD_FAILURE if it does not start.
  explicit DvrsimProcess(const std::vector<std::string>& extra_args = {},
                         const std::string& bind_address = "127.0.0.1");
  ~DvrsimProcess();
  DvrsimProcess(const DvrsimProcess&) = delete;
  DvrsimProcess& operator=(const DvrsimProcess&) = delete;

  bool Started() const { return command_port != 0; }
  // One control command; its reply line ("" when none came within 2 s).
  std::string Control(const std::string& command);
  // The key=value fields of an OK reply (quoted values unquoted).
  static std::map<std::string, std::string> Fields(const std::string& reply);
  std::map<std::string, std::string> Status() { return Fields(Control("status")); }
  // The fields of a reply that must be OK (else the test fails).
  std::map<std::string, std::string> ControlFields(const std::string& command);

  std::string address;
  uint16_t command_port = 0;
  uint16_t event_port = 0;
  uint16_t live_port = 0;
  uint16_t control_port = 0;
  uint16_t onvif_port = 0;  // with --onvif

 private:
  TempDir dir_;
  std::unique_ptr<svc::ChildProcess> process_;
  link::UniqueFd control_;
  std::string control_buffer_;
};

}  // namespace dvrlink::testing
