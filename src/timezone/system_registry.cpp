// The registry's time-zone keys built from the system's time-zone database
// (the zone files under /usr/share/zoneinfo), named through ICU.
//
// One key per time-zone key name (the names the host passes as a DVR's
// zone, such as "Eastern Standard Time") that ICU maps from its zones, plus
// the legacy names of kLegacyKeys. Each key follows one zone of the system's
// database: ICU's representative ("001") zone of the name, or the zone of
// kFollows where ICU's mapping predates a country's change. Its values:
//   Std, key name  the key name itself
//   Dlt            the key name with "Standard" replaced by "Daylight"
//   Display        "(UTC+hh:mm) " or "(UTC-hh:mm) " and ICU's long generic
//                  name of the zone in US English; "+" for offset zero
//   MapID          empty
//   TZI            the rule on the last line of the zone's file (FillTziRules)
// ICU's own copy of the rules is never used: it lags the system's.
#include <unicode/locid.h>
#include <unicode/strenum.h>
#include <unicode/timezone.h>
#include <unicode/tzfmt.h>
#include <unicode/ucal.h>
#include <unicode/ures.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>

#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "timezone/registry.h"
#include "timezone/time_zone_entry.h"
#include "timezone/tzi.h"
#include "timezone/zoneinfo.h"

namespace dvrlink {
namespace {

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;
constexpr const char* kLogPrefix = "modTimeZone, BuildSystemRegistry() ";
// How far ahead a zone file's own changes are compared with its rule (five
// years, in seconds): further ones are predictions (Ramadan dates).
constexpr int64_t kDepartureHorizon = 5LL * 365 * 86400;

// Key names whose zone is not ICU's representative one: ICU's mapping
// predates the change, and the name now stands for the zone given here.
constexpr std::pair<const char*, const char*> kFollows[] = {
    // Almaty and Qostanay moved to UTC+05 in March 2024 (now under West Asia
    // Standard Time); the name keeps UTC+06.
    {"Central Asia Standard Time", "Asia/Bishkek"},
    // Chihuahua moved to UTC-06 in October 2022 (now under Central Standard
    // Time (Mexico)); the name keeps UTC-07.
    {"Mountain Standard Time (Mexico)", "America/Mazatlan"},
};

// The key names of zones that ICU's mapping gives from before such a change.
constexpr std::pair<const char*, const char*> kKeyOfZone[] = {
    {"Asia/Almaty", "West Asia Standard Time"},
    {"Asia/Qostanay", "West Asia Standard Time"},
    {"America/Chihuahua", "Central Standard Time (Mexico)"},
};

// Key names a host may still send that ICU maps from no zone: the zone (or
// rule) each follows and the name its display text gives.
struct LegacyKey {
  const char* key_name;
  const char* tz;
  const char* display_name;
};
constexpr LegacyKey kLegacyKeys[] = {
    {"Kamchatka Standard Time", "Asia/Kamchatka", "Petropavlovsk-Kamchatsky - Old"},
    // A zone of no place: its own rule, last Sundays of March and September.
    {"Mid-Atlantic Standard Time", "<-02>2<-01>,M3.5.0,M9.5.0", "Mid-Atlantic - Old"},
};

std::string ToUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

void Check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) {
    DVR_RAISE_TEXT(kErrInvalidCall, std::string("ICU time-zone names: ") + what + ": " + u_errorName(status));
  }
}

std::string OffsetText(int32_t minutes_east) {
  const char sign = minutes_east < 0 ? '-' : '+';
  const int32_t m = std::abs(minutes_east);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "(UTC%c%02d:%02d) ", sign, static_cast<int>(m / 60), static_cast<int>(m % 60));
  return buffer;
}

std::string DaylightName(std::string name) {
  const std::string from = "Standard";
  for (size_t pos = name.find(from); pos != std::string::npos; pos = name.find(from, pos)) {
    name.replace(pos, from.size(), "Daylight");
    pos += from.size();
  }
  return name;
}

