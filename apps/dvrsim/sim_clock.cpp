#include "dvrsim/sim_clock.h"

#include <unicode/calendar.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>
#include <stdexcept>

namespace dvrlink::sim {
namespace {

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;

}  // namespace

SimClock::SimClock(const std::string& zone, Clock& clock)
    : clock_(&clock), utc_at_start_(icu::Calendar::getNow()), mono_at_start_(clock.MonotonicMicros()) {
  if (zone.empty()) {
    zone_.reset(icu::TimeZone::createDefault());
  } else {
    zone_.reset(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zone)));
  }
  icu::UnicodeString id;
  zone_->getID(id);
  if (id == icu::UnicodeString(UCAL_UNKNOWN_ZONE_ID)) {
    throw std::invalid_argument("unknown time zone '" + zone + "'");
  }
  id.toUTF8String(zone_id_);
}

SimClock::~SimClock() = default;

DateTime SimClock::ZoneNow() const {
  UDate now = utc_at_start_ + static_cast<double>(clock_->MonotonicMicros() - mono_at_start_) / 1000.0;
  int32_t raw = 0;
  int32_t dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone_->getOffset(now, false, raw, dst, status);
  if (U_FAILURE(status)) raw = dst = 0;
  double local_ms = now + raw + dst;
  return DateTime::FromSerialSeconds(static_cast<int64_t>(std::floor(local_ms / 1000.0)) + kSerialSecondsAt1970);
}

DateTime SimClock::Now() const { return ZoneNow().AddSeconds(offset_seconds_); }

int64_t SimClock::SetTo(DateTime time) {
  int64_t moved = DateTime::DiffSeconds(Now(), time);
  offset_seconds_ = DateTime::DiffSeconds(ZoneNow(), time);
  return moved;
}

}  // namespace dvrlink::sim
