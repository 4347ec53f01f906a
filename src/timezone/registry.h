// The registry as the time-zone module reads it: keys below a root, listed by
// index, holding named text and binary values. This platform has no registry
// of its own, so the module reads one of two sources, both held in memory:
//   BuildSystemRegistry  the system's time-zone database, named through ICU
//                        (the default);
//   LoadRegFile       a .reg export file, so that a table exported from a
//                     real host machine can be used as it stands.
// Names of keys and values are compared without regard to (ASCII) case, as
// the real registry compares them. Missing keys and values are reported as
// failures, never as exceptions.
#pragma once

#include "support/vbstring.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/datetime.h"

namespace dvrlink {

// The predefined roots, with the registry's own handle values.
enum class RegRoot : uint32_t {
  HKEY_CLASSES_ROOT = 0x80000000u,
  HKEY_CURRENT_USER = 0x80000001u,
  HKEY_LOCAL_MACHINE = 0x80000002u,
  HKEY_USERS = 0x80000003u,
  HKEY_CURRENT_CONFIG = 0x80000005u,
};

// The root's name as it heads a key path in a .reg file
// ("HKEY_LOCAL_MACHINE"); nothing for a name that is not a root.
std::optional<RegRoot> RegRootFromName(std::string_view name);
const char* RegRootName(RegRoot root);

// Value types, numbered as the registry numbers them.
enum RegType : uint32_t {
  REG_NONE = 0,
  REG_SZ = 1,
  REG_EXPAND_SZ = 2,
  REG_BINARY = 3,
  REG_DWORD = 4,
  REG_DWORD_BIG_ENDIAN = 5,
  REG_MULTI_SZ = 7,
  REG_QWORD = 11,
};

// One value. Text types (REG_SZ, REG_EXPAND_SZ) keep their text in `text`
// (UTF-8, without the terminating NUL); every other type keeps its raw bytes
// in `data`.
struct RegValue {
  uint32_t type = REG_NONE;
  std::string text;
  std::vector<uint8_t> data;

  static RegValue Text(std::string s, uint32_t type = REG_SZ);
  static RegValue Binary(std::vector<uint8_t> bytes, uint32_t type = REG_BINARY);
  static RegValue Dword(uint32_t v);

  friend bool operator==(const RegValue& a, const RegValue& b) {
    return a.type == b.type && a.text == b.text && a.data == b.data;
  }
};

// An open key. Closing it is destroying it.
class IRegistryKey {
 public:
  virtual ~IRegistryKey() = default;
  // The name of subkey `index` (0-based, in the registry's order: by name
  // without regard to case); false past the last one.
  virtual bool EnumSubKey(uint32_t index, std::string& name) const = 0;
  // A text value; false when the value is missing or not of a text type.
  virtual bool QueryString(std::string_view value_name, std::string& text) const = 0;
  // A value's bytes as the registry stores them: raw bytes for binary and
  // number types, UTF-16LE with a terminating NUL for text types. False when
  // the value is missing.
  virtual bool QueryBinary(std::string_view value_name, std::vector<uint8_t>& data) const = 0;
};

class IRegistry {
 public:
  virtual ~IRegistry() = default;
  // Opens `path` ("\"-separated, no leading "\") below `root`; nullptr when
  // the key does not exist. An empty path opens the root itself.
  virtual std::unique_ptr<IRegistryKey> OpenKey(RegRoot root, std::string_view path) const = 0;
};

// One key of an in-memory registry: its subkeys, kept in the registry's
// order, and its values.
class RegistryNode {
 public:
  RegistryNode() = default;
  RegistryNode(const RegistryNode&) = delete;
  RegistryNode& operator=(const RegistryNode&) = delete;

  const RegistryNode* FindSubKey(std::string_view name) const;
  RegistryNode* FindSubKey(std::string_view name);
  // The subkey `name`, created when missing (keeping the spelling of the
  // first creation).
  RegistryNode& CreateSubKey(std::string_view name);
  size_t SubKeyCount() const { return subkeys_.size(); }
  const std::string& SubKeyName(size_t index) const { return subkeys_[index].first; }

  const RegValue* FindValue(std::string_view name) const;
  void SetValue(std::string_view name, RegValue value);
  bool DeleteValue(std::string_view name);
  size_t ValueCount() const { return values_.size(); }

 private:
  friend class MemoryRegistry;  // deletes keys, and forgets the key it keeps
  bool DeleteSubKey(std::string_view name);

  // Sorted by name without regard to case.
  std::vector<std::pair<std::string, std::unique_ptr<RegistryNode>>> subkeys_;
  std::vector<std::pair<std::string, RegValue>> values_;
};

// A registry held in memory; both sources produce one. Also usable directly
// to hand-build a small registry. A key that is deleted must not be read
// through a key object opened on it before.
class MemoryRegistry : public IRegistry {
 public:
  std::unique_ptr<IRegistryKey> OpenKey(RegRoot root, std::string_view path) const override;

