// The registries the table is read from: the one built from the system's
// time-zone data through ICU, and .reg export files.
#include <gtest/gtest.h>
#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/datetime.h"
#include "support/runtime_error.h"
#include "timezone/mod_time_zone.h"
#include "timezone/registry.h"
#include "timezone/tz_state.h"
#include "timezone/tzi.h"
#include "tz_test_support.h"

namespace dvrlink {
namespace {

using testing::WriteFile;
using tz_test::TzTest;

// The rules of the table are those near the start of 2026, the year the
// cross-check walks, so the test gives the same answer whenever it runs.
const DateTime kRulesNear = DateTime::FromParts(2026, 1, 1);
constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;

std::shared_ptr<IRegistry> Icu2026(const std::string& system_zone = "America/New_York") {
  return BuildIcuRegistry(system_zone, kRulesNear);
}

// Reads the table from `registry` as the component does.
const std::vector<TimeZoneEntry>& LoadTable(std::shared_ptr<IRegistry> registry) {
  ModTimeZone().registry = std::move(registry);
  EXPECT_TRUE(GetTimeZoneList());
  return ModTimeZone().aTimeZoneList;
}

class IcuRegistryTest : public TzTest {};

// Names and offsets; the rules themselves are checked by the cross-check
// below and, byte for byte, by the .reg test; the sorting by SortListTest.
TEST_F(IcuRegistryTest, ZonesCarryTheirNamesAndOffsets) {
  const struct {
    const char *std_name, *display, *dlt;
    int32_t bias, daylight_bias;
  } kCases[] = {
      {"W. Europe Standard Time", "(UTC+01:00) Central European Time", "W. Europe Daylight Time", -60, -60},
      {"Newfoundland Standard Time", "(UTC-03:30) Newfoundland Time", "Newfoundland Daylight Time", 210, -60},
      {"Lord Howe Standard Time", "(UTC+10:30) Lord Howe Time", "Lord Howe Daylight Time", -630, -30},
      {"Nepal Standard Time", "(UTC+05:45) Nepal Time", "Nepal Daylight Time", -345, 0},
      {"UTC", "(UTC+00:00) GMT", "UTC", 0, 0},
      {"UTC-11", "(UTC-11:00) GMT-11:00", "UTC-11", 660, 0},
  };
  const auto& list = LoadTable(Icu2026());
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.std_name);
    const TimeZoneEntry* e = tz_test::Find(list, c.std_name);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->Display, c.display);
    EXPECT_EQ(e->Dlt, c.dlt);
    EXPECT_EQ(e->MapID, "");
    EXPECT_EQ(e->Bias, c.bias);
    EXPECT_EQ(e->DaylightBias, c.daylight_bias);
  }
}

TEST_F(IcuRegistryTest, ComputersZoneIsInjectedAndMappedToItsKeyName) {
  const struct {
    const char *system_zone, *key_name;
    bool logged;
  } kCases[] = {
      {"Europe/Amsterdam", "W. Europe Standard Time", false},
      {"Asia/Kolkata", "India Standard Time", false},
      {"America/Indiana/Knox", "Central Standard Time", false},
      {"Etc/UTC", "UTC", false},
      {"Antarctica/Troll", "UTC", true},
      {"Not/A_Zone", "UTC", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.system_zone);
    FreshState();
    const auto reg = Icu2026(c.system_zone);
    const auto info = reg->OpenKey(RegRoot::HKEY_LOCAL_MACHINE, kTimeZoneInformationKey);
    ASSERT_NE(info, nullptr);
    std::string key_name, standard_name;
    ASSERT_TRUE(info->QueryString("TimeZoneKeyName", key_name));
    ASSERT_TRUE(info->QueryString("StandardName", standard_name));
    EXPECT_EQ(key_name, c.key_name);
    EXPECT_EQ(standard_name, c.key_name);
    const std::string line = std::string("\tmodTimeZone, BuildIcuRegistry() the system time zone ") +
                             c.system_zone + " has no entry in the time-zone table";
    EXPECT_EQ(DebugLog().find(line) != std::string::npos, c.logged) << DebugLog();

    const auto& list = LoadTable(reg);
    EXPECT_EQ(list[static_cast<size_t>(ModTimeZone().indexLocalMachineTimeZone)].Std, c.key_name);
  }
}

TEST_F(IcuRegistryTest, WithoutARegistryTheSystemsZonesAreBuiltOnce) {
  ASSERT_EQ(ModTimeZone().registry, nullptr);
  ASSERT_TRUE(GetTimeZoneList());
  EXPECT_GE(ModTimeZone().aTimeZoneList.size(), 100u);
  const auto built = ModTimeZone().systemRegistry;
  ASSERT_NE(built, nullptr);
  ASSERT_TRUE(GetTimeZoneList());
  EXPECT_EQ(ModTimeZone().systemRegistry, built);
  EXPECT_EQ(ModTimeZone().registry, nullptr);
}

