// The system's time-zone database: the TZif files under the zoneinfo folder
// (RFC 8536) and the POSIX TZ rules their last line (and the TZ variable)
// hold, such as "EST5EDT,M3.2.0,M11.1.0". The time-zone table takes each
// zone's record from the rule; the simulator's clock reads the whole file.
// Nothing here raises: a missing or malformed file or rule is reported by an
// empty result and an error text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/datetime.h"
#include "timezone/time_zone_entry.h"

namespace dvrlink {

// When a POSIX rule changes between standard and daylight time: "Mm.w.d"
// (weekday d, 0 = Sunday, of week w, 5 = the last, in month m) or "Jn" (day
// n of 1..365, February 29 never counted), at `time` seconds after that
// day's midnight of the wall clock in force before the change (negative, or
// a day or more, moves it to another day). The zero-based day count "n" of
// POSIX, which zone files never use, is not read.
struct PosixChange {
  bool julian = false;
  int month = 0;
  int week = 0;
  int weekday = 0;
  int day = 0;  // julian
  int32_t time = 7200;
};

// A POSIX TZ rule. Offsets are seconds east of UTC (the text writes them
// west: "EST5" is -18000 here).
struct PosixRule {
  int32_t std_offset = 0;
  bool has_dst = false;
  int32_t dst_offset = 0;
  PosixChange dst_start;
  PosixChange dst_end;
};

// The rule a text holds, the whole text; nothing when it is not one. A
// daylight name without dates takes the US dates (M3.2.0,M11.1.0), as the C
// library does.
std::optional<PosixRule> ParsePosixRule(std::string_view text);

// The local date-time at which `change` falls in `year`, on the wall clock
// in force before it.
DateTime ChangeIn(const PosixChange& change, int year);

// The offset from UTC (seconds east) that `rule` gives at the UTC time
// (Unix seconds).
int32_t PosixOffsetAt(const PosixRule& rule, int64_t utc);

// One zone file: its transitions and the rule that follows the last one.
struct ZoneFile {
  std::vector<int64_t> transitions;  // Unix seconds, ascending
  std::vector<int32_t> offsets;      // seconds east of UTC from each transition on
  int32_t first_offset = 0;          // before the first transition
  std::optional<PosixRule> footer;   // after the last transition; none in version 1 files

  // The offset from UTC (seconds east) at the UTC time (Unix seconds).
  int32_t OffsetAt(int64_t utc) const;
};

// The last time (Unix seconds) in [from, until) at which the file's own
// transitions give another offset than its closing rule would; nothing when
// they agree there, or when the file has no closing rule.
std::optional<int64_t> LastDepartureFromFooter(const ZoneFile& zone, int64_t from, int64_t until);

// Reads TZif bytes (versions 1 to 4); nothing, with `error` saying why, when
// they are not a TZif file or end too early.
std::optional<ZoneFile> ParseZoneFile(std::string_view bytes, std::string& error);

// The zoneinfo folder: $TZDIR when set, else /usr/share/zoneinfo.
std::string ZoneInfoDir();

// A zone as the TZ variable names it: a zone name under the zoneinfo folder
// (a leading ":" is dropped), an absolute file path, or a POSIX rule (which
// becomes a file of no transitions). Empty is UTC. Nothing, with `error`,
// for anything else.
std::optional<ZoneFile> LoadZone(const std::string& setting, std::string& error);

// The zone name a setting or file path stands for: the part after
// ".../zoneinfo/" (and after "posix/" or "right/"), the setting itself when
// it names a file under the zoneinfo folder, "UTC" for an empty setting;
// empty when the setting is a rule or a file outside the zoneinfo folder.
std::string ZoneNameOf(const std::string& setting);

// The computer's zone setting: the TZ variable when it is set (tz_env not
// null), else the zone file /etc/localtime (localtime_path) is: the target
// of the link when it is one, else the file itself.
std::string ComputerZoneSetting(const char* tz_env, const std::string& localtime_path = "/etc/localtime");

// Fills Bias, StandardBias, DaylightBias, StandardDate and DaylightDate of
// `entry` from the rule, as the registry stores them: StandardBias 0,
// DaylightBias -60 and both months 0 without daylight time; a zone whose
// daylight offset is below its standard one (negative daylight time) with
// the lower offset as its standard time. A change at 24:00 is written as
// 23:59:59.999 of its day. A change that moves to another day (a time below
// 0 or above 24:00) holds in no one form every year: it is written as it
// falls in reference_year.
void FillTziRules(const PosixRule& rule, int reference_year, TimeZoneEntry& entry);

}  // namespace dvrlink
