#include "platform/clock.h"

#include <ctime>

namespace dvrlink {

int64_t SystemClock::MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000 + ts.tv_nsec / 1000;
}

DateTime SystemClock::LocalNow() {
  const time_t now = time(nullptr);
  if (now == second_) return local_;
  tm local{};
  localtime_r(&now, &local);
  second_ = now;
  local_ = DateTime::FromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                               local.tm_min, local.tm_sec);
  return local_;
}

ManualClock::ManualClock(DateTime start_local) : local_base_(start_local) {}

DateTime ManualClock::LocalNow() {
  return local_base_.AddSeconds((mono_ - local_base_mono_) / 1'000'000);
}

void ManualClock::Advance(int64_t micros) {
  if (micros > 0) mono_ += micros;
}

void ManualClock::SetLocal(DateTime local) {
  local_base_ = local;
  local_base_mono_ = mono_;
}

}  // namespace dvrlink
