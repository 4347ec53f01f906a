#include "service/reconnect_policy.h"

#include <algorithm>

#include "support/debug_log.h"

namespace dvrlink {

ReconnectPolicy::ReconnectPolicy(EventLoop& loop, int32_t base_seconds, std::function<void()> connect)
    : loop_(loop), base_seconds_(base_seconds), next_seconds_(base_seconds), connect_(std::move(connect)), timer_(loop) {
  timer_.SetHandler([this] { Fire(); });
}

void ReconnectPolicy::OnHostEvent(int32_t code) {
  if (base_seconds_ <= 0 || stopped_) return;
  if (code == kCodeConnected) {
    next_seconds_ = base_seconds_;
    timer_.SetEnabled(false);
    return;
  }
  if (code != kCodeConnectError && code != kCodeDisconnected) return;
  if (timer_.Enabled()) return;  // a retry is already on its way
  timer_.SetInterval(next_seconds_ * 1000);
  timer_.SetEnabled(true);
  due_micros_ = loop_.NowMicros() + int64_t{next_seconds_} * 1000000;
  next_seconds_ = std::min(next_seconds_ * 2, base_seconds_ * 10);
}

void ReconnectPolicy::Stop() {
  stopped_ = true;
  timer_.SetEnabled(false);
}

void ReconnectPolicy::Fire() {
  // One retry per failure: the failure of this retry schedules the next.
  timer_.SetEnabled(false);
  if (stopped_) return;
  ++attempts_;
  connect_();
}

}  // namespace dvrlink
