#include "dvrlink-onvif/zone_time.h"

#include <unicode/unistr.h>

#include <cmath>
#include <ctime>
#include <stdexcept>

namespace dvrlink::onvif {
namespace {

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;

}  // namespace

ZoneTime::ZoneTime(const std::string& name) {
  zone_.reset(name.empty() ? icu::TimeZone::createDefault()
                           : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(name)));
  icu::UnicodeString id;
  zone_->getID(id);
  if (id == icu::UnicodeString(UCAL_UNKNOWN_ZONE_ID)) throw std::invalid_argument("unknown time zone '" + name + "'");
  id.toUTF8String(id_);
}

ZoneTime::~ZoneTime() = default;

DateTime ZoneTime::Local(int64_t utc) const {
  int32_t raw = 0;
  int32_t dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone_->getOffset(static_cast<UDate>(utc) * 1000.0, false, raw, dst, status);
  if (U_FAILURE(status)) raw = dst = 0;
  return DateTime::FromSerialSeconds(utc + (raw + dst) / 1000 + kSerialSecondsAt1970);
}

int64_t ZoneTime::Utc(DateTime local) const {
  const int64_t wall = local.SerialSeconds() - kSerialSecondsAt1970;
  int32_t raw = 0;
  int32_t dst = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone_->getOffset(static_cast<UDate>(wall) * 1000.0, true, raw, dst, status);
  if (U_FAILURE(status)) raw = dst = 0;
  return wall - (raw + dst) / 1000;
}

int64_t UtcNow() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace dvrlink::onvif