  // The key at `path` below `root`, created with its parents when missing.
  RegistryNode& CreateKey(RegRoot root, std::string_view path);
  // Removes the key at `path` with everything below it; false when missing.
  bool DeleteKey(RegRoot root, std::string_view path);
  const RegistryNode* FindKey(RegRoot root, std::string_view path) const;

  // Shorthand for CreateKey(root, path).SetValue(name, value).
  void SetValue(RegRoot root, std::string_view path, std::string_view name, RegValue value);

 private:
  RegistryNode& RootNode(RegRoot root);
  const RegistryNode* RootNodeIfAny(RegRoot root) const;
  RegistryNode* MutableKey(RegRoot root, std::string_view path);

  // Shared with the keys opened on it, so an open key stays valid when the
  // registry itself is released first.
  using Roots = std::vector<std::pair<RegRoot, std::unique_ptr<RegistryNode>>>;
  std::shared_ptr<Roots> roots_ = std::make_shared<Roots>();
  // The parent of the key last found, by its path as given: the keys of one
  // parent are often read in turn (every key of the time-zone table), and a
  // path below it then looks up its last part only. Forgotten by DeleteKey,
  // the only way a key goes away.
  struct FoundParent {
    RegRoot root = RegRoot::HKEY_LOCAL_MACHINE;
    std::string path;
    const RegistryNode* node = nullptr;  // not owned
  };
  mutable FoundParent last_parent_;
};

// Where the module's table and the computer's zone live.
inline constexpr const char* kTimeZonesKeyNT =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Time Zones";
inline constexpr const char* kTimeZonesKey9x =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Time Zones";
inline constexpr const char* kTimeZoneInformationKey =
    "System\\CurrentControlSet\\Control\\TimeZoneInformation";

// Reads a .reg export file: "Windows Registry Editor Version 5.00" (UTF-16LE
// with its byte-order mark, or UTF-8) or "REGEDIT4" (UTF-8, or Latin-1 when
// the file is not valid UTF-8). Raises RuntimeError number 5 whose
// description names the file (and the line, for a malformed file) when the
// file cannot be read or is malformed.
std::shared_ptr<IRegistry> LoadRegFile(const std::string& path);
// The same from the file's bytes; `source_name` names it in error texts.
std::shared_ptr<MemoryRegistry> ParseRegFile(std::string_view bytes, const std::string& source_name);

// One key of the table built from the system's database: its key name and
// the zone it follows (a zone name of the system's database, or a POSIX TZ
// rule for a key of no place).
struct TimeZoneKeySource {
  std::string key_name;
  std::string tz;
};
// Every key BuildSystemRegistry makes, by key name: each name ICU maps from
// one of its zones, and the legacy names hosts may still send (documented in
// system_registry.cpp, with the names that follow another zone than ICU's).
std::vector<TimeZoneKeySource> SystemTimeZoneKeys();

// Builds the registry from the system's time-zone database (the zone files
// under ZoneInfoDir()): one key per SystemTimeZoneKeys() entry, with the
// values "Display", "Std", "Dlt", "MapID" and "TZI", below kTimeZonesKeyNT;
// and the computer's zone as "TimeZoneKeyName" and "StandardName" below
// kTimeZoneInformationKey. A key whose zone the system lacks is left out
// with a log line.
//   system_zone     the computer's zone as TZ would give it (a zone name, a
//                   zone file's path or a POSIX rule); empty: TZ, or else
//                   /etc/localtime. It becomes the key ICU's mapping gives
//                   its name when that key has its rules, else the first key
//                   with its rules; "UTC", with a log line, when none has.
//   rules_near_utc  the UTC time whose year places the changes that do not
//                   fall alike every year, and at which a zone file without
//                   a rule gives its offset; nothing: now.
// Raises RuntimeError 5 when ICU cannot list its zones or their names.
std::shared_ptr<IRegistry> BuildSystemRegistry(const std::string& system_zone = "",
                                               std::optional<DateTime> rules_near_utc = std::nullopt);

// Builds the system's table into the module state now, unless a registry is
// set there or the table is built already, so that the first reader does
// not wait for it (the service calls it while its DVR connections start).
// A failure leaves it unbuilt: the next reader tries again and reports it.
void PrepareSystemRegistry();

// Text helpers shared by the sources.
std::string Utf16LeToUtf8(std::string_view bytes);
std::vector<uint8_t> Utf8ToUtf16Le(std::string_view text);
// EqualsNoCase comes from support/vbstring.h.

}  // namespace dvrlink
