// Shared pieces of the time-zone tests: a fixture whose logs go to a fresh
// temporary folder, and builders for table entries.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "platform/platform_state.h"
#include "support/debug_log.h"
#include "timezone/time_zone_entry.h"

namespace dvrlink::tz_test {

// Every test runs with Platform().program_folder set to its own temporary
// folder, so the logs it writes land there and can be read back.
class TzTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform().program_folder = dir_->path(); }
  // Starts over within one test: a fresh module state and log folder (for
  // table-driven cases that each need their own).
  void FreshState() {
    ResetModuleState();
    dir_.emplace();
    SetUp();
  }
  std::string Path(const std::string& name) const { return dir_->File(name); }
  std::string DebugLog() const { return testing::ReadFile(DebugLogPath()); }

  std::optional<testing::TempDir> dir_{std::in_place};
};

// A rule of the TZI record: year 0 is recurring (day = occurrence 1..4, 5 =
// last, of dayOfWeek in month); any other year marks a fixed date.
inline SystemTime Rule(int month, int dayOfWeek, int day, int hour, int year = 0) {
  SystemTime t;
  t.wYear = static_cast<int16_t>(year);
  t.wMonth = static_cast<int16_t>(month);
  t.wDayOfWeek = static_cast<int16_t>(dayOfWeek);
  t.wDay = static_cast<int16_t>(day);
  t.wHour = static_cast<int16_t>(hour);
  return t;
}

inline TimeZoneEntry Zone(const std::string& std_name, int32_t bias, int32_t daylight_bias = 0,
                          SystemTime standard = {}, SystemTime daylight = {}, const std::string& display = "") {
  TimeZoneEntry e;
  e.Std = std_name;
  e.Bias = bias;
  e.DaylightBias = daylight_bias;
  e.StandardDate = standard;
  e.DaylightDate = daylight;
  e.Display = display;
  return e;
}

// Zones of the conversion tests, with their real-world rules.
inline TimeZoneEntry Eastern() {
  return Zone("Eastern Standard Time", 300, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2), "(UTC-05:00) Eastern Time");
}
inline TimeZoneEntry AusEastern() {
  return Zone("AUS Eastern Standard Time", -600, -60, Rule(4, 0, 1, 3), Rule(10, 0, 1, 2),
              "(UTC+10:00) Eastern Australia Time");
}
inline TimeZoneEntry Tokyo() { return Zone("Tokyo Standard Time", -540, 0, {}, {}, "(UTC+09:00) Japan Standard Time"); }

// The entry of the table named std_name, or nullptr.
inline const TimeZoneEntry* Find(const std::vector<TimeZoneEntry>& list, const std::string& std_name) {
  for (const TimeZoneEntry& e : list) {
    if (e.Std == std_name) return &e;
  }
  return nullptr;
}

}  // namespace dvrlink::tz_test
