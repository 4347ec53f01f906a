#include "dvrsim/sim_clock.h"

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace dvrlink::sim {
namespace {

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;

}  // namespace

SimClock::SimClock(const std::string& zone, Clock& clock)
    : clock_(&clock),
      utc_at_start_(
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
              .count()),
      mono_at_start_(clock.MonotonicMicros()) {
  const std::string setting = zone.empty() ? ComputerZoneSetting(std::getenv("TZ")) : zone;
  std::string error;
  std::optional<ZoneFile> file = LoadZone(setting, error);
  if (!file) throw std::invalid_argument("unknown time zone '" + setting + "': " + error);
  zone_ = std::move(*file);
  zone_id_ = ZoneNameOf(setting);
  if (zone_id_.empty()) zone_id_ = setting;
}

DateTime SimClock::ZoneNow() const {
  const int64_t utc = (utc_at_start_ + clock_->MonotonicMicros() - mono_at_start_) / 1'000'000;  // after 1970
  return DateTime::FromSerialSeconds(utc + zone_.OffsetAt(utc) + kSerialSecondsAt1970);
}

int64_t SimClock::UtcNow() const {
  return (utc_at_start_ + clock_->MonotonicMicros() - mono_at_start_) / 1'000'000 + offset_seconds_;
}

int64_t SimClock::SetUtc(int64_t utc) {
  int64_t moved = utc - UtcNow();
  offset_seconds_ += moved;
  return moved;
}

DateTime SimClock::Now() const { return ZoneNow().AddSeconds(offset_seconds_); }

int64_t SimClock::SetTo(DateTime time) {
  int64_t moved = DateTime::DiffSeconds(Now(), time);
  offset_seconds_ = DateTime::DiffSeconds(ZoneNow(), time);
  return moved;
}

}  // namespace dvrlink::sim
