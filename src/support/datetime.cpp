#include "support/datetime.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

#include "support/runtime_error.h"

namespace dvrlink {

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// Days from 12/30/1899 (serial zero) to 1/1/1970 (day zero of the civil
// calendar arithmetic below).
constexpr int64_t kSerialDaysAt1970 = 25569;

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t FloorMod(int64_t a, int64_t b) { return a - FloorDiv(a, b) * b; }

// Days since 1/1/1970 of a proleptic Gregorian date; month 1-12, day 1-31.
// Eras of 400 years keep the arithmetic exact for any year.
int64_t DaysFromCivil(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = FloorDiv(year, 400);
  const int64_t year_of_era = year - era * 400;                            // [0, 399]
  const int64_t month_from_march = month > 2 ? month - 3 : month + 9;      // [0, 11]
  const int64_t day_of_year = (153 * month_from_march + 2) / 5 + day - 1;  // [0, 365]
  const int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;  // [0, 146096]
  return era * 146097 + day_of_era - 719468;
}

struct Civil {
  int64_t year;
  int month;
  int day;
};

Civil CivilFromDays(int64_t days) {
  days += 719468;
  const int64_t era = FloorDiv(days, 146097);
  const int64_t day_of_era = days - era * 146097;  // [0, 146096]
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;  // month counted from March, [0, 11]
  const int day = static_cast<int>(day_of_year - (153 * mp + 2) / 5 + 1);
  const int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  return Civil{year, month, day};
}

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && IsLeapYear(year)) return 29;
  return kDays[static_cast<size_t>(month - 1)];
}

bool IsValidDate(int64_t year, int64_t month, int64_t day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12) return false;
  return day >= 1 && day <= DaysInMonth(year, static_cast<int>(month));
}

bool IsValidTime(int64_t hour, int64_t minute, int64_t second) {
  return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

// --- text reading ----------------------------------------------------------

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// A run of 1..max_digits ASCII digits making up the whole of s.
std::optional<int64_t> ReadNumber(std::string_view s, size_t min_digits, size_t max_digits) {
  if (s.size() < min_digits || s.size() > max_digits) return std::nullopt;
  int64_t value = 0;
  for (char c : s) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

struct DateFields {
  int64_t year;
  int64_t month;
  int64_t day;
};

struct TimeFields {
  int64_t hour;
  int64_t minute;
  int64_t second;
};

// Splits s at every sep into exactly three fields.
bool SplitThree(std::string_view s, char sep, std::array<std::string_view, 3>& out) {
  size_t field = 0;
  size_t begin = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == sep) {
      if (field == out.size()) return false;
      out[field++] = s.substr(begin, i - begin);
      begin = i + 1;
    }
  }
  return field == out.size();
}

// M/D/YYYY, M/D/YY, YYYY/M/D, with '/' or '-' throughout.
std::optional<DateFields> ReadDate(std::string_view s) {
  const bool has_slash = s.find('/') != std::string_view::npos;
  const bool has_dash = s.find('-') != std::string_view::npos;
  if (has_slash == has_dash) return std::nullopt;  // neither, or mixed
  std::array<std::string_view, 3> f;
  if (!SplitThree(s, has_slash ? '/' : '-', f)) return std::nullopt;

  DateFields d{};
  if (f[0].size() == 4) {
    const auto y = ReadNumber(f[0], 4, 4);
    const auto m = ReadNumber(f[1], 1, 2);
    const auto day = ReadNumber(f[2], 1, 2);
    if (!y || !m || !day) return std::nullopt;
    d = DateFields{*y, *m, *day};
  } else {
    const auto m = ReadNumber(f[0], 1, 2);
    const auto day = ReadNumber(f[1], 1, 2);
    if (!m || !day) return std::nullopt;
    std::optional<int64_t> y;
    if (f[2].size() == 2) {
      y = ReadNumber(f[2], 2, 2);
      // Two-digit years: 00-29 are this century's, 30-99 the last one's.
      if (y) *y += *y < 30 ? 2000 : 1900;
    } else {
      y = ReadNumber(f[2], 4, 4);
    }
    if (!y) return std::nullopt;
    d = DateFields{*y, *m, *day};
  }
  if (!IsValidDate(d.year, d.month, d.day)) return std::nullopt;
  return d;
}

