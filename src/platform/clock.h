// Clocks of the message loop: a monotonic time for timers and waits, and the
// wall-clock local time for event times, log stamps and the DVR clock. Tests
// use the manual clock, which moves both together and only when told to.
#pragma once

#include <cstdint>

#include "support/datetime.h"

namespace dvrlink {

class Clock {
 public:
  virtual ~Clock() = default;
  // Microseconds on a clock that never jumps (not at midnight, not when the
  // system time is set).
  virtual int64_t MonotonicMicros() = 0;
  // The present local date and time, whole seconds.
  virtual DateTime LocalNow() = 0;
  // True for the manual clock: the loop then moves time itself instead of
  // sleeping when it has nothing to do.
  virtual bool IsManual() const { return false; }
};

// The system's clocks (CLOCK_MONOTONIC and the local time of the TZ setting).
class SystemClock : public Clock {
 public:
  int64_t MonotonicMicros() override;
  // The zone's conversion runs once per second of the system time: every
  // log line asks for it.
  DateTime LocalNow() override;

 private:
  int64_t second_ = -1;  // the system time last converted
  DateTime local_;
};

// A clock that stands still until Advance moves it. Local time starts at the
// given date and moves with the monotonic time, to the microsecond.
class ManualClock : public Clock {
 public:
  explicit ManualClock(DateTime start_local = DateTime::FromParts(2026, 12, 5, 10, 0, 0));
  int64_t MonotonicMicros() override { return mono_; }
  DateTime LocalNow() override;
  bool IsManual() const override { return true; }

  void Advance(int64_t micros);
  void AdvanceMillis(int64_t millis) { Advance(millis * 1000); }
  // Sets the local time without moving the monotonic time (a clock change).
  void SetLocal(DateTime local);

 private:
  int64_t mono_ = 1'000'000;
  DateTime local_base_;
  int64_t local_base_mono_ = 1'000'000;
};

}  // namespace dvrlink
