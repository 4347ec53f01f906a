#include "onvif/zone_time.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <stdexcept>

namespace dvrlink::onvif {
namespace {

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;

}  // namespace

ZoneTime::ZoneTime(const std::string& name) {
  // The same zone files as the service's time-zone table and dvrsim's clock.
  const std::string setting = name.empty() ? ComputerZoneSetting(std::getenv("TZ")) : name;
  std::string error;
  std::optional<ZoneFile> file = LoadZone(setting, error);
  if (!file) throw std::invalid_argument("unknown time zone '" + setting + "': " + error);
  zone_ = std::move(*file);
  id_ = ZoneNameOf(setting);
  if (id_.empty()) id_ = setting;
}

DateTime ZoneTime::Local(int64_t utc) const {
  return DateTime::FromSerialSeconds(utc + zone_.OffsetAt(utc) + kSerialSecondsAt1970);
}

int64_t ZoneTime::Utc(DateTime local) const {
  const int64_t wall = local.SerialSeconds() - kSerialSecondsAt1970;
  // The offsets in force a day before and a day after; a time that occurs
  // twice takes the earlier instant, a time the clocks skip the offset
  // before the change.
  const int32_t before = zone_.OffsetAt(wall - 86400);
  const int32_t after = zone_.OffsetAt(wall + 86400);
  const bool before_fits = zone_.OffsetAt(wall - before) == before;
  const bool after_fits = zone_.OffsetAt(wall - after) == after;
  if (before_fits && after_fits) return std::min(wall - before, wall - after);
  if (after_fits) return wall - after;
  return wall - before;
}

int64_t UtcNow() { return static_cast<int64_t>(std::time(nullptr)); }

}  // namespace dvrlink::onvif
