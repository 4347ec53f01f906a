#include "platform/net/accept_pause.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>

namespace dvrlink::net {
namespace {

UniqueFd OpenSpare() { return UniqueFd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

}  // namespace

bool IsOutOfDescriptors(int error_number) {
  return error_number == EMFILE || error_number == ENFILE || error_number == ENOBUFS || error_number == ENOMEM;
}

AcceptPause::AcceptPause(EventLoop& loop, EventLoop::WatchId listener)
    : loop_(&loop), listener_(listener), retry_(loop), spare_(OpenSpare()) {
  retry_.SetInterval(kRetryMs);
  retry_.SetHandler([this] { Resume(); });
}

AcceptPause::~AcceptPause() = default;

bool AcceptPause::Failed(int error_number, const std::function<void()>& log) {
  if (!IsOutOfDescriptors(error_number)) return false;
  loop_->SetWatchEvents(listener_, 0);
  resting_ = true;
  retry_.SetEnabled(true);
  if (!failing_) {
    failing_ = true;
    spare_.Reset();
    log();
    spare_ = OpenSpare();
  }
  return true;
}

bool AcceptPause::Succeeded() {
  if (!failing_) return false;
  failing_ = false;
  if (!spare_.valid()) spare_ = OpenSpare();
  return true;
}

void AcceptPause::Resume() {
  retry_.SetEnabled(false);
  if (!resting_) return;
  resting_ = false;
  loop_->SetWatchEvents(listener_, POLLIN);
}

}  // namespace dvrlink::net
