// The time-zone table: read from the registry, sorted for display, and this
// computer's zone located in it.
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
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
  ++ModTimeZone().errorsLogged;
  const std::string source = std::string("modTimeZone, ") + procedure;
  if (const auto* e = dynamic_cast<const RuntimeError*>(&error)) {
    LogError(source, e->Description(), e->Line());
  } else {
    LogError(source, error.what(), 0);
  }
}

}  // namespace tz_internal

void PrepareSystemRegistry() {
  ModTimeZoneState& s = ModTimeZone();
  if (s.registry || s.systemRegistry) return;
  try {
    s.systemRegistry = BuildSystemRegistry();
  } catch (const RuntimeError&) {
  }
}

namespace {

using tz_internal::ActiveRegistry;
using tz_internal::LogTzError;

// Size of the buffers the values and subkey names are read into, in
// characters.
constexpr size_t kBufferChars = 2048;

// Cuts a UTF-8 text after its first `max_chars` characters (code points).
void CutChars(std::string& text, size_t max_chars) {
  size_t chars = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && chars++ == max_chars) {
      text.resize(i);
      return;
    }
  }
}

// A text value read into the fixed buffer and cut at its first NUL; empty
// when the value is missing.
std::string ReadText(const IRegistryKey& key, const char* value_name) {
  std::string text;
  if (!key.QueryString(value_name, text)) return std::string();
  CutChars(text, kBufferChars);
  if (const size_t nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  return text;
}

std::string TrimBlanks(const std::string& s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// Upper case of one code unit (simple case mapping, so a text's length
// never changes).
char16_t Upper(char16_t c) { return static_cast<char16_t>(u_toupper(c)); }

// Up to N UTF-16 code units packed for ordinal comparison: four units to a
// 64-bit word, the first unit highest, unused units zero and the count in
// the slot after the last unit. Comparing the words compares the texts as
// strings compare: by the first differing unit, and a text before any
// longer text it begins.
template <int32_t N>
class PackedUnits {
 public:
  PackedUnits() = default;
  // The code units of `s` from `start` (0-based) on, at most N of them,
  // each upper-cased on its own when `upper` (simple case mapping).
  PackedUnits(const icu::UnicodeString& s, int32_t start, bool upper = false) {
    const int32_t count = std::max(0, std::min(N, s.length() - start));
    for (int32_t i = 0; i < count; ++i) Put(i, upper ? Upper(s.charAt(start + i)) : s.charAt(start + i));
    Put(N, static_cast<char16_t>(count));
  }
  friend bool operator==(const PackedUnits& a, const PackedUnits& b) { return a.Compare(b) == 0; }
  friend bool operator<(const PackedUnits& a, const PackedUnits& b) { return a.Compare(b) < 0; }
  friend bool operator>(const PackedUnits& a, const PackedUnits& b) { return a.Compare(b) > 0; }

 private:
  int Compare(const PackedUnits& other) const {
    for (size_t w = 0; w < words_.size(); ++w) {
      if (words_[w] != other.words_[w]) return words_[w] < other.words_[w] ? -1 : 1;
    }
    return 0;
  }
  void Put(int32_t slot, char16_t unit) { words_[slot / 4] |= uint64_t{unit} << (48 - 16 * (slot % 4)); }
  std::array<uint64_t, N / 4 + 1> words_{};
};

// The parts of an entry's Display text that the sort compares, taken once
// per entry; the sort moves these and leaves the entries in place until
// ApplyOrder. Positions count UTF-16 code units from 1 and comparisons are
// by code unit (ordinal), as in the text's own encoding.
struct SortKeys {
  size_t entry = 0;         // the entry's index in the table
  PackedUnits<6> key;       // 6 characters from position 5: the offset
  bool plus = false;        // "+" at position 5
  bool gmt = false;         // begins "(GMT)", regardless of case
  PackedUnits<10> name7;    // 10 characters from position 7
  PackedUnits<10> name13;   // 10 characters from position 13, upper-cased
};

bool BeginsGmt(const icu::UnicodeString& d) {
  static constexpr char16_t kGmt[] = u"(GMT)";
  if (d.length() < 5) return false;
  for (int32_t i = 0; i < 5; ++i) {
    if (Upper(d.charAt(i)) != kGmt[i]) return false;
  }
  return true;
}

SortKeys KeysOf(size_t entry, const std::string& display) {
  const icu::UnicodeString d = icu::UnicodeString::fromUTF8(display);
  SortKeys k;
  k.entry = entry;
  k.key = PackedUnits<6>(d, 4);
  k.plus = d.length() >= 5 && d.charAt(4) == u'+';
  k.gmt = BeginsGmt(d);
  k.name7 = PackedUnits<10>(d, 6);
  k.name13 = PackedUnits<10>(d, 12, true);
  return k;
}

// Puts the entries in the order the sort has moved `keys` into, and marks
// the keys as applied, so a second call changes nothing. Swaps only: it
// cannot fail.
void ApplyOrder(std::vector<TimeZoneEntry>& list, std::vector<SortKeys>& keys) noexcept {
  // Each cycle of the order: position i takes the entry of position
  // keys[i].entry, which still holds its own entry until its turn.
  for (size_t start = 0; start < keys.size(); ++start) {
    size_t i = start;
    while (keys[i].entry != start) {
      const size_t from = keys[i].entry;
      std::swap(list[i], list[from]);
      keys[i].entry = i;
      i = from;
    }
    keys[i].entry = i;
  }
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
    ModTimeZoneState& s = ModTimeZone();
    const IRegistry& registry = ActiveRegistry();
    const bool system = &registry == s.systemRegistry.get();
    if (system && s.readFrom == s.systemRegistry && s.readRoot == static_cast<uint32_t>(root) && s.readKey == key) {
      s.aTimeZoneList = s.readTable;
      return true;
    }
    const std::unique_ptr<IRegistryKey> hKey = registry.OpenKey(root, key);
    if (!hKey) return false;
    result = true;
    std::vector<TimeZoneEntry>& list = s.aTimeZoneList;
    const uint64_t errors_before = s.errorsLogged;
    std::string name;
    uint32_t i = 0;
    for (;; ++i) {
      if (!hKey->EnumSubKey(i, name) || Utf8ToUtf16Le(name).size() / 2 >= kBufferChars) break;
      // Grown one entry at a time, keeping what it held.
      list.resize(i + 1);
      GetRegValueLTZI(list[i], key + "\\" + StripNulls(name));
    }
    if (system && i > 0 && s.errorsLogged == errors_before) {
      s.readFrom = s.systemRegistry;
      s.readRoot = static_cast<uint32_t>(root);
      s.readKey = key;
      s.readTable = list;
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
  ModTimeZoneState& s = ModTimeZone();
  std::vector<TimeZoneEntry>& list = s.aTimeZoneList;
  std::vector<SortKeys> keys;
  try {
    const size_t n = list.size();
    const bool sorted_before =
        s.sortedDisplays.size() == n &&
        std::equal(list.begin(), list.end(), s.sortedDisplays.begin(),
                   [](const TimeZoneEntry& entry, const std::string& display) { return entry.Display == display; });
    const auto swap_entries = [&](size_t a, size_t b, int line) {
      if (a >= n || b >= n) Raise(kErrSubscript, line);
      std::swap(keys[a], keys[b]);
    };
    if (sorted_before) {
      keys.resize(n);
      for (size_t i = 0; i < n; ++i) keys[i].entry = s.sortedFrom[i];
    } else {
      s.sortedDisplays.clear();
      s.sortedFrom.clear();
      keys.reserve(n);
      for (size_t i = 0; i < n; ++i) keys.push_back(KeysOf(i, list[i].Display));
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
    }
    // 6. The computer's zone name.
    const std::string sCurZone = GetRegValueStr(
        kTimeZoneInformationKey, s.blnWindowsMajor6 ? "TimeZoneKeyName" : "StandardName");
    if (!sorted_before) {
      // 7. Equal offsets by name, regardless of case.
      for (size_t i = 0; i < n; ++i) {
        for (size_t j = i + 1; j < n; ++j) {
          if (keys[i].key == keys[j].key && keys[i].name13 > keys[j].name13) swap_entries(i, j, __LINE__);
        }
      }
      for (const TimeZoneEntry& entry : list) s.sortedDisplays.push_back(entry.Display);
      for (const SortKeys& key : keys) s.sortedFrom.push_back(key.entry);
    }
    ApplyOrder(list, keys);
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
    ApplyOrder(list, keys);  // the swaps made before the error stand
    LogTzError("SortList", e);
  }
  return result;
}

}  // namespace dvrlink