// ICU's key name of a zone (kKeyOfZone first); empty when it has none.
std::string KeyNameOfZone(const std::string& zone) {
  for (const auto& [z, key_name] : kKeyOfZone) {
    if (zone == z) return key_name;
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString key_name;
  icu::TimeZone::getWindowsID(icu::UnicodeString::fromUTF8(zone), key_name, status);
  return U_SUCCESS(status) && !key_name.isBogus() ? ToUtf8(key_name) : std::string();
}

// The key names ICU's mapping gives its canonical zones, read in one pass
// over its table of key names: a zone's name is the first in the table
// that lists it for any region, as TimeZone::getWindowsID answers (which
// scans the whole table once per zone).
std::set<std::string> KeyNamesOfCanonicalZones() {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::StringEnumeration> ids(
      icu::TimeZone::createTimeZoneIDEnumeration(UCAL_ZONE_TYPE_CANONICAL, nullptr, nullptr, status));
  Check(status, "zone list");
  std::set<icu::UnicodeString> unnamed;
  for (const icu::UnicodeString* id = ids->snext(status); id != nullptr && U_SUCCESS(status); id = ids->snext(status)) {
    unnamed.insert(*id);
  }
  Check(status, "zone list");
  const icu::LocalUResourceBundlePointer table(ures_openDirect(nullptr, "windowsZones", &status));
  ures_getByKey(table.getAlias(), "mapTimezones", table.getAlias(), &status);
  Check(status, "key-name table");
  std::set<std::string> key_names;
  while (ures_hasNext(table.getAlias())) {
    const icu::LocalUResourceBundlePointer key(ures_getNextResource(table.getAlias(), nullptr, &status));
    Check(status, "key-name table");
    if (ures_getType(key.getAlias()) != URES_TABLE) continue;
    while (ures_hasNext(key.getAlias())) {
      // One region's zones, separated by spaces.
      int32_t length = 0;
      const UChar* text = ures_getNextString(key.getAlias(), &length, nullptr, &status);
      if (status == U_RESOURCE_TYPE_MISMATCH) {
        status = U_ZERO_ERROR;  // not a list of zones: ICU's lookup passes it by too
        continue;
      }
      Check(status, "key-name table");
      const icu::UnicodeString zones(false, text, length);
      for (int32_t start = 0; start < length;) {
        int32_t end = zones.indexOf(u' ', start);
        if (end < 0) end = length;
        if (unnamed.erase(zones.tempSubStringBetween(start, end)) != 0) key_names.insert(ures_getKey(key.getAlias()));
        start = end + 1;
      }
    }
  }
  return key_names;
}

// The zone's record from the system's database: the rule its file ends
// with; a file without one keeps the offset it gives at `at`. A zone name
// the system lacks is tried under ICU's other names for it. `departure`
// tells until when the file's own changes in the years after `at` differ
// from its rule.
std::optional<TimeZoneEntry> ZoneRecord(const std::string& tz, int64_t at, int year, std::string& error,
                                        std::optional<int64_t>* departure = nullptr) {
  std::optional<ZoneFile> file = LoadZone(tz, error);
  const icu::UnicodeString id = icu::UnicodeString::fromUTF8(tz);
  for (int32_t i = 0; !file && i < icu::TimeZone::countEquivalentIDs(id); ++i) {
    std::string ignored;
    file = LoadZone(ToUtf8(icu::TimeZone::getEquivalentID(id, i)), ignored);
  }
  if (!file) return std::nullopt;
  if (departure != nullptr) *departure = LastDepartureFromFooter(*file, at, at + kDepartureHorizon);
  PosixRule rule;
  if (file->footer) {
    rule = *file->footer;
  } else {
    rule.std_offset = file->OffsetAt(at);
  }
  TimeZoneEntry entry;
  FillTziRules(rule, year, entry);
  return entry;
}

using Records = std::map<std::string, std::array<uint8_t, kTziSize>>;

// The computer's zone as a key name: the key ICU's mapping gives its name
// (or the name its link leads to) when that key has the same rules, else
// the first key with the same rules; "UTC" with a log line when none has.
std::string ComputerKeyName(const std::string& setting, const Records& records, int64_t at, int year) {
  std::string error;
  const std::optional<TimeZoneEntry> own = ZoneRecord(setting, at, year, error);
  const std::string name = ZoneNameOf(setting);
  if (own) {
    const auto tzi = EncodeTzi(*own);
    std::vector<std::string> names = {name};
    std::error_code ec;
    const std::string path = setting.rfind('/', 0) == 0 ? setting : ZoneInfoDir() + "/" + name;
    if (!name.empty()) names.push_back(ZoneNameOf(std::filesystem::canonical(path, ec).string()));
    for (const std::string& candidate : names) {
      const auto found = records.find(KeyNameOfZone(candidate));
      if (!candidate.empty() && found != records.end() && found->second == tzi) return found->first;
    }
    for (const auto& [key_name, record] : records) {
      if (record == tzi) return key_name;
    }
    error = "has no entry in the time-zone table";
  } else {
    error = "cannot be read: " + error;
  }
  WriteDebugLogAlways(std::string(kLogPrefix) + "the system time zone " + (name.empty() ? setting : name) + " " +
                      error + "; the computer's zone is taken as UTC");
  return "UTC";
}

}  // namespace

