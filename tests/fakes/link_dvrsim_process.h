// A dvrsim process for tests against the real simulator: started on free
// ports of loopback, its ports read from its first output line, its control
// port at hand, stopped when the object goes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/dvr_link/link_socket.h"

namespace dvrlink::testing {

class DvrsimProcess {
 public:
  // Starts dvrsim with --... 0 for every port plus extra arguments. Fails
  // the current test (ADD_FAILURE) when it does not start.
  explicit DvrsimProcess(const std::vector<std::string>& extra_args = {});
  ~DvrsimProcess();
  DvrsimProcess(const DvrsimProcess&) = delete;
  DvrsimProcess& operator=(const DvrsimProcess&) = delete;

  bool Started() const { return command_port != 0; }
  // One control command; its reply line ("" when none came within 2 s).
  std::string Control(const std::string& command);
  // The key=value fields of an OK reply (quoted values unquoted).
  static std::map<std::string, std::string> Fields(const std::string& reply);
  std::map<std::string, std::string> Status() { return Fields(Control("status")); }

  // $DVRLINK_BUILD_DIR/apps/dvrsim/dvrsim (or next to the test program).
  static std::string ProgramPath();

  uint16_t command_port = 0;
  uint16_t event_port = 0;
  uint16_t live_port = 0;
  uint16_t control_port = 0;

 private:
  pid_t pid_ = -1;
  link::UniqueFd control_;
  std::string control_buffer_;
};

// A loopback port on which nothing listens (bound once, then released).
uint16_t UnusedPort();

}  // namespace dvrlink::testing
