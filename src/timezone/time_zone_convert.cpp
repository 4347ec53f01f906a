// Conversions of DVR times between the DVR's zone, UTC and this computer's
// zone, each zone applying its own daylight-saving rule for the year of the
// date.
#include <string>
#include <vector>

#include "support/runtime_error.h"
#include "timezone/mod_time_zone.h"
#include "timezone/tz_internal.h"
#include "timezone/tz_state.h"

namespace dvrlink {
namespace {

using tz_internal::LogTzError;

const TimeZoneEntry& ZoneAt(const std::vector<TimeZoneEntry>& list, int index, int line) {
  if (index < 0 || static_cast<size_t>(index) >= list.size()) Raise(kErrSubscript, line);
  return list[static_cast<size_t>(index)];
}

// Where a transition rule falls in `year`: a fixed date when the rule names
// a year, else the occurrence of its weekday; plus its time of day.
DateTime TransitionIn(int year, const SystemTime& rule) {
  const DateTime day = rule.wYear != 0 ? DateTime::FromParts(year, rule.wMonth, rule.wDay)
                                       : WeekDayToDate(year, rule.wMonth, rule.wDayOfWeek, rule.wDay);
  return day.AddSeconds(int64_t{rule.wHour} * 3600 + int64_t{rule.wMinute} * 60 + rule.wSecond);
}

}  // namespace

int16_t FindDVRTimeZoneIndex(const std::string& sTimeZone) {
  int16_t result = -1;
  try {
    const std::vector<TimeZoneEntry>& list = ModTimeZone().aTimeZoneList;
    // An empty table has no bounds to walk.
    if (list.empty()) DVR_RAISE(kErrSubscript);
    for (size_t i = 0; i < list.size(); ++i) {
      if (list[i].Std == sTimeZone) {
        if (i > 32767) DVR_RAISE(kErrOverflow);
        result = static_cast<int16_t>(i);
        break;
      }
    }
  } catch (const std::exception& e) {
    LogTzError("FindDVRTimeZoneIndex", e);
  }
  return result;
}

void ConvertToLocalTimeZone(DateTime& dt) {
  try {
    ModTimeZoneState& s = ModTimeZone();
    // A DVR whose zone is unknown is taken to be in this computer's zone.
    if (s.indexToTimeZone < 0) s.indexToTimeZone = s.indexLocalMachineTimeZone;
    const DateTime utc = LocalDateToUTC(dt, ZoneAt(s.aTimeZoneList, s.indexToTimeZone, __LINE__));
    dt = UTCToLocalDate(utc, ZoneAt(s.aTimeZoneList, s.indexLocalMachineTimeZone, __LINE__));
  } catch (const std::exception& e) {
    LogTzError("ConvertToLocalTimeZone", e);
  }
}

DateTime LocalDateToUTC(DateTime dt, const TimeZoneEntry& zone) {
  DateTime result;
  try {
    const int64_t bias = IsDayLight(dt, zone) ? int64_t{zone.Bias} + zone.DaylightBias : zone.Bias;
    result = dt.AddMinutes(bias);
  } catch (const std::exception& e) {
    LogTzError("LocalDateToUTC", e);
  }
  return result;
}

DateTime UTCToLocalDate(DateTime dt, const TimeZoneEntry& zone) {
  DateTime result;
  try {
    const DateTime candidate = dt.AddMinutes(-(int64_t{zone.Bias} + zone.DaylightBias));
    result = IsDayLight(candidate, zone) ? candidate : dt.AddMinutes(-int64_t{zone.Bias});
  } catch (const std::exception& e) {
    LogTzError("UTCToLocalDate", e);
  }
  return result;
}

bool IsDayLight(DateTime dt, const TimeZoneEntry& zone) {
  bool result = false;
  try {
    const int year = dt.Year();
    const DateTime daylight_start = TransitionIn(year, zone.DaylightDate);
    const DateTime standard_start = TransitionIn(year, zone.StandardDate);
    if (daylight_start == standard_start) {
      result = false;  // no daylight-saving time
    } else if (daylight_start < standard_start) {
      result = daylight_start < dt && dt < standard_start;  // northern rule
    } else {
      result = !(standard_start <= dt && dt <= daylight_start);  // southern rule
    }
  } catch (const std::exception& e) {
    LogTzError("IsDayLight", e);
  }
  return result;
}

DateTime WeekDayToDate(int year, int month, int dayOfWeek, int occurrence) {
  DateTime result;
  try {
    int count = 0;
    for (int d = 1; d <= 31; ++d) {
      const DateTime t = DateTime::FromParts(year, month, d);
      if (t.Month() > month) break;
      if (t.DayOfWeek() == dayOfWeek) {
        ++count;
        result = t;
        if (count == occurrence) break;
      }
    }
  } catch (const std::exception& e) {
    LogTzError("WeekDayToDate", e);
  }
  return result;
}

}  // namespace dvrlink
