// One time zone of the table read from the registry: its rules (the 44-byte
// TZI record) and its names.
#pragma once

#include <cstdint>
#include <string>

namespace dvrlink {

// A transition rule: year 0 = recurring (day = occurrence 1..5 of dayOfWeek
// in month), otherwise a fixed date. Month 0 = no daylight-saving time.
struct SystemTime {
  int16_t wYear = 0;
  int16_t wMonth = 0;
  int16_t wDayOfWeek = 0;  // 0 = Sunday
  int16_t wDay = 0;
  int16_t wHour = 0;
  int16_t wMinute = 0;
  int16_t wSecond = 0;
  int16_t wMilliseconds = 0;
};

struct TimeZoneEntry {
  int32_t Bias = 0;          // minutes: UTC = local time + Bias
  int32_t StandardBias = 0;  // read, not used by the conversions
  int32_t DaylightBias = 0;  // added to Bias during daylight-saving time
  SystemTime StandardDate;   // start of standard time
  SystemTime DaylightDate;   // start of daylight-saving time
  std::string Display;
  std::string Std;           // the zone's identity
  std::string Dlt;
  std::string MapID;
};

}  // namespace dvrlink
