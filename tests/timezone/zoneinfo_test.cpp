// The system's zone files and POSIX TZ rules: reading them, the offsets they
// give, and the registry records made from them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/datetime.h"
#include "timezone/zoneinfo.h"
#include "tz_test_support.h"

namespace dvrlink {
namespace {

using tz_test::Rule;
using tz_test::TzTest;

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;

int64_t Unix(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return DateTime::FromParts(y, mo, d, h, mi, s).SerialSeconds() - kSerialSecondsAt1970;
}

SystemTime At(SystemTime t, int minute, int second = 0, int millis = 0) {
  t.wMinute = static_cast<int16_t>(minute);
  t.wSecond = static_cast<int16_t>(second);
  t.wMilliseconds = static_cast<int16_t>(millis);
  return t;
}

bool Same(const SystemTime& a, const SystemTime& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDayOfWeek == b.wDayOfWeek && a.wDay == b.wDay &&
         a.wHour == b.wHour && a.wMinute == b.wMinute && a.wSecond == b.wSecond &&
         a.wMilliseconds == b.wMilliseconds;
}

class ZoneInfoTest : public TzTest {};

// Rules as zone files end with them, made into records for 2026.
TEST_F(ZoneInfoTest, RulesBecomeRegistryRecords) {
  const struct {
    const char* text;
    int32_t bias, daylight_bias;
    SystemTime standard, daylight;
    bool every_year;
  } kCases[] = {
      {"EST5EDT,M3.2.0,M11.1.0", 300, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2), true},
      {"EST5EDT", 300, -60, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2), true},
      {"CET-1CEST,M3.5.0,M10.5.0/3", -60, -60, Rule(10, 0, 5, 3), Rule(3, 0, 5, 2), true},
      // Negative daylight time: winter is written as standard time.
      {"IST-1GMT0,M10.5.0,M3.5.0/1", 0, -60, Rule(10, 0, 5, 2), Rule(3, 0, 5, 1), true},
      {"EET-2EEST,M4.5.5/0,M10.5.4/24", -120, -60, At(Rule(10, 4, 5, 23), 59, 59, 999), Rule(4, 5, 5, 0), true},
      {"<+1030>-10:30<+11>-11,M10.1.0,M4.1.0", -630, -30, Rule(4, 0, 1, 2), Rule(10, 0, 1, 2), true},
      {"<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45", -765, -60, At(Rule(4, 0, 1, 3), 45), At(Rule(9, 0, 5, 2), 45),
       true},
      {"<+0545>-5:45", -345, -60, SystemTime(), SystemTime(), true},
      {"ABC3DEF,J60/1,J300", 180, -60, Rule(10, 0, 27, 2, 2026), Rule(3, 0, 1, 1, 2026), true},
      // Changes that move to another day, and a day count of leap years,
      // are written as they fall in 2026.
      {"<-02>2<-01>,M3.5.0/-1,M10.5.0/0", 120, -60, Rule(10, 0, 5, 0), Rule(3, 6, 5, 23), false},
      {"IST-2IDT,M3.4.4/26,M10.5.0", -120, -60, Rule(10, 0, 5, 2), Rule(3, 5, 5, 2), false},
      {"ABC3DEF,59,300", 180, -60, Rule(10, 0, 28, 2, 2026), Rule(3, 0, 1, 2, 2026), false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    const std::optional<PosixRule> rule = ParsePosixRule(c.text);
    ASSERT_TRUE(rule.has_value());
    TimeZoneEntry e;
    e.StandardBias = 99;
    EXPECT_EQ(FillTziRules(*rule, 2026, e), c.every_year);
    EXPECT_EQ(e.Bias, c.bias);
    EXPECT_EQ(e.StandardBias, 0);
    EXPECT_EQ(e.DaylightBias, c.daylight_bias);
    EXPECT_TRUE(Same(e.StandardDate, c.standard)) << e.StandardDate.wMonth << " " << e.StandardDate.wDay;
    EXPECT_TRUE(Same(e.DaylightDate, c.daylight)) << e.DaylightDate.wMonth << " " << e.DaylightDate.wDay;
  }
  for (const char* bad : {"", "EST", "ES5", "<EST5", "EST25", "EST5 ", "EST5EDT,", "EST5EDT,M3.2.0",
                          "EST5EDT,M13.1.0,M11.1.0", "EST5EDT,M3.0.0,M11.1.0", "EST5EDT,M3.2.0,M11.1.0/168",
                          "EST5EDT,J0,J300", "EST5EDT4:60"}) {
    EXPECT_FALSE(ParsePosixRule(bad).has_value()) << bad;
  }
}

// A version 2 TZif file: transitions (time, type), local time types (UTC
// offsets) and the footer line; version '\0' writes the 32-bit part alone.
std::string Tzif(const std::vector<std::pair<int64_t, uint8_t>>& transitions, const std::vector<int32_t>& types,
                 const std::string& footer, char version = '2') {
  std::string s;
  auto put32 = [&s](uint64_t v) {
    for (int i = 3; i >= 0; --i) s.push_back(static_cast<char>(v >> (8 * i)));
  };
  auto block = [&](bool wide) {
    s += "TZif";
    s.push_back(version);
    s.append(15, '\0');
    for (uint64_t count : {size_t{0}, size_t{0}, size_t{0}, transitions.size(), types.size(), size_t{4}}) put32(count);
    for (const auto& t : transitions) {
      if (wide) put32(static_cast<uint64_t>(t.first) >> 32);
      put32(static_cast<uint64_t>(t.first));
    }
    for (const auto& t : transitions) s.push_back(static_cast<char>(t.second));
    for (int32_t offset : types) {
      put32(static_cast<uint32_t>(offset));
      s.append(2, '\0');
    }
    s.append("ABC", 4);
  };
  block(false);
  if (version != '\0') {
    block(true);
    s += "\n" + footer + "\n";
  }
  return s;
}

TEST_F(ZoneInfoTest, ZoneFilesGiveOffsetsFromTheirTransitionsThenTheirRule) {
  // Standard time, a summer of 2020 at +2, then the US rule from 2021.
  const std::string bytes =
      Tzif({{Unix(2020, 4, 1), 1}, {Unix(2020, 10, 1), 0}, {Unix(2021, 1, 1), 0}}, {-18000, 7200},
           "EST5EDT,M3.2.0,M11.1.0");
  std::string error;
  const std::optional<ZoneFile> zone = ParseZoneFile(bytes, error);
  ASSERT_TRUE(zone.has_value()) << error;
  const struct {
    int64_t utc;
    int32_t offset;
  } kCases[] = {
      {Unix(2019, 6, 1), -18000},          // before the first transition
      {Unix(2020, 3, 31, 23, 59, 59), -18000},
      {Unix(2020, 4, 1), 7200},
      {Unix(2020, 10, 1), -18000},
      {Unix(2026, 3, 8, 6, 59, 59), -18000},  // the rule: daylight time from 07:00 UTC
      {Unix(2026, 3, 8, 7), -14400},
      {Unix(2026, 11, 1, 5, 59, 59), -14400},
      {Unix(2026, 11, 1, 6), -18000},
  };
  for (const auto& c : kCases) EXPECT_EQ(zone->OffsetAt(c.utc), c.offset) << c.utc;
  // A southern rule is daylight time across the year's end.
  const PosixRule sydney = *ParsePosixRule("AEST-10AEDT,M10.1.0,M4.1.0/3");
  EXPECT_EQ(PosixOffsetAt(sydney, Unix(2026, 1, 15)), 39600);
  EXPECT_EQ(PosixOffsetAt(sydney, Unix(2026, 7, 15)), 36000);

  // The file's own changes part from its rule until the rule's end of
  // daylight time in 2020.
  EXPECT_EQ(LastDepartureFromFooter(*zone, Unix(2019, 1, 1), Unix(2030, 1, 1)), Unix(2020, 11, 1, 5, 59, 59));
  EXPECT_EQ(LastDepartureFromFooter(*zone, Unix(2019, 1, 1), Unix(2020, 6, 1)), Unix(2020, 5, 31, 23, 59, 59));
  EXPECT_EQ(LastDepartureFromFooter(*zone, Unix(2020, 11, 2), Unix(2030, 1, 1)), std::nullopt);

  const ZoneFile version1 = *ParseZoneFile(Tzif({{Unix(2020, 4, 1), 1}}, {3600, 7200}, "", '\0'), error);
  EXPECT_FALSE(version1.footer.has_value());
  EXPECT_EQ(version1.OffsetAt(Unix(2030, 1, 1)), 7200);
  EXPECT_FALSE(ParseZoneFile(Tzif({}, {3600}, ""), error)->footer.has_value()) << "an empty footer";
}

TEST_F(ZoneInfoTest, BrokenZoneFilesAreRejectedSayingWhy) {
  const std::string good = Tzif({{Unix(2020, 4, 1), 1}}, {0, 3600}, "UTC0");
  const struct {
    const char* name;
    std::string bytes;
    const char* says;
  } kCases[] = {
      {"no TZif magic", "TZxf" + good.substr(4), "not a TZif file"},
      {"cut in the first part", good.substr(0, 50), "second header"},
      {"cut in the second part", good.substr(0, good.size() - 12), "ends too early"},
      {"no local time type", Tzif({}, {}, "UTC0"), "no local time types"},
      {"a type it does not have", Tzif({{0, 2}}, {0, 3600}, "UTC0"), "local time type it does not have"},
      {"no footer line", good.substr(0, good.size() - 1), "no footer line"},
      {"a footer that is no rule", Tzif({}, {0}, "nonsense"), "'nonsense' is not a TZ rule"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_FALSE(ParseZoneFile(c.bytes, error).has_value());
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
  }
}

// Zones as TZ names them, and the computer's zone from TZ or /etc/localtime.
TEST_F(ZoneInfoTest, ZoneSettingsNameFilesRulesOrUtc) {
  std::string error;
  EXPECT_EQ(LoadZone("America/New_York", error)->OffsetAt(Unix(2026, 7, 1)), -14400);
  EXPECT_EQ(LoadZone(":" + ZoneInfoDir() + "/Asia/Kolkata", error)->OffsetAt(Unix(2026, 7, 1)), 19800);
  EXPECT_EQ(LoadZone("<+0330>-3:30", error)->OffsetAt(Unix(2026, 7, 1)), 12600);
  EXPECT_EQ(LoadZone("", error)->OffsetAt(Unix(2026, 7, 1)), 0);
  EXPECT_FALSE(LoadZone("Not/A_Zone", error).has_value());
  EXPECT_NE(error.find("'Not/A_Zone' is neither a zone under"), std::string::npos) << error;
  EXPECT_FALSE(LoadZone("/nowhere/zone", error).has_value());
  EXPECT_NE(error.find("no zone file /nowhere/zone"), std::string::npos) << error;

  const struct {
    std::string setting, name;
  } kNames[] = {
      {":Europe/Dublin", "Europe/Dublin"},
      {"/usr/share/zoneinfo/posix/Asia/Tokyo", "Asia/Tokyo"},
      {"/etc/zoneinfo/right/Asia/Tokyo", "Asia/Tokyo"},
      {"/tmp/my-zone", ""},
      {"EST5EDT,M3.2.0,M11.1.0", ""},
      {"", "UTC"},
  };
  for (const auto& c : kNames) EXPECT_EQ(ZoneNameOf(c.setting), c.name) << c.setting;

  EXPECT_EQ(ComputerZoneSetting("Europe/Paris", Path("none")), "Europe/Paris");
  EXPECT_EQ(ComputerZoneSetting("", Path("none")), "UTC");
  const std::string absolute = Path("localtime-absolute");
  const std::string relative = Path("localtime-relative");
  const std::string copy = Path("localtime-copy");
  ASSERT_EQ(::symlink("/usr/share/zoneinfo/Europe/Berlin", absolute.c_str()), 0);
  ASSERT_EQ(::symlink("../zoneinfo/Asia/Tokyo", relative.c_str()), 0);
  testing::WriteFile(copy, "");
  EXPECT_EQ(ComputerZoneSetting(nullptr, absolute), "/usr/share/zoneinfo/Europe/Berlin");
  EXPECT_EQ(ComputerZoneSetting(nullptr, relative), dir_->path().substr(0, dir_->path().rfind('/')) +
                                                         "/zoneinfo/Asia/Tokyo");
  EXPECT_EQ(ComputerZoneSetting(nullptr, copy), copy);
}

}  // namespace
}  // namespace dvrlink