std::vector<TimeZoneKeySource> SystemTimeZoneKeys() {
  std::map<std::string, std::string> zones;
  for (const std::string& key_name : KeyNamesOfCanonicalZones()) {
    UErrorCode status = U_ZERO_ERROR;
    icu::UnicodeString zone;
    icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(key_name), nullptr, zone, status);
    if (U_SUCCESS(status) && !zone.isBogus() && zone.length() > 0) zones[key_name] = ToUtf8(zone);
  }
  for (const auto& [key_name, zone] : kFollows) zones[key_name] = zone;
  for (const LegacyKey& legacy : kLegacyKeys) zones.emplace(legacy.key_name, legacy.tz);
  std::vector<TimeZoneKeySource> keys;
  for (const auto& [key_name, zone] : zones) keys.push_back(TimeZoneKeySource{key_name, zone});
  return keys;
}

std::shared_ptr<IRegistry> BuildSystemRegistry(const std::string& system_zone, std::optional<DateTime> rules_near_utc) {
  const DateTime near =
      rules_near_utc ? *rules_near_utc
                     : DateTime::FromSerialSeconds(static_cast<int64_t>(ucal_getNow() / 1000) + kSerialSecondsAt1970);
  const int64_t at = near.SerialSeconds() - kSerialSecondsAt1970;
  const int year = near.Year();

  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::TimeZoneFormat> names(icu::TimeZoneFormat::createInstance(icu::Locale::getUS(), status));
  Check(status, "zone names");

  auto registry = std::make_shared<MemoryRegistry>();
  RegistryNode& zones = registry->CreateKey(RegRoot::HKEY_LOCAL_MACHINE, kTimeZonesKeyNT);
  Records records;
  for (const TimeZoneKeySource& source : SystemTimeZoneKeys()) {
    std::string error;
    std::optional<int64_t> departure;
    const std::optional<TimeZoneEntry> entry = ZoneRecord(source.tz, at, year, error, &departure);
    if (!entry) {
      WriteDebugLogAlways(std::string(kLogPrefix) + "the key " + source.key_name + " is left out: " + error);
      continue;
    }
    if (departure) {
      WriteDebugLogAlways(std::string(kLogPrefix) + "the key " + source.key_name + " follows the rule of " + source.tz +
                          " from its file's last line; until " +
                          DateTime::FromSerialSeconds(*departure + kSerialSecondsAt1970).FormatIso() +
                          " UTC the zone changes otherwise, and its times convert from that rule");
    }
    std::string display_name;
    for (const LegacyKey& legacy : kLegacyKeys) {
      if (source.key_name == legacy.key_name) display_name = legacy.display_name;
    }
    if (display_name.empty()) {
      const std::unique_ptr<icu::TimeZone> tz(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(source.tz)));
      icu::UnicodeString generic;
      names->format(UTZFMT_STYLE_GENERIC_LONG, *tz, static_cast<UDate>(at) * 1000.0, generic);
      display_name = ToUtf8(generic);
    }
    RegistryNode& key = zones.CreateSubKey(source.key_name);
    key.SetValue("Display", RegValue::Text(OffsetText(-entry->Bias) + display_name));
    key.SetValue("Std", RegValue::Text(source.key_name));
    key.SetValue("Dlt", RegValue::Text(DaylightName(source.key_name)));
    key.SetValue("MapID", RegValue::Text(""));
    records[source.key_name] = EncodeTzi(*entry);
    key.SetValue("TZI", RegValue::Binary(
                            std::vector<uint8_t>(records[source.key_name].begin(), records[source.key_name].end())));
  }

  const std::string setting = system_zone.empty() ? ComputerZoneSetting(std::getenv("TZ")) : system_zone;
  const std::string system_key = ComputerKeyName(setting, records, at, year);
  RegistryNode& info = registry->CreateKey(RegRoot::HKEY_LOCAL_MACHINE, kTimeZoneInformationKey);
  info.SetValue("TimeZoneKeyName", RegValue::Text(system_key));
  info.SetValue("StandardName", RegValue::Text(system_key));
  return registry;
}

}  // namespace dvrlink
