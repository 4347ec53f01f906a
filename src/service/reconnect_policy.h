// The host's reconnect policy for one instance (reconnect_seconds): after a
// connection error (10320) or a disconnect (10321) the service, playing the
// host, calls the instance's Connect again after the delay; while the DVR
// keeps failing each new delay is twice the last, up to ten times the first.
// A connect (10322) brings the delay back to the first and cancels a
// pending retry.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/event_loop.h"

namespace dvrlink {

class ReconnectPolicy {
 public:
  static constexpr int32_t kCodeConnectError = 10320;
  static constexpr int32_t kCodeDisconnected = 10321;
  static constexpr int32_t kCodeConnected = 10322;

  // base_seconds 0 switches the policy off. `connect` runs on the loop when
  // a retry falls due.
  ReconnectPolicy(EventLoop& loop, int32_t base_seconds, std::function<void()> connect);
  ReconnectPolicy(const ReconnectPolicy&) = delete;
  ReconnectPolicy& operator=(const ReconnectPolicy&) = delete;

  // A host event of the instance.
  void OnHostEvent(int32_t code);
  // No more retries (shut-down).
  void Stop();

  bool Pending() const { return timer_.Enabled(); }
  // The delay the next failure will wait, in seconds.
  int32_t NextDelaySeconds() const { return next_seconds_; }
  // Connect calls made so far.
  int64_t Attempts() const { return attempts_; }
  // Monotonic time (the loop's clock) of the pending retry; meaningful while
  // Pending().
  int64_t DueMicros() const { return due_micros_; }

 private:
  void Fire();

  EventLoop& loop_;
  int32_t base_seconds_;
  int32_t next_seconds_;
  int64_t attempts_ = 0;
  int64_t due_micros_ = 0;
  bool stopped_ = false;
  std::function<void()> connect_;
  Timer timer_;
};

}  // namespace dvrlink
