// The simulated DVR's clock: the present time in the DVR's own time zone
// (through ICU), moved by the time syncs it receives. It runs on the message
// loop's monotonic clock from the moment of its creation, so a simulator on
// the manual clock keeps virtual time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <unicode/timezone.h>

#include "platform/clock.h"
#include "support/datetime.h"

namespace dvrlink::sim {

class SimClock {
 public:
  // zone: an IANA zone name; empty for the system's zone. Raises
  // std::invalid_argument for a name ICU does not know.
  SimClock(const std::string& zone, Clock& clock);
  ~SimClock();
  SimClock(const SimClock&) = delete;
  SimClock& operator=(const SimClock&) = delete;

  // The DVR's present local time, whole seconds.
  DateTime Now() const;
  // Sets the clock to time; returns how many seconds it moved.
  int64_t SetTo(DateTime time);
  const std::string& ZoneId() const { return zone_id_; }

 private:
  // The zone's wall-clock time now, before any time sync.
  DateTime ZoneNow() const;

  std::unique_ptr<icu::TimeZone> zone_;
  std::string zone_id_;
  Clock* clock_;  // not owned; the loop's clock, which outlives this one
  // UTC in ms, and the monotonic time, at creation.
  double utc_at_start_;
  int64_t mono_at_start_;
  int64_t offset_seconds_ = 0;
};

}  // namespace dvrlink::sim