// h:mm or h:mm:ss with an optional fraction of the second, 24-hour clock;
// range checks are left to the caller, which knows whether AM/PM follows.
std::optional<TimeFields> ReadClock(std::string_view s) {
  const size_t first = s.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const auto hour = ReadNumber(s.substr(0, first), 1, 2);
  std::string_view rest = s.substr(first + 1);
  const size_t second_colon = rest.find(':');
  std::optional<int64_t> minute;
  int64_t second = 0;
  if (second_colon == std::string_view::npos) {
    minute = ReadNumber(rest, 2, 2);
  } else {
    minute = ReadNumber(rest.substr(0, second_colon), 2, 2);
    std::string_view sec_text = rest.substr(second_colon + 1);
    const size_t point = sec_text.find('.');
    if (point != std::string_view::npos) {
      // The fraction of the second is read and dropped: DateTime holds whole seconds.
      const std::string_view fraction = sec_text.substr(point + 1);
      if (fraction.empty()) return std::nullopt;
      for (char c : fraction) {
        if (!IsDigit(c)) return std::nullopt;
      }
      sec_text = sec_text.substr(0, point);
    }
    const auto sec = ReadNumber(sec_text, 2, 2);
    if (!sec) return std::nullopt;
    second = *sec;
  }
  if (!hour || !minute) return std::nullopt;
  return TimeFields{*hour, *minute, second};
}

// 0 for no marker, 1 for AM, 2 for PM, -1 for anything else.
int ReadMeridiem(std::string_view s) {
  if (s.size() != 2 || (s[1] != 'm' && s[1] != 'M')) return -1;
  if (s[0] == 'a' || s[0] == 'A') return 1;
  if (s[0] == 'p' || s[0] == 'P') return 2;
  return -1;
}

// A clock reading plus its optional AM/PM marker, validated.
std::optional<TimeFields> ReadTime(std::string_view clock, std::string_view meridiem) {
  auto t = ReadClock(clock);
  if (!t) return std::nullopt;
  if (!meridiem.empty()) {
    const int marker = ReadMeridiem(meridiem);
    if (marker < 0 || t->hour < 1 || t->hour > 12) return std::nullopt;
    t->hour %= 12;  // 12 AM is midnight, 12 PM noon
    if (marker == 2) t->hour += 12;
  }
  if (!IsValidTime(t->hour, t->minute, t->second)) return std::nullopt;
  return t;
}

// YYYY-MM-DDThh:mm:ss (an optional fraction of the second is dropped).
std::optional<DateTime> ReadIso(std::string_view s, size_t t_pos) {
  const std::string_view date = s.substr(0, t_pos);
  const std::string_view clock = s.substr(t_pos + 1);
  if (date.size() != 10 || date[4] != '-' || date[7] != '-') return std::nullopt;
  if (clock.size() < 8 || clock[2] != ':' || clock[5] != ':') return std::nullopt;
  if (clock.size() > 8 && clock[8] != '.') return std::nullopt;
  const auto y = ReadNumber(date.substr(0, 4), 4, 4);
  const auto m = ReadNumber(date.substr(5, 2), 2, 2);
  const auto d = ReadNumber(date.substr(8, 2), 2, 2);
  const auto hh = ReadNumber(clock.substr(0, 2), 2, 2);
  if (!y || !m || !d || !hh || !IsValidDate(*y, *m, *d)) return std::nullopt;
  const auto t = ReadTime(clock, std::string_view());
  if (!t) return std::nullopt;
  return DateTime::FromParts(*y, *m, *d, t->hour, t->minute, t->second);
}

