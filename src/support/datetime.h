// DateTime: a date and time of whole seconds, counted from the platform's zero
// date 12/30/1899 00:00:00 in a 64-bit number, so every year from 1 to 9999 is
// representable (far beyond 2038). It carries no time zone: it is whatever
// local time the caller says it is.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dvrlink {

class DateTime {
 public:
  // The zero date, 12/30/1899 00:00:00.
  constexpr DateTime() = default;

  // Builds a date from its parts. Out-of-range parts roll over into the next
  // unit (day 32 of January is February 1, minute 60 is the next hour, month
  // 13 is January of the next year, month 0 is December of the year before).
  static DateTime FromParts(int64_t year, int64_t month, int64_t day, int64_t hour = 0,
                            int64_t minute = 0, int64_t second = 0);
  static constexpr DateTime FromSerialSeconds(int64_t s) { return DateTime(s); }

  // Reads the date-time texts the component meets. Accepted forms (blanks
  // around the text are ignored; a date part, a time part, or both):
  //   date: M/D/YYYY or M-D-YYYY (month first), YYYY/M/D or YYYY-M-D (year
  //         first when the first number has four digits); a two-digit year
  //         means 2000-2029 for 00-29 and 1930-1999 for 30-99
  //   time: h:mm or h:mm:ss, an optional fraction of the second (dropped),
  //         optional AM/PM (any case) after a blank; 24-hour without it
  //   ISO:  YYYY-MM-DDThh:mm:ss
  // A text with a time only gets the zero date. Nothing when the text is not
  // a valid date (month 13, February 30, hour 24, ...).
  static std::optional<DateTime> Parse(std::string_view text);

  // 14 digits YYYYMMDDhhmmss (the DVR's form); nothing when not valid.
  static std::optional<DateTime> FromDigits14(std::string_view text);

  int64_t SerialSeconds() const { return seconds_; }
  int Year() const;
  int Month() const;
  int Day() const;
  int Hour() const;
  int Minute() const;
  int Second() const;
  int DayOfWeek() const;  // 0 = Sunday
  // The date part alone (time 00:00:00).
  DateTime DatePart() const;

  DateTime AddSeconds(int64_t s) const { return DateTime(seconds_ + s); }
  DateTime AddMinutes(int64_t m) const { return DateTime(seconds_ + m * 60); }
  // Whole seconds from a to b (b - a).
  static int64_t DiffSeconds(DateTime a, DateTime b) { return b.seconds_ - a.seconds_; }

  // The system's general date form, fixed to the en-US form: "M/D/YYYY
  // h:mm:ss AM" without leading zeros on month, day and hour; the date alone
  // when the time is 00:00:00; the time alone when the date is the zero date
  // (so the zero date itself is "12:00:00 AM").
  std::string FormatGeneral() const;
  // "MM/DD/YYYY hh:mm:ss AM" (12-hour clock, two-digit hour).
  std::string FormatUS12() const;
  // "YYYY/MM/DD hh:mm:ss" (24-hour clock).
  std::string FormatYmd24() const;
  // "YYYY/MM/DD hh:mm:ss AM" (12-hour clock, two-digit hour).
  std::string FormatYmd12() const;
  // "MM/DD/YYYY hh:mm:ss" (24-hour clock).
  std::string FormatMdy24() const;
  // "hh:mm:ss" (24-hour clock).
  std::string FormatTime24() const;
  // "YYYYMMDDhhmmss".
  std::string FormatDigits14() const;
  // "YYYY-MM-DDThh:mm:ss".
  std::string FormatIso() const;

  friend constexpr bool operator==(DateTime a, DateTime b) { return a.seconds_ == b.seconds_; }
  friend constexpr bool operator!=(DateTime a, DateTime b) { return a.seconds_ != b.seconds_; }
  friend constexpr bool operator<(DateTime a, DateTime b) { return a.seconds_ < b.seconds_; }
  friend constexpr bool operator<=(DateTime a, DateTime b) { return a.seconds_ <= b.seconds_; }
  friend constexpr bool operator>(DateTime a, DateTime b) { return a.seconds_ > b.seconds_; }
  friend constexpr bool operator>=(DateTime a, DateTime b) { return a.seconds_ >= b.seconds_; }

 private:
  constexpr explicit DateTime(int64_t s) : seconds_(s) {}
  int64_t seconds_ = 0;
};

// Text to date-time; raises "Type mismatch" (13) when DateTime::Parse fails.
DateTime CDate(std::string_view text);

}  // namespace dvrlink
