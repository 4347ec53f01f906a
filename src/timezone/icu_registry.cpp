// The registry's time-zone keys built from the system's time-zone data
// through ICU.
//
// One key per time-zone key name ICU maps from its zones (the names the host
// passes as a DVR's zone, such as "Eastern Standard Time"), each describing
// the representative ("001") zone of that name:
//   Std, key name  the key name itself
//   Dlt            the key name with "Standard" replaced by "Daylight"
//   Display        "(UTC+hh:mm) " or "(UTC-hh:mm) " and ICU's long generic
//                  name of the zone in US English; "+" for offset zero
//   MapID          empty
//   TZI            the zone's annual rules near the reference time
// A TZI rule is a fixed date or the occurrence (1..4, 5 = last) of a weekday
// in a month, at the wall-clock time in force before the transition. Each
// rule is written in a form that holds every year when the zone's own rule
// has one ("Sun>=8" is the second Sunday; "lastSun 01:00 UTC" is the last
// Sunday at the local time of 01:00 UTC); otherwise as it falls in the
// reference year ("Fri>=23" becomes the last Friday when that is where it
// falls that year).
#include <unicode/basictz.h>
#include <unicode/dtrule.h>
#include <unicode/locid.h>
#include <unicode/strenum.h>
#include <unicode/timezone.h>
#include <unicode/tzfmt.h>
#include <unicode/tzrule.h>
#include <unicode/tztrans.h>
#include <unicode/ucal.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <set>

#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "timezone/registry.h"
#include "timezone/time_zone_entry.h"
#include "timezone/tzi.h"

namespace dvrlink {
namespace {

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;
constexpr int32_t kMillisPerDay = 86400000;

std::string ToUtf8(const icu::UnicodeString& s) {
  std::string out;
  s.toUTF8String(out);
  return out;
}

UDate ToUDate(DateTime utc) {
  return static_cast<UDate>(utc.SerialSeconds() - kSerialSecondsAt1970) * 1000.0;
}

DateTime FromUDate(UDate millis) {
  return DateTime::FromSerialSeconds(static_cast<int64_t>(std::floor(millis / 1000.0)) +
                                     kSerialSecondsAt1970);
}

void Check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) {
    DVR_RAISE_TEXT(kErrInvalidCall, std::string("ICU time-zone data: ") + what + ": " + u_errorName(status));
  }
}

int DaysInMonth(int year, int month) { return DateTime::FromParts(year, month + 1, 0).Day(); }

// The occurrence (1..4, 5 = last) of a day's weekday within its month.
int16_t OccurrenceInMonth(int year, int month, int day) {
  const int week = (day + 6) / 7;
  if (week >= 5 || day + 7 > DaysInMonth(year, month)) return 5;
  return static_cast<int16_t>(week);
}

void SetTimeOfDay(SystemTime& t, int64_t millis_in_day) {
  t.wHour = static_cast<int16_t>(millis_in_day / 3600000);
  t.wMinute = static_cast<int16_t>(millis_in_day / 60000 % 60);
  t.wSecond = static_cast<int16_t>(millis_in_day / 1000 % 60);
  t.wMilliseconds = static_cast<int16_t>(millis_in_day % 1000);
}

