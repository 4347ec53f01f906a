// Conversions between a zone's local time, UTC and this computer's zone.
#include <gtest/gtest.h>

#include <string>

#include "support/datetime.h"
#include "timezone/mod_time_zone.h"
#include "timezone/tz_state.h"
#include "tz_test_support.h"

namespace dvrlink {
namespace {

using testing::AusEastern;
using testing::Eastern;
using testing::Rule;
using testing::Tokyo;
using tz_test::TzTest;
using testing::Zone;

DateTime At(int y, int mo, int d, int h, int mi = 0, int s = 0) {
  return DateTime::FromParts(y, mo, d, h, mi, s);
}

// Daylight time from March 22 to September 22, at midnight.
TimeZoneEntry FixedDates() {
  return Zone("Fixed Standard Time", -210, -60, Rule(9, 0, 22, 0, 2000), Rule(3, 0, 22, 0, 2000));
}

// What the cross-check with the C library (system_registry_test.cpp) cannot
// show: local times in the skipped or repeated hour read back to UTC, the
// skipped-hour quirk, the zero date and rules of fixed dates.
TEST(TimeZoneConversionTest, LocalTimeAndUtcAroundEveryTransition) {
  enum Way { kToUtc, kToLocal };
  const struct {
    const char* name;
    TimeZoneEntry zone;
    DateTime local, utc;
    Way way;
  } kCases[] = {
      {"daylight start instant is standard", Eastern(), At(2026, 3, 8, 2), At(2026, 3, 8, 7), kToUtc},
      {"one second after daylight start", Eastern(), At(2026, 3, 8, 2, 0, 1), At(2026, 3, 8, 6, 0, 1), kToUtc},
      {"one second before standard start", Eastern(), At(2026, 11, 1, 1, 59, 59), At(2026, 11, 1, 5, 59, 59), kToUtc},
      // The candidate 02:59:59 lies after the daylight start, so it stands.
      {"last standard second reads as the skipped hour", Eastern(), At(2026, 3, 8, 2, 59, 59),
       At(2026, 3, 8, 6, 59, 59), kToLocal},
      {"southern daylight start instant", AusEastern(), At(2026, 10, 4, 2), At(2026, 10, 3, 16), kToUtc},
      {"southern standard start instant", AusEastern(), At(2026, 4, 5, 3), At(2026, 4, 4, 17), kToUtc},
      // Without a rule both limits are the zero date: equal, so never daylight.
      {"no daylight time at the limits' own instant", Tokyo(), At(1899, 12, 30, 0), At(1899, 12, 29, 15), kToUtc},
      {"fixed date rule: start instant", FixedDates(), At(2026, 3, 22, 0), At(2026, 3, 21, 20, 30), kToUtc},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    if (c.way == kToUtc) { EXPECT_EQ(LocalDateToUTC(c.local, c.zone).FormatIso(), c.utc.FormatIso()); }
    if (c.way == kToLocal) { EXPECT_EQ(UTCToLocalDate(c.utc, c.zone).FormatIso(), c.local.FormatIso()); }
  }
}

class ConvertToLocalTimeZoneTest : public TzTest {
 protected:
  void SetUp() override {
    TzTest::SetUp();
    ModTimeZone().aTimeZoneList = {Eastern(), AusEastern(), Tokyo()};
  }
};

TEST_F(ConvertToLocalTimeZoneTest, ConvertsFromTheDvrZoneToTheComputersZone) {
  const struct {
    const char* name;
    int16_t dvr, local;
    DateTime in, out;
    int16_t dvr_after;
  } kCases[] = {
      {"Eastern DVR, Sydney computer, July", 0, 1, At(2026, 7, 1, 12), At(2026, 7, 2, 2), 0},
      {"Tokyo DVR, Eastern computer", 2, 0, At(2026, 7, 1, 12), At(2026, 6, 30, 23), 2},
      {"same zone", 1, 1, At(2026, 4, 5, 2, 30), At(2026, 4, 5, 2, 30), 1},
      {"-1 takes the computer's zone and keeps it", -1, 0, At(2026, 7, 1, 12), At(2026, 7, 1, 12), 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ModTimeZone().indexToTimeZone = c.dvr;
    ModTimeZone().indexLocalMachineTimeZone = c.local;
    DateTime t = c.in;
    ConvertToLocalTimeZone(t);
    EXPECT_EQ(t.FormatIso(), c.out.FormatIso());
    EXPECT_EQ(ModTimeZone().indexToTimeZone, c.dvr_after);
  }
  EXPECT_EQ(DebugLog(), "");  // no errors along the way
}

TEST_F(ConvertToLocalTimeZoneTest, IndexOutsideTheTableLeavesTheTimeAndLogs) {
  for (const int16_t local : {int16_t{3}, int16_t{-2}}) {
    SCOPED_TRACE(local);
    FreshState();
    ModTimeZone().aTimeZoneList = {Eastern(), AusEastern(), Tokyo()};
    ModTimeZone().indexToTimeZone = -1;  // becomes `local`, then fails
    ModTimeZone().indexLocalMachineTimeZone = local;
    DateTime t = At(2026, 7, 1, 12);
    ConvertToLocalTimeZone(t);
    EXPECT_EQ(t, At(2026, 7, 1, 12));
    EXPECT_EQ(ModTimeZone().indexToTimeZone, local);
    const std::string log = DebugLog();
    EXPECT_NE(log.find("\t??? modTimeZone, ConvertToLocalTimeZone() ??? ERROR, Line: "), std::string::npos) << log;
    EXPECT_NE(log.find(", Subscript out of range\r\n"), std::string::npos) << log;
  }
}

TEST_F(ConvertToLocalTimeZoneTest, FindDvrZoneIsExactAndCaseSensitive) {
  ModTimeZone().aTimeZoneList.push_back(Eastern());  // a second Eastern at index 3
  EXPECT_EQ(FindDVRTimeZoneIndex("AUS Eastern Standard Time"), 1);
  EXPECT_EQ(FindDVRTimeZoneIndex("Eastern Standard Time"), 0);
  EXPECT_EQ(FindDVRTimeZoneIndex("eastern standard time"), -1);
  EXPECT_EQ(DebugLog(), "");

  ModTimeZone().aTimeZoneList.clear();
  EXPECT_EQ(FindDVRTimeZoneIndex("Eastern Standard Time"), -1);
  EXPECT_NE(DebugLog().find("??? modTimeZone, FindDVRTimeZoneIndex() ??? ERROR"), std::string::npos);
}

}  // namespace
}  // namespace dvrlink