// Zones whose rule cannot be written once for every year: the table holds
// the rule as it falls in the year it was built for (2026 here), so other
// years may differ by a week or by the whole pattern.
const std::map<std::string, std::string> kNotOneAnnualRule = {
    {"Morocco Standard Time",
     "daylight time is suspended for Ramadan, whose dates move with the lunar calendar"},
    {"Greenland Standard Time",
     "changes at 01:00 UTC on the last Sunday, that is 22:00 or 23:00 local on the Saturday "
     "before, which is not always the last Saturday"},
    {"West Bank Standard Time", "changes on the Saturday on or before the 30th"},
    {"Israel Standard Time", "daylight time starts on the Friday on or after March 23"},
    {"Fiji Standard Time", "standard time starts on the Sunday on or after January 12"},
    {"Pacific SA Standard Time",
     "changes at local midnight starting the Sunday on or after the 2nd, which is the first "
     "Sunday unless the month begins on a Sunday"},
};

DateTime FromUDate(UDate millis) {
  return DateTime::FromSerialSeconds(static_cast<int64_t>(millis / 1000) + kSerialSecondsAt1970);
}

// Every zone of the table built for 2026, every day at local noon: our
// conversion to UTC and back against ICU's conversion of the same wall time.
// In 2026 every zone must agree; in the following years every zone but those
// named above.
TEST_F(IcuRegistryTest, EveryZoneAgreesWithIcuAtNoonEveryDay) {
  constexpr int kReferenceYear = 2026;
  constexpr int kLastYear = 2030;
  const auto& list = LoadTable(Icu2026());
  struct Mismatch {
    int days = 0;
    std::string first;
  };
  std::map<std::string, Mismatch> mismatches;  // by zone and year
  ASSERT_GE(list.size(), 100u);
  for (const TimeZoneEntry& zone : list) {
    // The display text's "(UTC+hh:mm)" is the standard offset.
    const int display_offset = (zone.Display[4] == '-' ? -1 : 1) *
                               (std::atoi(zone.Display.substr(5, 2).c_str()) * 60 +
                                std::atoi(zone.Display.substr(8, 2).c_str()));
    EXPECT_EQ(display_offset, -zone.Bias) << zone.Display;
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString iana;
    icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(zone.Std), nullptr, iana, status);
    ASSERT_TRUE(U_SUCCESS(status)) << zone.Std;
    icu::GregorianCalendar calendar(icu::TimeZone::createTimeZone(iana), status);
    ASSERT_TRUE(U_SUCCESS(status)) << zone.Std;
    for (DateTime noon = DateTime::FromParts(kReferenceYear, 1, 1, 12); noon.Year() <= kLastYear;
         noon = noon.AddSeconds(86400)) {
      calendar.clear();
      calendar.set(noon.Year(), noon.Month() - 1, noon.Day(), 12, 0, 0);
      const DateTime icu_utc = FromUDate(calendar.getTime(status));
      ASSERT_TRUE(U_SUCCESS(status));
      const DateTime our_utc = LocalDateToUTC(noon, zone);
      const DateTime back = UTCToLocalDate(icu_utc, zone);
      if (our_utc == icu_utc && back == noon) continue;
      Mismatch& m = mismatches[zone.Std + " in " + std::to_string(noon.Year())];
      if (m.days++ == 0) {
        m.first = noon.FormatIso() + ": ICU " + icu_utc.FormatIso() + " UTC, ours " +
                  our_utc.FormatIso() + " UTC, back " + back.FormatIso();
      }
    }
  }

  std::string unexpected;
  for (const auto& [zone_year, m] : mismatches) {
    const std::string zone = zone_year.substr(0, zone_year.size() - 8);
    const bool reference_year = zone_year.substr(zone_year.size() - 4) == std::to_string(kReferenceYear);
    const bool allowed = !reference_year && kNotOneAnnualRule.count(zone) != 0;
    std::printf("[ cross-check ] %s %s: %d days differ, first %s%s%s\n", allowed ? "skipped" : "FAILED ",
                zone_year.c_str(), m.days, m.first.c_str(), allowed ? "; reason: " : "",
                allowed ? kNotOneAnnualRule.at(zone).c_str() : "");
    if (!allowed) unexpected += zone_year + "; ";
  }
  EXPECT_EQ(unexpected, "") << "zones disagreeing with ICU";
}

