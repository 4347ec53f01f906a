// The simulated DVR's clock: the present time in the DVR's own time zone,
// read from the system's time-zone database (the zone files the service's
// table comes from), moved by the time syncs it receives. It runs on the
// message loop's monotonic clock from the moment of its creation, so a
// simulator on the manual clock keeps virtual time.
#pragma once

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "support/datetime.h"
#include "timezone/zoneinfo.h"

namespace dvrlink::sim {

class SimClock {
 public:
  // zone: a zone as the TZ variable names it (an IANA name, a zone file's
  // path or a POSIX rule); empty for the system's zone (TZ, /etc/localtime).
  // Raises std::invalid_argument naming the zone when it cannot be read.
  SimClock(const std::string& zone, Clock& clock);
  SimClock(const SimClock&) = delete;
  SimClock& operator=(const SimClock&) = delete;

  // The DVR's present local time, whole seconds.
  DateTime Now() const;
  // Sets the clock to time; returns how many seconds it moved.
  int64_t SetTo(DateTime time);
  const std::string& ZoneId() const { return zone_id_; }
  // The DVR clock as seconds since 1970 UTC (moved by the time syncs like
  // the local time), and the same set from a UTC time; returns how many
  // seconds it moved.
  int64_t UtcNow() const;
  int64_t SetUtc(int64_t utc);

 private:
  // The zone's wall-clock time now, before any time sync.
  DateTime ZoneNow() const;

  ZoneFile zone_;
  std::string zone_id_;
  Clock* clock_;  // not owned; the loop's clock, which outlives this one
  // UTC in microseconds since 1970, and the monotonic time, at creation.
  int64_t utc_at_start_;
  int64_t mono_at_start_;
  int64_t offset_seconds_ = 0;
};

}  // namespace dvrlink::sim
