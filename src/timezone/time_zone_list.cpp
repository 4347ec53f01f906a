// The time-zone table: read from the registry, sorted for display, and this
// computer's zone located in it.
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/support_state.h"
#include "timezone/mod_time_zone.h"
#include "timezone/tz_internal.h"
#include "timezone/tz_state.h"
#include "timezone/tzi.h"

namespace dvrlink {

namespace tz_internal {

const IRegistry& ActiveRegistry() {
  ModTimeZoneState& s = ModTimeZone();
  if (s.registry) return *s.registry;
  if (!s.systemRegistry) s.systemRegistry = BuildSystemRegistry();
  return *s.systemRegistry;
}

void LogTzError(const char* procedure, const std::exception& error) {
  const std::string source = std::string("modTimeZone, ") + procedure;
  if (const auto* e = dynamic_cast<const RuntimeError*>(&error)) {
    LogError(source, e->Description(), e->Line());
  } else {
    LogError(source, error.what(), 0);
  }
}

}  // namespace tz_internal

namespace {

using tz_internal::ActiveRegistry;
using tz_internal::LogTzError;

// Size of the buffers the values and subkey names are read into, in
// characters.
constexpr size_t kBufferChars = 2048;

// The first `max_chars` characters (code points) of a UTF-8 text.
std::string CutChars(const std::string& text, size_t max_chars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == max_chars) {
      return text.substr(0, i);
    }
  }
  return text;
}

// A text value read into the fixed buffer and cut at its first NUL; empty
// when the value is missing.
std::string ReadText(const IRegistryKey& key, const char* value_name) {
  std::string text;
  if (!key.QueryString(value_name, text)) return std::string();
  return StripNulls(CutChars(text, kBufferChars));
}

std::string TrimBlanks(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// The parts of an entry's Display text that the sort compares, taken once
// per entry and moved with it. Positions count UTF-16 code units from 1 and
// comparisons are by code unit (ordinal), as in the text's own encoding.
struct SortKeys {
  std::u16string key;      // 6 characters from position 5: the offset
  bool plus = false;       // "+" at position 5
  bool gmt = false;        // begins "(GMT)", regardless of case
  std::u16string name7;    // 10 characters from position 7
  std::u16string name13;   // 10 characters from position 13, upper-cased
};

std::u16string Mid(const icu::UnicodeString& s, int32_t start1, int32_t length) {
  const icu::UnicodeString part = s.tempSubString(start1 - 1, length);
  return std::u16string(part.getBuffer(), static_cast<size_t>(part.length()));
}

// Upper case one code unit at a time (simple case mapping, so the length
// never changes).
std::u16string Upper(std::u16string s) {
  for (char16_t& c : s) c = static_cast<char16_t>(u_toupper(c));
  return s;
}

SortKeys KeysOf(const std::string& display) {
  const icu::UnicodeString d = icu::UnicodeString::fromUTF8(display);
  SortKeys k;
  k.key = Mid(d, 5, 6);
  k.plus = Mid(d, 5, 1) == u"+";
  k.gmt = Upper(Mid(d, 1, 5)) == u"(GMT)";
  k.name7 = Mid(d, 7, 10);
  k.name13 = Upper(Mid(d, 13, 10));
  return k;
}

int16_t ToIndex16(size_t i) {
  if (i > static_cast<size_t>(std::numeric_limits<int16_t>::max())) DVR_RAISE(kErrOverflow);
  return static_cast<int16_t>(i);
}

}  // namespace

bool GetTimeZoneList() {
  bool result = false;
  try {
    const std::string key = IsNT() ? kTimeZonesKeyNT : kTimeZonesKey9x;
    if (GetTZICollection(key)) {
      SortList();
      result = true;
    } else {
      WriteDebugLogAlways("Unable to locate Time Zones information in Registry under the key: \r\n" + key);
    }
  } catch (const std::exception& e) {
    LogTzError("GetTimeZoneList", e);
  }
  return result;
}

bool IsNT() {
  const PlatformState& p = Platform();
  if (p.os_major_version == 6) ModTimeZone().blnWindowsMajor6 = true;
  return p.os_platform_id == 2;
}

bool GetTZICollection(const std::string& key) {
  bool result = false;
  try {
    result = EnumSubKeys(RegRoot::HKEY_LOCAL_MACHINE, key);
  } catch (const std::exception& e) {
    LogTzError("GetTZICollection", e);
  }
  return result;
}