// Splits s into words separated by runs of blanks; at most max_words.
size_t SplitWords(std::string_view s, std::array<std::string_view, 3>& out) {
  size_t count = 0;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && IsBlank(s[i])) ++i;
    if (i == s.size()) break;
    const size_t begin = i;
    while (i < s.size() && !IsBlank(s[i])) ++i;
    if (count == out.size()) return out.size() + 1;
    out[count++] = s.substr(begin, i - begin);
  }
  return count;
}

bool LooksLikeClock(std::string_view word) { return word.find(':') != std::string_view::npos; }

// --- text writing ----------------------------------------------------------

struct Parts {
  int64_t year;
  int month;
  int day;
  int hour;
  int minute;
  int second;
};

Parts Split(int64_t serial_seconds) {
  const int64_t days = FloorDiv(serial_seconds, kSecondsPerDay);
  const int64_t tod = FloorMod(serial_seconds, kSecondsPerDay);
  const Civil c = CivilFromDays(days - kSerialDaysAt1970);
  return Parts{c.year,
               c.month,
               c.day,
               static_cast<int>(tod / 3600),
               static_cast<int>(tod / 60 % 60),
               static_cast<int>(tod % 60)};
}

int Hour12(int hour) { return hour % 12 == 0 ? 12 : hour % 12; }
const char* Meridiem(int hour) { return hour < 12 ? "AM" : "PM"; }

// snprintf into a std::string; every form written here fits the buffer.
__attribute__((format(printf, 1, 2))) std::string Print(const char* format, ...) {
  char buffer[64];
  va_list args;
  va_start(args, format);
  const int n = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (n <= 0) return std::string();
  return std::string(buffer, std::min(static_cast<size_t>(n), sizeof buffer - 1));
}

}  // namespace

DateTime DateTime::FromParts(int64_t year, int64_t month, int64_t day, int64_t hour,
                             int64_t minute, int64_t second) {
  // Months roll into years first, then days and the time of day are plain
  // offsets from the first of the (normalised) month.
  const int64_t months = year * 12 + (month - 1);
  const int64_t y = FloorDiv(months, 12);
  const int64_t m = FloorMod(months, 12) + 1;
  const int64_t days = DaysFromCivil(y, m, 1) + (day - 1) + kSerialDaysAt1970;
  return DateTime(days * kSecondsPerDay + hour * 3600 + minute * 60 + second);
}

std::optional<DateTime> DateTime::Parse(std::string_view text) {
  const std::string_view s = TrimBlanks(text);
  if (s.empty()) return std::nullopt;

  const size_t t_pos = s.find_first_of("Tt");
  if (t_pos != std::string_view::npos) return ReadIso(s, t_pos);

  std::array<std::string_view, 3> words;
  const size_t count = SplitWords(s, words);
  if (count == 0 || count > words.size()) return std::nullopt;

  std::optional<DateFields> date;
  size_t next = 0;
  if (!LooksLikeClock(words[0])) {
    date = ReadDate(words[0]);
    if (!date) return std::nullopt;
    next = 1;
  }
  TimeFields time{0, 0, 0};
  if (next < count) {
    if (!LooksLikeClock(words[next])) return std::nullopt;
    const std::string_view meridiem = next + 1 < count ? words[next + 1] : std::string_view();
    if (next + 2 < count) return std::nullopt;
    const auto t = ReadTime(words[next], meridiem);
    if (!t) return std::nullopt;
    time = *t;
  }
  if (!date) return FromSerialSeconds(time.hour * 3600 + time.minute * 60 + time.second);
  return FromParts(date->year, date->month, date->day, time.hour, time.minute, time.second);
}

