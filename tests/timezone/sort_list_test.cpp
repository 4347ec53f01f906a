// The table read from the registry: sorting for display, locating this
// computer's zone, and a registry without the zone keys.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/support_state.h"
#include "timezone/mod_time_zone.h"
#include "timezone/registry.h"
#include "timezone/tz_state.h"
#include "tz_test_support.h"

namespace dvrlink {
namespace {

using tz_test::TzTest;
using testing::Zone;
using testing::Eastern;
using testing::AusEastern;
using testing::Tokyo;

std::vector<std::string> Displays() {
  std::vector<std::string> out;
  for (const TimeZoneEntry& e : ModTimeZone().aTimeZoneList) out.push_back(e.Display);
  return out;
}

class SortListTest : public TzTest {};

TEST_F(SortListTest, OrdersDisplayTextsWestToEastWithGmtZonesBetween) {
  const struct {
    const char* name;
    std::vector<std::string> input, expected;
  } kCases[] = {
      {"five zones of GMT texts",
       {"(GMT+01:00) Amsterdam", "(GMT-05:00) Eastern Time", "(GMT) Greenwich Mean Time", "(GMT-08:00) Pacific Time",
        "(GMT) Casablanca"},
       {"(GMT-08:00) Pacific Time", "(GMT-05:00) Eastern Time", "(GMT) Casablanca", "(GMT) Greenwich Mean Time",
        "(GMT+01:00) Amsterdam"}},
      {"the same zones as UTC texts, offset zero written +00:00",
       {"(UTC+01:00) Amsterdam", "(UTC-05:00) Eastern Time", "(UTC+00:00) Greenwich Mean Time",
        "(UTC-08:00) Pacific Time", "(UTC+00:00) Casablanca"},
       {"(UTC-08:00) Pacific Time", "(UTC-05:00) Eastern Time", "(UTC+00:00) Casablanca",
        "(UTC+00:00) Greenwich Mean Time", "(UTC+01:00) Amsterdam"}},
      {"western zones from -12:00 and eastern zones up to +14:00",
       {"(UTC+14:00) Line Islands", "(UTC-03:30) Newfoundland", "(UTC-12:00) Dateline", "(UTC+05:45) Nepal",
        "(UTC-01:00) Azores", "(UTC+05:30) India", "(UTC-10:00) Hawaii", "(UTC+12:45) Chatham"},
       {"(UTC-12:00) Dateline", "(UTC-10:00) Hawaii", "(UTC-03:30) Newfoundland", "(UTC-01:00) Azores",
        "(UTC+05:30) India", "(UTC+05:45) Nepal", "(UTC+12:45) Chatham", "(UTC+14:00) Line Islands"}},
      {"equal offsets by name, upper and lower case alike",
       {"(GMT+01:00) Paris", "(GMT-05:00) Lima", "(GMT+01:00) berlin", "(GMT+01:00) Amsterdam",
        "(GMT-05:00) Eastern Time"},
       {"(GMT-05:00) Eastern Time", "(GMT-05:00) Lima", "(GMT+01:00) Amsterdam", "(GMT+01:00) berlin",
        "(GMT+01:00) Paris"}},
      {"(gmt) in lower case counts as a GMT text",
       {"(GMT+02:00) Athens", "(gmt) Reykjavik", "(GMT-01:00) Azores", "(GMT) Dublin"},
       {"(GMT-01:00) Azores", "(GMT) Dublin", "(gmt) Reykjavik", "(GMT+02:00) Athens"}},
      {"a ')' at position 5 that is not (GMT) lands just before the + zones",
       {"(UTC+09:00) Tokyo", "(UTC+01:00) Amsterdam", "(UTC) Coordinated Universal Time", "(UTC-05:00) Eastern Time"},
       {"(UTC-05:00) Eastern Time", "(UTC) Coordinated Universal Time", "(UTC+01:00) Amsterdam", "(UTC+09:00) Tokyo"}},
      {"GMT texts among themselves by name, upper case before lower",
       {"(GMT) lisbon", "(GMT+01:00) Rome", "(GMT) Madeira"}, {"(GMT) Madeira", "(GMT) lisbon", "(GMT+01:00) Rome"}},
      {"equal offsets compare ten letters of the name only",
       {"(UTC+01:00) Amsterdam Zeta", "(UTC+01:00) Amsterdam Alfa"},
       {"(UTC+01:00) Amsterdam Zeta", "(UTC+01:00) Amsterdam Alfa"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    for (int sort = 0; sort < 2; ++sort) {  // the second sort of the same texts takes the order the first found
      ModTimeZone().aTimeZoneList.clear();
      for (const std::string& d : c.input) ModTimeZone().aTimeZoneList.push_back(Zone(d, 0, 0, {}, {}, d));
      EXPECT_TRUE(SortList());
      EXPECT_EQ(Displays(), c.expected);
    }
  }
  // The computer's zone is the first entry of its name in the sorted table.
  ModTimeZone().registry = testing::ZoneRegistry({}, "Twin");
  ModTimeZone().aTimeZoneList = {Zone("Twin", 0, 0, {}, {}, "(UTC+02:00) B"), Zone("X", 0, 0, {}, {}, "(UTC-01:00) X"),
                                 Zone("Twin", 0, 0, {}, {}, "(UTC+01:00) A")};
  EXPECT_TRUE(SortList());
  EXPECT_EQ(ModTimeZone().indexLocalMachineTimeZone, 1);
}

// A registry of three zones and the computer's zone names (empty: none).
std::shared_ptr<MemoryRegistry> ThreeZoneRegistry(const std::string& key_name,
                                                  const std::string& standard_name) {
  auto reg = testing::ZoneRegistry({Eastern(), AusEastern(), Tokyo()}, "");
  for (const auto& [value, name] : {std::pair{"TimeZoneKeyName", key_name}, {"StandardName", standard_name}}) {
    if (!name.empty()) reg->SetValue(RegRoot::HKEY_LOCAL_MACHINE, kTimeZoneInformationKey, value, RegValue::Text(name));
  }
  return reg;
}

TEST_F(SortListTest, LocatesTheComputersZoneByItsExactStandardName) {
  // Sorted, the three zones are: Eastern (0), Tokyo (1), AUS Eastern (2).
  const struct {
    const char* name;
    std::string key_name, standard_name;
    int16_t expected_index;
    std::string logged_zone;
  } kCases[] = {
      {"TimeZoneKeyName, not StandardName", "Tokyo Standard Time", "Eastern Standard Time", 1, "Tokyo Standard Time"},
      {"blanks around the name are trimmed", "  AUS Eastern Standard Time  ", "", 2, "AUS Eastern Standard Time"},
      {"the name ends at its first NUL", std::string("Tokyo Standard Time\0old", 23), "", 1, "Tokyo Standard Time"},
      {"a different case matches nothing: the index stays", "tokyo standard time", "", 7, "tokyo standard time"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    FreshState();
    ModAllConst().lDebugFlags = 2;  // every level into the debug log
    ModAllConst().iLogLevelDefault = 8;
    ModTimeZone().indexLocalMachineTimeZone = 7;
    ModTimeZone().registry = ThreeZoneRegistry(c.key_name, c.standard_name);

    ASSERT_TRUE(GetTimeZoneList());
    ASSERT_EQ(ModTimeZone().aTimeZoneList.size(), 3u);
    EXPECT_EQ(ModTimeZone().aTimeZoneList[1].Std, "Tokyo Standard Time");
    EXPECT_EQ(ModTimeZone().indexLocalMachineTimeZone, c.expected_index);
    const std::string line = "-8  modTimeZone, SortList() , sCurZone=" + c.logged_zone +
                             ", indexLocalMachineTimeZone=" + std::to_string(c.expected_index) + ";\r\n";
    EXPECT_NE(DebugLog().find(line), std::string::npos) << DebugLog();
  }
}

TEST_F(SortListTest, MissingTimeZonesKeyIsLoggedAndLeavesTheTable) {
  // Only the older key exists; the NT family reads the newer one.
  auto reg = std::make_shared<MemoryRegistry>();
  reg->SetValue(RegRoot::HKEY_LOCAL_MACHINE, std::string(kTimeZonesKey9x) + "\\Tokyo Standard Time",
                "Std", RegValue::Text("Tokyo Standard Time"));
  ModTimeZone().registry = reg;
  ModTimeZone().aTimeZoneList = {Eastern()};

  EXPECT_FALSE(GetTimeZoneList());
  ASSERT_EQ(ModTimeZone().aTimeZoneList.size(), 1u);
  EXPECT_EQ(ModTimeZone().aTimeZoneList[0].Std, "Eastern Standard Time");
  EXPECT_NE(DebugLog().find(std::string("\tUnable to locate Time Zones information in Registry under the key: \r\n") +
                            kTimeZonesKeyNT + "\r\n"),
            std::string::npos)
      << DebugLog();
}

}  // namespace
}  // namespace dvrlink
