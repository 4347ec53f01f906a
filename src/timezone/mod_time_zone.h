// The time-zone table read from the registry and the conversions of DVR
// times to this computer's zone.
//
// The table (ModTimeZone().aTimeZoneList) holds one entry per zone key of the
// registry, sorted for display: western zones from -12:00, the "(GMT)" zones
// by name, then eastern zones upwards. indexLocalMachineTimeZone is this
// computer's zone, indexToTimeZone the DVR's. A DVR time is converted to this
// computer's time through UTC, each zone applying its own daylight-saving
// rule for the year of the date.
//
// Every procedure catches its own errors and logs them with LogError under
// "modTimeZone, " and its name; its result is then False, empty or -1.
#pragma once

#include <cstdint>
#include <string>

#include "support/datetime.h"
#include "timezone/registry.h"
#include "timezone/time_zone_entry.h"

namespace dvrlink {

// --- the table ------------------------------------------------------------

// Builds, sorts and locates the table (aTimeZoneList,
// indexLocalMachineTimeZone). True on success; False, with a log line, when
// the registry has no time-zone key (the table then stays as it was).
bool GetTimeZoneList();
// True for the NT family; sets blnWindowsMajor6 when the major version is 6.
bool IsNT();
// Fills the table from the subkeys of `key` below the local-machine root.
bool GetTZICollection(const std::string& key);
// Fills the table from the subkeys of `key` below `root`: entry i from
// subkey i. True when the key opened.
bool EnumSubKeys(RegRoot root, const std::string& key);
// Reads one zone's key (below the local-machine root) into `entry`; a key
// that does not open leaves the entry empty.
void GetRegValueLTZI(TimeZoneEntry& entry, const std::string& path);
// A text value below the local-machine root, cut at its first NUL and
// trimmed of blanks; empty when the key or value is missing.
std::string GetRegValueStr(const std::string& subkey, const std::string& valueName);
// The text before its first NUL (the whole text when it has none).
std::string StripNulls(const std::string& text);
// Sorts the table for display and finds indexLocalMachineTimeZone by the
// computer's zone name.
bool SortList();

// --- conversions ----------------------------------------------------------

// The first index whose Std equals sTimeZone exactly (case-sensitive); -1.
int16_t FindDVRTimeZoneIndex(const std::string& sTimeZone);
// dt, a time of zone indexToTimeZone, becomes the same instant in zone
// indexLocalMachineTimeZone. A negative indexToTimeZone is first set to
// indexLocalMachineTimeZone. On failure dt is left unchanged.
void ConvertToLocalTimeZone(DateTime& dt);
// dt, a local time of `zone`, as UTC.
DateTime LocalDateToUTC(DateTime dt, const TimeZoneEntry& zone);
// dt, a UTC time, as a local time of `zone`.
DateTime UTCToLocalDate(DateTime dt, const TimeZoneEntry& zone);
// Whether dt, a local time of `zone`, falls in its daylight-saving period
// (both transition instants count as standard time).
bool IsDayLight(DateTime dt, const TimeZoneEntry& zone);
// The day of a recurring rule: occurrence 1..4 of dayOfWeek (0 = Sunday) in
// month of year, 5 = the last; the zero date for month 0.
DateTime WeekDayToDate(int year, int month, int dayOfWeek, int occurrence);

}  // namespace dvrlink