std::optional<DateTime> DateTime::FromDigits14(std::string_view text) {
  if (text.size() != 14) return std::nullopt;
  const auto y = ReadNumber(text.substr(0, 4), 4, 4);
  const auto mo = ReadNumber(text.substr(4, 2), 2, 2);
  const auto d = ReadNumber(text.substr(6, 2), 2, 2);
  const auto h = ReadNumber(text.substr(8, 2), 2, 2);
  const auto mi = ReadNumber(text.substr(10, 2), 2, 2);
  const auto s = ReadNumber(text.substr(12, 2), 2, 2);
  if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
  if (!IsValidDate(*y, *mo, *d) || !IsValidTime(*h, *mi, *s)) return std::nullopt;
  return FromParts(*y, *mo, *d, *h, *mi, *s);
}

int DateTime::Year() const { return static_cast<int>(Split(seconds_).year); }
int DateTime::Month() const { return Split(seconds_).month; }
int DateTime::Day() const { return Split(seconds_).day; }
int DateTime::Hour() const { return Split(seconds_).hour; }
int DateTime::Minute() const { return Split(seconds_).minute; }
int DateTime::Second() const { return Split(seconds_).second; }

int DateTime::DayOfWeek() const {
  // Serial day 0 (12/30/1899) was a Saturday.
  return static_cast<int>(FloorMod(FloorDiv(seconds_, kSecondsPerDay) + 6, 7));
}

DateTime DateTime::DatePart() const {
  return DateTime(FloorDiv(seconds_, kSecondsPerDay) * kSecondsPerDay);
}

std::string DateTime::FormatGeneral() const {
  const Parts p = Split(seconds_);
  const bool zero_date = FloorDiv(seconds_, kSecondsPerDay) == 0;
  const bool midnight = p.hour == 0 && p.minute == 0 && p.second == 0;
  const std::string time =
      Print("%d:%02d:%02d %s", Hour12(p.hour), p.minute, p.second, Meridiem(p.hour));
  if (zero_date) return time;
  const std::string date =
      Print("%d/%d/%04lld", p.month, p.day, static_cast<long long>(p.year));
  if (midnight) return date;
  return date + " " + time;
}

std::string DateTime::FormatUS12() const {
  const Parts p = Split(seconds_);
  return Print("%02d/%02d/%04lld %02d:%02d:%02d %s", p.month, p.day,
               static_cast<long long>(p.year), Hour12(p.hour), p.minute, p.second,
               Meridiem(p.hour));
}

std::string DateTime::FormatYmd24() const {
  const Parts p = Split(seconds_);
  return Print("%04lld/%02d/%02d %02d:%02d:%02d", static_cast<long long>(p.year), p.month,
               p.day, p.hour, p.minute, p.second);
}

std::string DateTime::FormatYmd12() const {
  const Parts p = Split(seconds_);
  return Print("%04lld/%02d/%02d %02d:%02d:%02d %s", static_cast<long long>(p.year), p.month,
               p.day, Hour12(p.hour), p.minute, p.second, Meridiem(p.hour));
}

std::string DateTime::FormatMdy24() const {
  const Parts p = Split(seconds_);
  return Print("%02d/%02d/%04lld %02d:%02d:%02d", p.month, p.day,
               static_cast<long long>(p.year), p.hour, p.minute, p.second);
}

std::string DateTime::FormatTime24() const {
  const Parts p = Split(seconds_);
  return Print("%02d:%02d:%02d", p.hour, p.minute, p.second);
}

std::string DateTime::FormatDigits14() const {
  const Parts p = Split(seconds_);
  return Print("%04lld%02d%02d%02d%02d%02d", static_cast<long long>(p.year), p.month, p.day,
               p.hour, p.minute, p.second);
}

std::string DateTime::FormatIso() const {
  const Parts p = Split(seconds_);
  return Print("%04lld-%02d-%02dT%02d:%02d:%02d", static_cast<long long>(p.year), p.month,
               p.day, p.hour, p.minute, p.second);
}

DateTime CDate(std::string_view text) {
  const auto value = DateTime::Parse(text);
  if (!value) DVR_RAISE(kErrTypeMismatch);
  return *value;
}

}  // namespace dvrlink