// Days in `month` (1..12) in every year; 0 for February, whose length varies.
int FixedMonthLength(int month) {
  static constexpr int kDays[] = {31, 0, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return kDays[month - 1];
}

// The transition rule as a TZI date that holds in every year, when it has
// one: the wall-clock time before the transition falls on the rule's own day,
// and the day is a fixed date or an occurrence (1..4, last) of a weekday.
// prev_raw and prev_dst are the offsets in force before the transition
// (milliseconds); `year` marks a fixed date.
std::optional<SystemTime> EveryYearForm(const icu::DateTimeRule& dtr, int32_t prev_raw,
                                        int32_t prev_dst, int year) {
  int64_t wall = dtr.getRuleMillisInDay();
  if (dtr.getTimeRuleType() == icu::DateTimeRule::STANDARD_TIME) wall += prev_dst;
  if (dtr.getTimeRuleType() == icu::DateTimeRule::UTC_TIME) wall += prev_raw + prev_dst;
  if (wall < 0 || wall >= kMillisPerDay) return std::nullopt;

  SystemTime t;
  t.wMonth = static_cast<int16_t>(dtr.getRuleMonth() + 1);
  t.wDayOfWeek = static_cast<int16_t>(dtr.getRuleDayOfWeek() - UCAL_SUNDAY);
  SetTimeOfDay(t, wall);
  const int dom = dtr.getRuleDayOfMonth();
  int occurrence = 0;
  switch (dtr.getDateRuleType()) {
    case icu::DateTimeRule::DOM:
      t.wYear = static_cast<int16_t>(year);
      t.wDayOfWeek = 0;
      t.wDay = static_cast<int16_t>(dom);
      return t;
    case icu::DateTimeRule::DOW:
      occurrence = dtr.getRuleWeekInMonth() == -1 ? 5 : dtr.getRuleWeekInMonth();
      break;
    case icu::DateTimeRule::DOW_GEQ_DOM:  // e.g. Sun>=8, the second Sunday
      if ((dom - 1) % 7 == 0) occurrence = (dom - 1) / 7 + 1;
      break;
    case icu::DateTimeRule::DOW_LEQ_DOM:  // e.g. Sun<=14, or lastSun as Sun<=31
      if (dom % 7 == 0) occurrence = dom / 7;
      if (dom == FixedMonthLength(t.wMonth)) occurrence = 5;
      break;
  }
  if (occurrence < 1 || occurrence > 5) return std::nullopt;
  t.wDay = static_cast<int16_t>(occurrence);
  return t;
}

// The transition as it falls in `year`, written as the occurrence of its
// weekday in its month: right for that year, perhaps a week off in others.
SystemTime ReferenceYearForm(const icu::AnnualTimeZoneRule& rule, int32_t prev_raw,
                             int32_t prev_dst, int year) {
  SystemTime t;
  UDate start = 0;
  if (!rule.getStartInYear(year, prev_raw, prev_dst, start)) return t;
  const DateTime local = FromUDate(start + prev_raw + prev_dst);
  t.wMonth = static_cast<int16_t>(local.Month());
  t.wDayOfWeek = static_cast<int16_t>(local.DayOfWeek());
  t.wDay = OccurrenceInMonth(local.Year(), local.Month(), local.Day());
  SetTimeOfDay(t, DateTime::DiffSeconds(local.DatePart(), local) * 1000);
  return t;
}

// The zone's final rule taking effect at the transition after `from`, when
// the zone is then under its final (open-ended) rules.
const icu::AnnualTimeZoneRule* FinalRuleAfter(const icu::BasicTimeZone& zone, UDate from,
                                              icu::TimeZoneTransition& transition) {
  if (!zone.getNextTransition(from, false, transition)) return nullptr;
  const auto* rule = dynamic_cast<const icu::AnnualTimeZoneRule*>(transition.getTo());
  if (rule == nullptr || rule->getEndYear() != icu::AnnualTimeZoneRule::MAX_YEAR) return nullptr;
  return rule;
}

// One transition rule as a TZI date: the zone's own final rule when it is
// the one in force and has an every-year form; else the form ICU gives near
// the reference time; else the reference year's transition.
SystemTime RuleToSystemTime(const icu::AnnualTimeZoneRule& near_rule,
                            const icu::AnnualTimeZoneRule* final_rule, int32_t prev_raw,
                            int32_t prev_dst, int year) {
  if (final_rule != nullptr && final_rule->getRawOffset() == near_rule.getRawOffset() &&
      final_rule->getDSTSavings() == near_rule.getDSTSavings()) {
    if (auto t = EveryYearForm(*final_rule->getRule(), prev_raw, prev_dst, year)) return *t;
  }
  if (auto t = EveryYearForm(*near_rule.getRule(), prev_raw, prev_dst, year)) return *t;
  return ReferenceYearForm(near_rule, prev_raw, prev_dst, year);
}

// The rule fields of one zone's entry, from its rules near `at`.
void FillRules(const icu::TimeZone& tz, UDate at, int year, TimeZoneEntry& entry) {
  const auto* basic = dynamic_cast<const icu::BasicTimeZone*>(&tz);
  if (basic != nullptr) {
    UErrorCode status = U_ZERO_ERROR;
    icu::InitialTimeZoneRule* initial = nullptr;
    icu::AnnualTimeZoneRule* std_rule = nullptr;
    icu::AnnualTimeZoneRule* dst_rule = nullptr;
    basic->getSimpleRulesNear(at, initial, std_rule, dst_rule, status);
    const std::unique_ptr<icu::InitialTimeZoneRule> own_initial(initial);
    const std::unique_ptr<icu::AnnualTimeZoneRule> own_std(std_rule);
    const std::unique_ptr<icu::AnnualTimeZoneRule> own_dst(dst_rule);
    Check(status, "annual rules");
    if (std_rule != nullptr && dst_rule != nullptr) {
      const int32_t raw = std_rule->getRawOffset();
      const int32_t savings = dst_rule->getDSTSavings();
      entry.Bias = -raw / 60000;
      entry.DaylightBias = -savings / 60000;
      // The zone's own open-ended rules, when the next two transitions are
      // theirs: one to standard time, one to daylight time.
      icu::TimeZoneTransition first;
      icu::TimeZoneTransition second;
      const icu::AnnualTimeZoneRule* final_std = nullptr;
      const icu::AnnualTimeZoneRule* final_dst = nullptr;
      const icu::AnnualTimeZoneRule* a = FinalRuleAfter(*basic, at, first);
      const icu::AnnualTimeZoneRule* b = a ? FinalRuleAfter(*basic, first.getTime(), second) : nullptr;
      for (const icu::AnnualTimeZoneRule* r : {a, b}) {
        if (r != nullptr && r->getDSTSavings() == 0) final_std = r;
        if (r != nullptr && r->getDSTSavings() != 0) final_dst = r;
      }
      entry.StandardDate = RuleToSystemTime(*std_rule, final_std, raw, savings, year);
      entry.DaylightDate = RuleToSystemTime(*dst_rule, final_dst, raw, 0, year);
      return;
    }
    if (initial != nullptr) {
      // No daylight-saving time near `at`: the offset in force is the bias.
      entry.Bias = -(initial->getRawOffset() + initial->getDSTSavings()) / 60000;
      return;
    }
  }
  UErrorCode status = U_ZERO_ERROR;
  int32_t raw = 0;
  int32_t dst = 0;
  tz.getOffset(at, false, raw, dst, status);
  Check(status, "offset");
  entry.Bias = -(raw + dst) / 60000;
}

std::string OffsetText(int32_t minutes_east) {
  const char sign = minutes_east < 0 ? '-' : '+';
  const int32_t m = std::abs(minutes_east);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "(UTC%c%02d:%02d) ", sign, static_cast<int>(m / 60),
                static_cast<int>(m % 60));
  return buffer;
}

