#include "platform/platform_state.h"

#include <unistd.h>

namespace dvrlink {

PlatformState::PlatformState()
    : loop(std::make_unique<EventLoop>(std::make_unique<SystemClock>())),
      version_major(DVRLINK_VERSION_MAJOR),
      version_minor(DVRLINK_VERSION_MINOR),
      version_revision(DVRLINK_VERSION_REVISION) {}

ManualClock& UseManualClock(DateTime start_local) {
  auto clock = std::make_unique<ManualClock>(start_local);
  ManualClock& ref = *clock;
  Platform().loop = std::make_unique<EventLoop>(std::move(clock));
  return ref;
}

std::string ComputerName() {
  const std::string& override_name = Platform().computer_name_override;
  if (!override_name.empty()) return override_name;
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return std::string();
  return std::string(buffer);
}

}  // namespace dvrlink
