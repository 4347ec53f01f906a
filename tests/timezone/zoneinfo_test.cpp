// Zone files and POSIX TZ rules beyond what the cross-check with the C
// library shows: the exact records, and files that part from their rule.
#include "timezone/zoneinfo.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "timezone/tzi.h"
#include "tz_test_support.h"

namespace dvrlink {
namespace {

using testing::Rule;

int64_t Unix(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  return DateTime::FromParts(y, mo, d, h, mi, s).SerialSeconds() - 25569LL * 86400;
}

class ZoneInfoTest : public tz_test::TzTest {};

// A record the cross-check cannot tell apart by its conversions (a change at
// 24:00), and the US dates a rule without dates gets.
TEST_F(ZoneInfoTest, RulesBecomeRegistryRecords) {
  SystemTime last_thursday_2400 = Rule(10, 4, 5, 23);
  last_thursday_2400.wMinute = last_thursday_2400.wSecond = 59;
  last_thursday_2400.wMilliseconds = 999;
  const struct {
    const char* text;
    int32_t bias;
    SystemTime standard, daylight;
  } kCases[] = {
      {"EST5EDT", 300, Rule(11, 0, 1, 2), Rule(3, 0, 2, 2)},  // the US dates by default
      {"EET-2EEST,M4.5.5/0,M10.5.4/24", -120, last_thursday_2400, Rule(4, 5, 5, 0)},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.text);
    TimeZoneEntry e;
    e.StandardBias = 99;
    FillTziRules(*ParsePosixRule(c.text), 2026, e);
    EXPECT_EQ(EncodeTzi(e), EncodeTzi(testing::Zone("", c.bias, -60, c.standard, c.daylight)));
  }
  for (const char* bad : {"", "EST", "EST5EDT,M3.2.0", "EST5EDT,M13.1.0,M11.1.0", "EST5EDT,M3.2.0,M11.1.0/168"}) {
    EXPECT_FALSE(ParsePosixRule(bad).has_value()) << bad;
  }
}

// A TZif file: transitions (time, type), local time types (UTC offsets) and
// the footer.
std::string Tzif(const std::vector<std::pair<int64_t, uint8_t>>& transitions, const std::vector<int32_t>& types,
                 const std::string& footer) {
  std::string s;
  auto put32 = [&s](uint64_t v) {
    for (int i = 3; i >= 0; --i) s.push_back(static_cast<char>(v >> (8 * i)));
  };
  for (bool wide : {false, true}) {
    s += "TZif2" + std::string(15, '\0');
    for (uint64_t count : {size_t{0}, size_t{0}, size_t{0}, transitions.size(), types.size(), size_t{4}}) put32(count);
    for (const auto& t : transitions) {
      if (wide) put32(static_cast<uint64_t>(t.first) >> 32);
      put32(static_cast<uint64_t>(t.first));
    }
    for (const auto& t : transitions) s.push_back(static_cast<char>(t.second));
    for (int32_t offset : types) put32(static_cast<uint32_t>(offset)), s.append(2, '\0');
    s.append("ABC", 4);
  }
  return s + "\n" + footer + "\n";
}

TEST_F(ZoneInfoTest, ZoneFilesGiveTheirTransitionsThenTheirRule) {
  // Standard time, a summer of 2020 at +2, then the US rule from 2021.
  std::string error;
  const ZoneFile zone = *ParseZoneFile(
      Tzif({{Unix(2020, 4, 1), 1}, {Unix(2020, 10, 1), 0}, {Unix(2021, 1, 1), 0}}, {-18000, 7200}, "EST5EDT"), error);
  const std::pair<int64_t, int32_t> kOffsets[] = {{Unix(2019, 6, 1), -18000},
                                                  {Unix(2020, 4, 1), 7200},
                                                  {Unix(2020, 10, 1), -18000},
                                                  {Unix(2026, 3, 8, 7), -14400},
                                                  {Unix(2026, 11, 1, 5, 59, 59), -14400},
                                                  {Unix(2026, 11, 1, 6), -18000}};
  for (const auto& [utc, offset] : kOffsets) EXPECT_EQ(zone.OffsetAt(utc), offset) << utc;
  // Rules alone: a southern rule's end is standard time.
  const std::tuple<const char*, int64_t, int32_t> kRuleOffsets[] = {
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", Unix(2026, 1, 15), 39600},
      {"AEST-10AEDT,M10.1.0,M4.1.0/3", Unix(2026, 4, 4, 16), 36000}};
  for (const auto& [rule, utc, offset] : kRuleOffsets) EXPECT_EQ(PosixOffsetAt(*ParsePosixRule(rule), utc), offset);
  // Its own changes part from its rule until the rule's end of daylight time.
  EXPECT_EQ(LastDepartureFromFooter(zone, Unix(2019, 1, 1), Unix(2030, 1, 1)), Unix(2020, 11, 1, 5, 59, 59));
  EXPECT_EQ(LastDepartureFromFooter(zone, Unix(2020, 5, 1), Unix(2020, 6, 1)), Unix(2020, 5, 31, 23, 59, 59));
  EXPECT_EQ(LastDepartureFromFooter(zone, Unix(2020, 11, 2), Unix(2030, 1, 1)), std::nullopt);
  EXPECT_FALSE(ParseZoneFile(Tzif({{0, 2}}, {0, 3600}, "UTC0"), error).has_value());
  EXPECT_NE(error.find("local time type it does not have"), std::string::npos) << error;
}

}  // namespace
}  // namespace dvrlink