bool EnumSubKeys(RegRoot root, const std::string& key) {
  bool result = false;
  try {
    const std::unique_ptr<IRegistryKey> hKey = ActiveRegistry().OpenKey(root, key);
    if (!hKey) return false;
    result = true;
    std::vector<TimeZoneEntry>& list = ModTimeZone().aTimeZoneList;
    std::string name;
    for (uint32_t i = 0;; ++i) {
      if (!hKey->EnumSubKey(i, name) || Utf8ToUtf16Le(name).size() / 2 >= kBufferChars) break;
      // Grown one entry at a time, keeping what it held.
      list.resize(i + 1);
      GetRegValueLTZI(list[i], key + "\\" + StripNulls(name));
    }
  } catch (const std::exception& e) {
    LogTzError("EnumSubKeys", e);
  }
  return result;
}

void GetRegValueLTZI(TimeZoneEntry& entry, const std::string& path) {
  try {
    TimeZoneEntry read;
    const std::unique_ptr<IRegistryKey> hKey = ActiveRegistry().OpenKey(RegRoot::HKEY_LOCAL_MACHINE, path);
    if (hKey) {
      std::vector<uint8_t> tzi;
      if (hKey->QueryBinary("TZI", tzi)) DecodeTzi(tzi, read);
      read.Display = ReadText(*hKey, "Display");
      read.Std = ReadText(*hKey, "Std");
      read.Dlt = ReadText(*hKey, "Dlt");
      read.MapID = ReadText(*hKey, "MapID");
    }
    entry = std::move(read);
  } catch (const std::exception& e) {
    LogTzError("GetRegValueLTZI", e);
  }
}

std::string GetRegValueStr(const std::string& subkey, const std::string& valueName) {
  std::string result;
  try {
    const std::unique_ptr<IRegistryKey> hKey =
        ActiveRegistry().OpenKey(RegRoot::HKEY_LOCAL_MACHINE, subkey);
    if (hKey) result = TrimBlanks(ReadText(*hKey, valueName.c_str()));
  } catch (const std::exception& e) {
    LogTzError("GetRegValueStr", e);
  }
  return result;
}

std::string StripNulls(const std::string& text) { return text.substr(0, text.find('\0')); }

bool SortList() {
  bool result = false;
  try {
    ModTimeZoneState& s = ModTimeZone();
    std::vector<TimeZoneEntry>& list = s.aTimeZoneList;
    const size_t n = list.size();
    std::vector<SortKeys> keys;
    keys.reserve(n);
    for (const TimeZoneEntry& e : list) keys.push_back(KeysOf(e.Display));
    const auto swap_entries = [&](size_t a, size_t b, int line) {
      if (a >= n || b >= n) Raise(kErrSubscript, line);
      std::swap(list[a], list[b]);
      std::swap(keys[a], keys[b]);
    };

    // 1. Descending by offset text: "-" offsets from -12:00, then "+"
    //    offsets, then texts with ")" at position 5.
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        if (keys[i].key < keys[j].key) swap_entries(i, j, __LINE__);
      }
    }
    // 2. Where the "+" offsets begin (0 when there are none).
    size_t k = 0;
    for (size_t i = 0; i < n; ++i) {
      if (keys[i].plus) {
        k = i;
        break;
      }
    }
    // 3. The "(GMT)" entries move in front of the "+" offsets.
    for (size_t i = 0; i < n; ++i) {
      if (keys[i].gmt) {
        swap_entries(i, k, __LINE__);
        ++k;
      }
    }
    // 4. Ascending by offset from each "+" entry on (tested on the entry at
    //    i only).
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        if (keys[i].plus && keys[i].key > keys[j].key) swap_entries(i, j, __LINE__);
      }
    }
    // 5. The "(GMT)" entries among themselves by name.
    for (size_t i = 0; i < n; ++i) {
      if (!keys[i].gmt) continue;
      for (size_t j = i + 1; j < n; ++j) {
        if (keys[j].gmt && keys[i].name7 > keys[j].name7) swap_entries(i, j, __LINE__);
      }
    }
    // 6. The computer's zone name.
    const std::string sCurZone = GetRegValueStr(
        kTimeZoneInformationKey, s.blnWindowsMajor6 ? "TimeZoneKeyName" : "StandardName");
    // 7. Equal offsets by name, regardless of case.
    for (size_t i = 0; i < n; ++i) {
      for (size_t j = i + 1; j < n; ++j) {
        if (keys[i].key == keys[j].key && keys[i].name13 > keys[j].name13) swap_entries(i, j, __LINE__);
      }
    }
    // 8. This computer's zone, by its standard-time name.
    for (size_t i = 0; i < n; ++i) {
      if (list[i].Std == sCurZone) {
        s.indexLocalMachineTimeZone = ToIndex16(i);
        break;
      }
    }
    // 9.
    WriteDebugLog("modTimeZone, SortList() , sCurZone=" + sCurZone +
                      ", indexLocalMachineTimeZone=" + std::to_string(s.indexLocalMachineTimeZone) + ";",
                  ModAllConst().iLogLevelDefault);
    result = true;
  } catch (const std::exception& e) {
    LogTzError("SortList", e);
  }
  return result;
}

}  // namespace dvrlink
