// Reading .reg export files as the registry source.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/runtime_error.h"
#include "timezone/mod_time_zone.h"
#include "timezone/registry.h"
#include "timezone/tz_state.h"
#include "timezone/tzi.h"
#include "tz_test_support.h"

namespace dvrlink {
namespace {

using tz_test::TzTest;
using tz_test::WriteWholeFile;

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
  ModTimeZone().registry = BuildIcuRegistry("Asia/Tokyo", DateTime::FromParts(2026, 1, 1));
  ASSERT_TRUE(GetTimeZoneList());
  const std::vector<TimeZoneEntry> icu_table = ModTimeZone().aTimeZoneList;

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
    WriteWholeFile(path, form.bytes);
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
      const TimeZoneEntry* from_icu = nullptr;
      for (const TimeZoneEntry& e : icu_table) {
        if (e.Std == from_file.Std) from_icu = &e;
      }
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
  WriteWholeFile(Path("values.reg"),
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

  WriteWholeFile(Path("latin1.reg"), "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Z\xFCrich]\r\n\"N\"=\"Z\xFCrich\"\r\n");
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
    WriteWholeFile(path, c.text);
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
