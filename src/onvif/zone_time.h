// Wall-clock times of one time zone (the system's zone files, as the
// service's time-zone table and dvrsim's clock read them) from and to UTC: the
// device's zone turns the UtcTime of its notifications into the 14-digit
// local times of the DVR link; the computer's zone turns the local time the
// service sends with a time sync into UTC for the device.
#pragma once

#include <cstdint>
#include <string>

#include "support/datetime.h"
#include "timezone/zoneinfo.h"

namespace dvrlink::onvif {

class ZoneTime {
 public:
  // name: a zone as TZ names it (an IANA name, a zone file, a POSIX rule);
  // empty for the system's zone. Raises std::invalid_argument for a zone
  // that cannot be read.
  explicit ZoneTime(const std::string& name);
  ZoneTime(const ZoneTime&) = delete;
  ZoneTime& operator=(const ZoneTime&) = delete;

  const std::string& id() const { return id_; }
  // The zone's wall-clock time at a UTC instant (seconds since 1970).
  DateTime Local(int64_t utc) const;
  // The UTC instant of a wall-clock time of the zone; a time that occurs
  // twice (the hour the clocks go back) is taken at its first occurrence.
  int64_t Utc(DateTime local) const;

 private:
  ZoneFile zone_;
  std::string id_;
};

// Seconds since 1970 of the system clock, now.
int64_t UtcNow();

}  // namespace dvrlink::onvif
