// The registries the table is read from: the one built from the system's
// zone database (checked against the C library) and .reg export files.
#include <gtest/gtest.h>
#include <time.h>
#include <unicode/strenum.h>
#include <unicode/timezone.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/datetime.h"
#include "support/runtime_error.h"
#include "timezone/mod_time_zone.h"
#include "timezone/registry.h"
#include "timezone/tz_state.h"
#include "timezone/tzi.h"
#include "timezone/zoneinfo.h"
#include "tz_test_support.h"

namespace dvrlink {
namespace {

using testing::WriteFile;
using tz_test::TzTest;

// Built for 2026, the first year the cross-check walks: the same answer whenever it runs.
const DateTime kRulesNear = DateTime::FromParts(2026, 1, 1);
constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;

std::shared_ptr<IRegistry> Build2026(const std::string& system_zone = "America/New_York") {
  return BuildSystemRegistry(system_zone, kRulesNear);
}

// Reads the table from `registry` as the component does.
const std::vector<TimeZoneEntry>& LoadTable(std::shared_ptr<IRegistry> registry) {
  ModTimeZone().registry = std::move(registry);
  EXPECT_TRUE(GetTimeZoneList());
  return ModTimeZone().aTimeZoneList;
}

// Tests here set TZ; it is put back afterwards.
class SystemRegistryTest : public TzTest {
 protected:
  void TearDown() override { tz_ ? ::setenv("TZ", tz_->c_str(), 1) : ::unsetenv("TZ"), ::tzset(); }
  std::optional<std::string> tz_ = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TEST_F(SystemRegistryTest, ComputersZoneIsMappedToTheKeyWithItsRules) {
  const struct {
    std::string system_zone, key_name;
    bool logged;
  } kCases[] = {
      {"America/Indiana/Knox", "Central Standard Time", false},
      {":Europe/Dublin", "GMT Standard Time", false},  // negative daylight time in its file
      {ZoneInfoDir() + "/America/Godthab", "Greenland Standard Time", false},
      // Names ICU's mapping does not know, or gives a key of other rules.
      {"America/Ciudad_Juarez", "Mountain Standard Time", false},
      {"EST5EDT,M3.2.0,M11.1.0", "Eastern Standard Time", false},
      {"Antarctica/Troll", "UTC", true},
      {"Not/A_Zone", "UTC", true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.system_zone);
    FreshState();
    const auto reg = Build2026(c.system_zone);
    const auto info = reg->OpenKey(RegRoot::HKEY_LOCAL_MACHINE, kTimeZoneInformationKey);
    ASSERT_NE(info, nullptr);
    std::string key_name, standard_name;
    ASSERT_TRUE(info->QueryString("TimeZoneKeyName", key_name));
    ASSERT_TRUE(info->QueryString("StandardName", standard_name));
    EXPECT_EQ(key_name, c.key_name);
    EXPECT_EQ(standard_name, c.key_name);
    const std::string line = "\tmodTimeZone, BuildSystemRegistry() the system time zone " + c.system_zone + " ";
    EXPECT_EQ(DebugLog().find(line) != std::string::npos, c.logged) << DebugLog();

    const auto& list = LoadTable(reg);
    EXPECT_EQ(list[static_cast<size_t>(ModTimeZone().indexLocalMachineTimeZone)].Std, c.key_name);
  }
}

// The keys: ICU's mapping asked zone by zone, the names following another zone, the legacy names.
TEST_F(SystemRegistryTest, KeysAreIcusMappingOfEachCanonicalZone) {
  std::map<std::string, std::string> expected = {
      {"Central Asia Standard Time", "Asia/Bishkek"}, {"Mountain Standard Time (Mexico)", "America/Mazatlan"},
      {"Kamchatka Standard Time", "Asia/Kamchatka"}, {"Mid-Atlantic Standard Time", "<-02>2<-01>,M3.5.0,M9.5.0"}};
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::StringEnumeration> ids(
      icu::TimeZone::createTimeZoneIDEnumeration(UCAL_ZONE_TYPE_CANONICAL, nullptr, nullptr, status));
  for (const icu::UnicodeString* id = ids->snext(status); id != nullptr; id = ids->snext(status)) {
    icu::UnicodeString key_name, zone;
    icu::TimeZone::getWindowsID(*id, key_name, status);
    icu::TimeZone::getIDForWindowsID(key_name, nullptr, zone, status);
    std::string key, tz;
    if (key_name.length() > 0 && zone.length() > 0) expected.emplace(key_name.toUTF8String(key), zone.toUTF8String(tz));
  }
  for (const TimeZoneKeySource& key : SystemTimeZoneKeys()) EXPECT_EQ(expected[key.key_name], key.tz) << key.key_name;
  EXPECT_EQ(SystemTimeZoneKeys().size(), expected.size());
}

// Zones that may differ from the C library, in the years given, and why.
struct Allowance {
  std::set<int> years;
  const char* reason;
};
const std::set<int> kBut2026 = {2027, 2028, 2029, 2030};
const std::map<std::string, Allowance> kAllowed = {
    // Rules one annual record cannot express: the table holds them as they
    // fall in the year it is built for.
    {"Greenland Standard Time", {kBut2026, "daylight time starts on the Saturday before the last Sunday of March"}},
    {"West Bank Standard Time", {kBut2026, "changes on the Saturday after the fourth Thursday"}},
    {"Israel Standard Time", {kBut2026, "daylight time starts on the Friday after the fourth Thursday of March"}},
    // Zones whose file changes otherwise than its closing rule before that
    // rule takes over: the table follows the rule (and says so in the log).
    {"Morocco Standard Time", {{2026}, "UTC+01 with UTC+00 for Ramadan until 20 September 2026, then UTC+00"}},
    {"Cuba Standard Time", {{2026, 2027}, "stays on daylight time from March 2026 to November 2027"}},
};

// The reference: the C library's conversion with TZ set to the zone (its
// whole transition list, not only the closing rule).
DateTime LibcLocal(int64_t utc, long* offset = nullptr) {
  const time_t t = static_cast<time_t>(utc);
  struct tm out {};
  localtime_r(&t, &out);
  if (offset != nullptr) *offset = out.tm_gmtoff;
  return DateTime::FromParts(out.tm_year + 1900, out.tm_mon + 1, out.tm_mday, out.tm_hour, out.tm_min, out.tm_sec);
}
int64_t Unix(DateTime t) { return t.SerialSeconds() - kSerialSecondsAt1970; }
long LibcOffset(int64_t utc) {
  long offset = 0;
  LibcLocal(utc, &offset);
  return offset;
}

// Every key of the table built for 2026, every day of 2026 to 2030 at local
// noon and every half hour from 3 h before each change to 3 h after it: UTC
// to local time, and back where not ambiguous, as the C library has it.
TEST_F(SystemRegistryTest, EveryZoneAgreesWithTheCLibraryAtNoonAndAroundEveryChange) {
  const auto& list = LoadTable(Build2026());
  EXPECT_EQ(list.size(), SystemTimeZoneKeys().size());
  struct Mismatch {
    int instants = 0;
    std::string first;
  };
  std::map<std::string, Mismatch> mismatches;  // by zone and year
  int64_t instants = 0;
  for (const TimeZoneKeySource& source : SystemTimeZoneKeys()) {
    const TimeZoneEntry* zone = testing::Find(list, source.key_name);
    ASSERT_NE(zone, nullptr) << source.key_name;
    // The display text's "(UTC+hh:mm)" is the standard offset.
    const int display_offset =
        (zone->Display[4] == '-' ? -1 : 1) *
        (std::atoi(zone->Display.substr(5, 2).c_str()) * 60 + std::atoi(zone->Display.substr(8, 2).c_str()));
    EXPECT_EQ(display_offset, -zone->Bias) << zone->Display;
    ::setenv("TZ", source.tz.c_str(), 1);
    ::tzset();
    // One instant; `before` and `after`: the offsets around its change.
    auto check = [&](int64_t utc, long before, long after) {
      ++instants;
      const DateTime local = LibcLocal(utc);
      const DateTime ours = UTCToLocalDate(DateTime::FromSerialSeconds(utc + kSerialSecondsAt1970), *zone);
      const int64_t change = std::abs(after - before);
      auto stands_for = [&](DateTime t, long offset) { return LibcLocal(Unix(t) - offset) == t; };
      // An ambiguous local time is not checked back to UTC; the skipped hour
      // read in the last standard hour is the conversion's own rule.
      const bool ambiguous = change != 0 && stands_for(local, before) && stands_for(local, after);
      const bool skipped_hour =
          change != 0 && ours == local.AddSeconds(change) && !stands_for(ours, before) && !stands_for(ours, after);
      const DateTime back = LocalDateToUTC(local, *zone);
      if ((ours == local || skipped_hour) && (ambiguous || Unix(back) == utc)) return;
      Mismatch& m = mismatches[zone->Std + " in " + std::to_string(local.Year())];
      if (m.instants++ == 0)
        m.first = local.FormatIso() + " local: ours " + ours.FormatIso() + ", " + back.FormatIso() + " UTC";
    };
    for (DateTime day = DateTime::FromParts(2026, 1, 1); day.Year() <= 2030; day = day.AddSeconds(86400)) {
      const int64_t noon = Unix(day.AddSeconds(12 * 3600));
      const int64_t utc_noon = noon - LibcOffset(noon - LibcOffset(noon));
      const int64_t next_noon = utc_noon + 86400;
      const long before = LibcOffset(utc_noon);
      const long after = LibcOffset(next_noon);
      check(utc_noon, before, before);
      if (before == after) continue;
      // The change: the first second of the new offset.
      int64_t lo = utc_noon;
      int64_t hi = next_noon;
      while (hi - lo > 1) {
        const int64_t mid = lo + (hi - lo) / 2;
        (LibcOffset(mid) == before ? lo : hi) = mid;
      }
      for (int64_t k = -6; k <= 6; ++k) check(hi + k * 1800, before, after);
    }
  }
  std::string unexpected;
  for (const auto& [zone_year, m] : mismatches) {
    const std::string zone = zone_year.substr(0, zone_year.size() - 8);
    const int year = std::stoi(zone_year.substr(zone_year.size() - 4));
    const auto allowance = kAllowed.find(zone);
    const bool allowed = allowance != kAllowed.end() && allowance->second.years.count(year) != 0;
    std::printf("[ cross-check ] %s %s: %d instants differ, first %s%s%s\n", allowed ? "allowed" : "FAILED ",
                zone_year.c_str(), m.instants, m.first.c_str(), allowed ? "; reason: " : "",
                allowed ? allowance->second.reason : "");
    if (!allowed) unexpected += zone_year + "; ";
  }
  std::printf("[ cross-check ] %zu zones, %lld instants against the C library (TZ=zone)\n", list.size(),
              static_cast<long long>(instants));
  EXPECT_EQ(unexpected, "") << "zones disagreeing with the C library";
}

// Two zones as the registry editor exports them from a host machine whose
// zone is Tokyo, with the names and rules the system source gives these zones.
const char* const kTwoZones[] = {
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones]",
    "",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\AUS Eastern Standard Time]",
    "\"Display\"=\"(UTC+10:00) Eastern Australia Time\"",
    "\"Dlt\"=\"AUS Eastern Daylight Time\"",
    "\"MUI_Display\"=\"@tzres.dll,-240\"",
    "\"Std\"=\"AUS Eastern Standard Time\"",
    "\"TZI\"=hex:A8,FD,ff,ff,00,00,00,00,c4,ff,ff,ff,00,00,04,00,00,00,01,00,03,00,00,\\",  // upper case too
    "  00,00,00,00,00,00,00,0a,00,00,00,01,00,02,00,00,00,00,00,00,00",
    "",
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones\\Tokyo Standard Time]",
    "\"Display\"=\"(UTC+09:00) Japan Standard Time\"",
    "\"Dlt\"=\"Tokyo Daylight Time\"",
    "\"Std\"=\"Tokyo Standard Time\"",
    "\"TZI\"=hex:e4,fd,ff,ff,00,00,00,00,c4,ff,ff,ff,00,00,00,00,00,00,00,00,00,00,00,\\",
    "  00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00,00",
    "",
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\TimeZoneInformation]",
    "\"Bias\"=dword:fffffde4",
    "\"StandardName\"=\"@tzres.dll,-632\"",
    "\"TimeZoneKeyName\"=\"Tokyo Standard Time\"",
};