// Three zones as the registry editor exports them from a host machine whose
// zone is Tokyo, with the names and rules the ICU source gives these zones.
const char* const kThreeZones[] = {
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones]",
    "",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\AUS Eastern Standard Time]",
    "\"Display\"=\"(UTC+10:00) Eastern Australia Time\"",
    "\"Dlt\"=\"AUS Eastern Daylight Time\"",
    "\"MUI_Display\"=\"@tzres.dll,-240\"",
    "\"Std\"=\"AUS Eastern Standard Time\"",
    "\"TZI\"=hex:a8,fd,ff,ff,00,00,00,00,c4,ff,ff,ff,00,00,04,00,00,00,01,00,03,00,00,\\",
    "  00,00,00,00,00,00,00,0a,00,00,00,01,00,02,00,00,00,00,00,00,00",
    "",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\AUS Eastern Standard Time\\Dynamic DST]",
    "\"FirstEntry\"=dword:000007d0",
    "\"2008\"=hex:a8,fd,ff,ff,00,00,00,00,c4,ff,ff,ff,00,00,04,00,00,00,01,00,03,00,\\",
    "  00,00,00,00,00,00,00,00,0a,00,00,00,01,00,02,00,00,00,00,00,00,00",
    "",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\Eastern Standard Time]",
    "\"Display\"=\"(UTC-05:00) Eastern Time\"",
    "\"Dlt\"=\"Eastern Daylight Time\"",
    "\"Std\"=\"Eastern Standard Time\"",
    "\"MapID\"=\"\"",
    "\"TZI\"=hex:2c,01,00,00,00,00,00,00,c4,ff,ff,ff,00,00,0b,00,00,00,01,00,02,00,00,\\",
    "  00,00,00,00,00,00,00,03,00,00,00,02,00,02,00,00,00,00,00,00,00",
    "",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\Tokyo Standard Time]",
    "\"Display\"=\"(UTC+09:00) Japan Standard Time\"",
    "\"Dlt\"=\"Tokyo Daylight Time\"",
    "\"Std\"=\"Tokyo Standard Time\"",
    "\"TZI\"=hex:e4,fd,ff,ff,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,\\",
    "  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00",
    "",
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation]",
    "\"Bias\"=dword:fffffde4",
    "\"StandardName\"=\"@tzres.dll,-632\"",
    "\"TimeZoneKeyName\"=\"Tokyo Standard Time\"",
    "\"DynamicDaylightTimeDisabled\"=dword:00000000",
};

std::string Lines(const std::string& header, const char* const* begin, const char* const* end,
                  const std::string& eol) {
  std::string text = header + eol + eol;
  for (const char* const* line = begin; line != end; ++line) text += std::string(*line) + eol;
  return text;
}

// ASCII text as UTF-16LE with its byte-order mark.
std::string Utf16WithBom(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) {
    out.push_back(c);
    out.push_back('\0');
  }
  return out;
}

class RegFileTest : public TzTest {};

TEST_F(RegFileTest, ThreeZonesReadAsTheIcuSourceGivesThem) {
  // The same zones from the ICU source, for the same host zone.
  const std::vector<TimeZoneEntry> icu_table = LoadTable(Icu2026("Asia/Tokyo"));

  const std::string v5 = "Windows Registry Editor Version 5.00";
  const auto* end = std::end(kThreeZones);
  const struct {
    const char* name;
    std::string bytes;
  } kForms[] = {
      {"version 5, UTF-16LE, CR LF", Utf16WithBom(Lines(v5, kThreeZones, end, "\r\n"))},
      {"version 5, UTF-8, LF", Lines(v5, kThreeZones, end, "\n")},
      {"version 5, UTF-8 with BOM, CR LF", "\xEF\xBB\xBF" + Lines(v5, kThreeZones, end, "\r\n")},
      {"REGEDIT4, CR LF", Lines("REGEDIT4", kThreeZones, end, "\r\n")},
  };
  for (const auto& form : kForms) {
    SCOPED_TRACE(form.name);
    FreshState();
    const std::string path = Path("zones.reg");
    WriteFile(path, form.bytes);
    ModTimeZone().registry = LoadRegFile(path);
    ASSERT_TRUE(GetTimeZoneList());
    const auto& list = ModTimeZone().aTimeZoneList;
    ASSERT_EQ(list.size(), 3u);
    // Sorted: Eastern, Tokyo, AUS Eastern; the host's zone is Tokyo.
    EXPECT_EQ(list[0].Std, "Eastern Standard Time");
    EXPECT_EQ(list[2].Std, "AUS Eastern Standard Time");
    EXPECT_EQ(ModTimeZone().indexLocalMachineTimeZone, 1);
    for (const TimeZoneEntry& from_file : list) {
      SCOPED_TRACE(from_file.Std);
      const TimeZoneEntry* from_icu = tz_test::Find(icu_table, from_file.Std);
      ASSERT_NE(from_icu, nullptr);
      EXPECT_EQ(EncodeTzi(from_file), EncodeTzi(*from_icu));
      EXPECT_EQ(from_file.Display, from_icu->Display);
      EXPECT_EQ(from_file.Dlt, from_icu->Dlt);
      EXPECT_EQ(from_file.MapID, from_icu->MapID);
    }
  }
}