// Every time-zone key name ICU maps from one of its zones, in order.
std::set<std::string> MappedKeyNames() {
  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::StringEnumeration> ids(
      icu::TimeZone::createTimeZoneIDEnumeration(UCAL_ZONE_TYPE_CANONICAL, nullptr, nullptr, status));
  Check(status, "zone list");
  std::set<std::string> names;
  for (const icu::UnicodeString* id = ids->snext(status); id != nullptr && U_SUCCESS(status);
       id = ids->snext(status)) {
    UErrorCode map_status = U_ZERO_ERROR;
    icu::UnicodeString key_name;
    icu::TimeZone::getWindowsID(*id, key_name, map_status);
    if (U_SUCCESS(map_status) && !key_name.isBogus() && key_name.length() > 0) {
      names.insert(ToUtf8(key_name));
    }
  }
  Check(status, "zone list");
  return names;
}

std::string DaylightName(std::string name) {
  const std::string from = "Standard";
  for (size_t pos = name.find(from); pos != std::string::npos; pos = name.find(from, pos)) {
    name.replace(pos, from.size(), "Daylight");
    pos += from.size();
  }
  return name;
}

// The computer's zone as a key name; "UTC" when its zone has none.
std::string SystemKeyName(const std::string& system_zone_iana) {
  icu::UnicodeString zone_id;
  if (system_zone_iana.empty()) {
    const std::unique_ptr<icu::TimeZone> tz(icu::TimeZone::createDefault());
    tz->getID(zone_id);
  } else {
    zone_id = icu::UnicodeString::fromUTF8(system_zone_iana);
  }
  UErrorCode status = U_ZERO_ERROR;
  icu::UnicodeString key_name;
  icu::TimeZone::getWindowsID(zone_id, key_name, status);
  if (U_SUCCESS(status) && !key_name.isBogus() && key_name.length() > 0) return ToUtf8(key_name);
  WriteDebugLogAlways("modTimeZone, BuildIcuRegistry() the system time zone " + ToUtf8(zone_id) +
                      " has no entry in the time-zone table; the computer's zone is taken as UTC");
  return "UTC";
}

}  // namespace