std::string Lines(const std::string& header, const char* const* begin, const char* const* end, const std::string& eol) {
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

TEST_F(RegFileTest, TwoZonesReadAsTheSystemSourceGivesThem) {
  // The same zones from the system's database, for the same host zone.
  const std::vector<TimeZoneEntry> system_table = LoadTable(Build2026("Asia/Tokyo"));

  const std::string v5 = "Windows Registry Editor Version 5.00";
  const auto* end = std::end(kTwoZones);
  const struct {
    const char* name;
    std::string bytes;
  } kForms[] = {
      {"version 5, UTF-16LE, CR LF", Utf16WithBom(Lines(v5, kTwoZones, end, "\r\n"))},
      {"version 5, UTF-8, LF", Lines(v5, kTwoZones, end, "\n")},
      {"version 5, UTF-8 with BOM, CR LF", "\xEF\xBB\xBF" + Lines(v5, kTwoZones, end, "\r\n")},
      {"REGEDIT4, CR LF", Lines("REGEDIT4", kTwoZones, end, "\r\n")},
  };
  for (const auto& form : kForms) {
    SCOPED_TRACE(form.name);
    FreshState();
    const std::string path = Path("zones.reg");
    WriteFile(path, form.bytes);
    ModTimeZone().registry = LoadRegFile(path);
    ASSERT_TRUE(GetTimeZoneList());
    const auto& list = ModTimeZone().aTimeZoneList;
    ASSERT_EQ(list.size(), 2u);
    // Sorted: Tokyo, AUS Eastern; the host's zone is Tokyo.
    EXPECT_EQ(list[1].Std, "AUS Eastern Standard Time");
    EXPECT_EQ(ModTimeZone().indexLocalMachineTimeZone, 0);
    for (const TimeZoneEntry& from_file : list) {
      SCOPED_TRACE(from_file.Std);
      const TimeZoneEntry* from_system = testing::Find(system_table, from_file.Std);
      ASSERT_NE(from_system, nullptr);
      EXPECT_EQ(EncodeTzi(from_file), EncodeTzi(*from_system));
      EXPECT_EQ(from_file.Display, from_system->Display);
      EXPECT_EQ(from_file.Dlt, from_system->Dlt);
      EXPECT_EQ(from_file.MapID, from_system->MapID);
    }
  }
}

// A second read. The system's zones are taken as fixed once built: the
// first table comes back, whatever was done to the table (or to the zones)
// in between. A registry file's keys are read again: a zone deleted in
// between is gone.
TEST_F(RegFileTest, ASecondReadGivesWhatTheSourceHoldsThen) {
  constexpr RegRoot kMachine = RegRoot::HKEY_LOCAL_MACHINE;
  const std::string zones = std::string(kTimeZonesKeyNT) + "\\";
  for (const bool system : {true, false}) {
    SCOPED_TRACE(system ? "the system's zones" : "a registry file");
    FreshState();
    std::shared_ptr<IRegistry> source = Build2026("Asia/Tokyo");
    if (system) {
      ModTimeZone().systemRegistry = source;
    } else {
      WriteFile(Path("zones.reg"), Lines("REGEDIT4", kTwoZones, std::end(kTwoZones), "\r\n"));
      source = ModTimeZone().registry = LoadRegFile(Path("zones.reg"));
    }
    ASSERT_TRUE(GetTimeZoneList());
    std::vector<TimeZoneEntry> first = ModTimeZone().aTimeZoneList;
    const int16_t first_index = ModTimeZone().indexLocalMachineTimeZone;
    ASSERT_GE(first.size(), 2u);
    ModTimeZone().aTimeZoneList.resize(1);
    ModTimeZone().aTimeZoneList[0].Std = "changed";
    ModTimeZone().indexLocalMachineTimeZone = -1;
    const std::string deleted = first[1].Std;
    ASSERT_TRUE(std::static_pointer_cast<MemoryRegistry>(source)->DeleteKey(kMachine, zones + deleted));
    if (!system) first.erase(first.begin() + 1);

    ASSERT_TRUE(GetTimeZoneList());
    const auto& again = ModTimeZone().aTimeZoneList;
    ASSERT_EQ(again.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i) {
      SCOPED_TRACE(first[i].Std);
      EXPECT_EQ(again[i].Std, first[i].Std);
      EXPECT_EQ(again[i].Display, first[i].Display);
      EXPECT_EQ(EncodeTzi(again[i]), EncodeTzi(first[i]));
    }
    EXPECT_EQ(ModTimeZone().indexLocalMachineTimeZone, first_index);
  }
}

// Text typed as hex and a deleted key.
TEST_F(RegFileTest, ReadsTypedHexTextAndDeletedKeys) {
  WriteFile(Path("values.reg"),
            "Windows Registry Editor Version 5.00\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n"
            "\"Expand\"=hex(2):25,00,54,00,45,00,4d,00,50,00,25,00,00,00\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Test\\Removed]\r\n"
            "[-HKEY_LOCAL_MACHINE\\Software\\Test\\Removed]\r\n");
  const auto key = LoadRegFile(Path("values.reg"))->OpenKey(RegRoot::HKEY_LOCAL_MACHINE, "Software\\Test");
  ASSERT_NE(key, nullptr);
  std::string text;
  EXPECT_TRUE(key->QueryString("Expand", text) && text == "%TEMP%") << text;
  EXPECT_FALSE(key->EnumSubKey(0, text)) << "the deleted key is gone";
}

// Keys found below the parent found last, under another root, and after the
// parent is deleted.
TEST(MemoryRegistryTest, FindsEachKeyByAnyPathToItAndNothingOnceDeleted) {
  constexpr RegRoot kMachine = RegRoot::HKEY_LOCAL_MACHINE;
  MemoryRegistry reg;
  reg.SetValue(kMachine, "A\\B\\X", "v", RegValue::Text("x"));
  reg.SetValue(kMachine, "A\\B\\Y", "v", RegValue::Text("y"));
  const RegistryNode* x = reg.FindKey(kMachine, "A\\B\\X");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(reg.FindKey(kMachine, "a\\b\\x"), x);
  EXPECT_EQ(reg.FindKey(kMachine, "A\\B\\\\X"), x);
  EXPECT_EQ(reg.FindKey(RegRoot::HKEY_CURRENT_USER, "A\\B\\X"), nullptr);
  EXPECT_NE(reg.FindKey(kMachine, "A\\B\\Y"), x);
  EXPECT_EQ(reg.FindKey(kMachine, "A\\B\\"), reg.FindKey(kMachine, "A\\B"));
  EXPECT_TRUE(reg.DeleteKey(kMachine, "A\\B"));
  EXPECT_EQ(reg.FindKey(kMachine, "A\\B\\Y"), nullptr);
  reg.SetValue(kMachine, "A\\B\\Y", "v", RegValue::Text("again"));
  EXPECT_NE(reg.FindKey(kMachine, "A\\B\\Y"), nullptr);
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
      {"value before any key", h + "\"a\"=\"b\"\n", 3, "outside any key"},
      {"unterminated text", h + k + "\"a\"=\"b\n", 4, "closing quote"},
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
}

}  // namespace
}  // namespace dvrlink