// What the three-zone export does not show: escapes, typed hex text,
// deletions, the default value, and REGEDIT4 text in Latin-1.
TEST_F(RegFileTest, ReadsTheRestOfTheFormat) {
  WriteFile(Path("values.reg"),
                 "Windows Registry Editor Version 5.00\r\n\r\n"
                 "; a comment line\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n"
                 "@=\"default value\"\r\n"
                 "\"Quoted\"=\"C:\\\\Program Files\\\\\\\"Dvr\\\" [x]=y\"\r\n"
                 "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\r\n"
                 "\"Gone\"=\"soon\"\r\n"
                 "\"Gone\"=-\r\n"
                 "[HKEY_LOCAL_MACHINE\\Software\\Test\\Removed]\r\n"
                 "[-HKEY_LOCAL_MACHINE\\Software\\Test\\Removed]\r\n");
  const auto key = LoadRegFile(Path("values.reg"))->OpenKey(RegRoot::HKEY_LOCAL_MACHINE, "Software\\Test");
  ASSERT_NE(key, nullptr);
  std::string text;
  EXPECT_TRUE(key->QueryString("", text) && text == "default value") << text;
  EXPECT_TRUE(key->QueryString("Quoted", text) && text == "C:\\Program Files\\\"Dvr\" [x]=y") << text;
  EXPECT_TRUE(key->QueryString("Expand", text) && text == "%TEMP%") << text;
  EXPECT_FALSE(key->QueryString("Gone", text));
  EXPECT_FALSE(key->EnumSubKey(0, text)) << "the deleted key is gone";

  WriteFile(Path("latin1.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z\xFCrich]\r\n\"N\"=\"Z\xFCrich\"\r\n");
  const auto latin1 = LoadRegFile(Path("latin1.reg"))->OpenKey(RegRoot::HKEY_LOCAL_MACHINE, "z\xC3\xBCrich");
  ASSERT_NE(latin1, nullptr);
  EXPECT_TRUE(latin1->QueryString("n", text) && text == "Z\xC3\xBCrich") << text;
}

TEST_F(RegFileTest, MalformedFilesAreRejectedNamingFileAndLine) {
  const std::string h = "Windows Registry Editor Version 5.00\n\n";
  const std::string k = "[HKEY_LOCAL_MACHINE\\Software\\Test]\n";
  const struct {
    const char* name;
    std::string text;
    int line;
    const char* says;
  } kCases[] = {
      {"empty file", "", 1, "not a registry export"},
      {"big-endian UTF-16", "\xFE\xFF", 1, "big-endian"},
      {"value before any key", h + "\"a\"=\"b\"\n", 3, "outside any key"},
      {"unknown root", h + "[HKEY_NOWHERE\\Software]\n", 3, "unknown root key"},
      {"key without ]", h + "[HKEY_LOCAL_MACHINE\\Software\n", 3, "closing"},
      {"stray text", h + k + "Display=x\n", 4, "unexpected text"},
      {"unterminated text", h + k + "\"a\"=\"b\n", 4, "closing quote"},
      {"unknown escape", h + k + "\"a\"=\"C:\\temp\"\n", 4, "unknown escape"},
      {"long dword", h + k + "\"a\"=dword:123456789\n", 4, "1 to 8 hex digits"},
      {"bad byte on a continuation", h + k + "\"a\"=hex:01,\\\n  0x2\n\"b\"=\"c\"\n", 4, "bad hex byte"},
      {"bad value type", h + k + "\"a\"=hex(z):00\n", 4, "bad value type"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path("bad.reg");
    WriteFile(path, c.text);
    try {
      LoadRegFile(path);
      ADD_FAILURE() << "no error";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), kErrInvalidCall);
      const std::string where = path + ", line " + std::to_string(c.line) + ": ";
      EXPECT_EQ(e.Description().rfind(where, 0), 0u) << e.Description();
      EXPECT_NE(e.Description().find(c.says), std::string::npos) << e.Description();
    }
  }

  try {
    LoadRegFile(Path("missing.reg"));
    ADD_FAILURE() << "no error for a missing file";
  } catch (const RuntimeError& e) {
    EXPECT_NE(e.Description().find(Path("missing.reg")), std::string::npos);
  }
}

}  // namespace
}  // namespace dvrlink