std::shared_ptr<IRegistry> BuildIcuRegistry(const std::string& system_zone_iana,
                                            std::optional<DateTime> rules_near_utc) {
  const UDate at = rules_near_utc ? ToUDate(*rules_near_utc) : ucal_getNow();
  const int year = FromUDate(at).Year();

  UErrorCode status = U_ZERO_ERROR;
  const std::unique_ptr<icu::TimeZoneFormat> names(
      icu::TimeZoneFormat::createInstance(icu::Locale::getUS(), status));
  Check(status, "zone names");

  auto registry = std::make_shared<MemoryRegistry>();
  RegistryNode& zones = registry->CreateKey(RegRoot::HKEY_LOCAL_MACHINE, kTimeZonesKeyNT);
  for (const std::string& key_name : MappedKeyNames()) {
    UErrorCode zone_status = U_ZERO_ERROR;
    icu::UnicodeString zone_id;
    icu::TimeZone::getIDForWindowsID(icu::UnicodeString::fromUTF8(key_name), nullptr, zone_id,
                                     zone_status);
    if (U_FAILURE(zone_status) || zone_id.isBogus() || zone_id.length() == 0) continue;
    const std::unique_ptr<icu::TimeZone> tz(icu::TimeZone::createTimeZone(zone_id));

    TimeZoneEntry entry;
    FillRules(*tz, at, year, entry);
    icu::UnicodeString generic;
    names->format(UTZFMT_STYLE_GENERIC_LONG, *tz, at, generic);

    RegistryNode& key = zones.CreateSubKey(key_name);
    key.SetValue("Display", RegValue::Text(OffsetText(-entry.Bias) + ToUtf8(generic)));
    key.SetValue("Std", RegValue::Text(key_name));
    key.SetValue("Dlt", RegValue::Text(DaylightName(key_name)));
    key.SetValue("MapID", RegValue::Text(""));
    const auto tzi = EncodeTzi(entry);
    key.SetValue("TZI", RegValue::Binary(std::vector<uint8_t>(tzi.begin(), tzi.end())));
  }

  const std::string system_key = SystemKeyName(system_zone_iana);
  RegistryNode& info = registry->CreateKey(RegRoot::HKEY_LOCAL_MACHINE, kTimeZoneInformationKey);
  info.SetValue("TimeZoneKeyName", RegValue::Text(system_key));
  info.SetValue("StandardName", RegValue::Text(system_key));
  return registry;
}

}  // namespace dvrlink
