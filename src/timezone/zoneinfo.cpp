#include "timezone/zoneinfo.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace dvrlink {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kSerialSecondsAt1970 = 25569LL * 86400;
constexpr int32_t kSecondsPerDay = 86400;
constexpr size_t kMaxZoneFileBytes = 1 << 20;

int64_t UnixSeconds(DateTime t) { return t.SerialSeconds() - kSerialSecondsAt1970; }
DateTime FromUnix(int64_t s) { return DateTime::FromSerialSeconds(s + kSerialSecondsAt1970); }

int DaysInMonth(int year, int month) { return DateTime::FromParts(year, month + 1, 0).Day(); }

bool IsAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads a POSIX TZ text from left to right.
class RuleReader {
 public:
  explicit RuleReader(std::string_view text) : text_(text) {}
  bool AtEnd() const { return pos_ == text_.size(); }
  bool Take(char c) {
    if (pos_ >= text_.size() || text_[pos_] != c) return false;
    ++pos_;
    return true;
  }
  // A zone abbreviation: "<" letters, digits, "+" and "-" ">", or three or
  // more letters.
  bool Name() {
    const bool quoted = Take('<');
    const size_t start = pos_;
    while (pos_ < text_.size() &&
           (IsAlpha(text_[pos_]) || (quoted && (IsDigit(text_[pos_]) || text_[pos_] == '+' || text_[pos_] == '-')))) {
      ++pos_;
    }
    return pos_ - start >= 3 && (!quoted || Take('>'));
  }
  // A number of 1 to max_digits digits no greater than max.
  std::optional<int> Number(size_t max_digits, int max) {
    const size_t start = pos_;
    int n = 0;
    while (pos_ < text_.size() && IsDigit(text_[pos_]) && pos_ - start < max_digits) n = n * 10 + (text_[pos_++] - '0');
    if (pos_ == start || n > max) return std::nullopt;
    return n;
  }
  // [+-]hh[:mm[:ss]] in seconds, hours no greater than max_hours.
  std::optional<int32_t> Time(int max_hours) {
    const int32_t sign = Take('-') ? -1 : 1;
    if (sign > 0) Take('+');
    std::optional<int> hours = Number(3, max_hours);
    if (!hours) return std::nullopt;
    int32_t seconds = *hours * 3600;
    for (int32_t unit : {60, 1}) {
      if (!Take(':')) break;
      std::optional<int> part = Number(2, 59);
      if (!part) return std::nullopt;
      seconds += *part * unit;
    }
    return sign * seconds;
  }
  // Mm.w.d or Jn, then [/time].
  std::optional<PosixChange> Change() {
    PosixChange c;
    std::optional<int> a, b, d;
    if (Take('M')) {
      a = Number(2, 12);
      b = a && Take('.') ? Number(1, 5) : std::nullopt;
      d = b && Take('.') ? Number(1, 6) : std::nullopt;
      if (!d || *a < 1 || *b < 1) return std::nullopt;
      c.month = *a;
      c.week = *b;
      c.weekday = *d;
    } else {
      c.julian = Take('J');
      a = c.julian ? Number(3, 365) : std::nullopt;
      if (!a || *a < 1) return std::nullopt;
      c.day = *a;
    }
    if (Take('/')) {
      std::optional<int32_t> time = Time(167);
      if (!time) return std::nullopt;
      c.time = *time;
    }
    return c;
  }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

uint32_t Get32(std::string_view b, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(b[at + i]);
  return v;
}

int64_t Get64(std::string_view b, size_t at) {
  return static_cast<int64_t>((static_cast<uint64_t>(Get32(b, at)) << 32) | Get32(b, at + 4));
}

// The counts of a TZif header: isutcnt, isstdcnt, leapcnt, timecnt,
// typecnt, charcnt.
struct Counts {
  size_t isut, isstd, leap, time, type, chars;
  size_t DataBytes(size_t time_bytes) const {
    return time * time_bytes + time + type * 6 + chars + leap * (time_bytes + 4) + isstd + isut;
  }
};

constexpr size_t kHeaderBytes = 44;

bool ReadHeader(std::string_view b, size_t at, Counts& c) {
  if (b.size() < at + kHeaderBytes || b.substr(at, 4) != "TZif") return false;
  c = Counts{Get32(b, at + 20), Get32(b, at + 24), Get32(b, at + 28),
             Get32(b, at + 32), Get32(b, at + 36), Get32(b, at + 40)};
  return true;
}

bool ReadFileBytes(const std::string& path, std::string& bytes, std::string& error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    error = "no zone file " + path;
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    error = "cannot read " + path;
    return false;
  }
  if (bytes.size() > kMaxZoneFileBytes) {
    error = path + " is too large for a zone file";
    return false;
  }
  return true;
}

std::string StripColon(const std::string& setting) {
  return !setting.empty() && setting[0] == ':' ? setting.substr(1) : setting;
}

// A zone name without the "posix/" or "right/" folder.
std::string WithoutVariant(std::string name) {
  for (const char* variant : {"posix/", "right/"}) {
    if (name.rfind(variant, 0) == 0) return name.substr(std::string(variant).size());
  }
  return name;
}

void SetTimeOfDay(SystemTime& t, int64_t millis) {
  t.wHour = static_cast<int16_t>(millis / 3600000);
  t.wMinute = static_cast<int16_t>(millis / 60000 % 60);
  t.wSecond = static_cast<int16_t>(millis / 1000 % 60);
  t.wMilliseconds = static_cast<int16_t>(millis % 1000);
}

// The occurrence (1..4, 5 = the last) of a day's weekday in its month.
int16_t OccurrenceInMonth(DateTime day) {
  const int week = (day.Day() + 6) / 7;
  if (week >= 5 || day.Day() + 7 > DaysInMonth(day.Year(), day.Month())) return 5;
  return static_cast<int16_t>(week);
}

// A change as a TZI date: one that holds every year when it has one, else
// as it falls in `year`.
void ToSystemTime(const PosixChange& change, int year, SystemTime& t) {
  t = SystemTime();
  if (change.time >= 0 && change.time <= kSecondsPerDay) {
    if (change.julian) {
      // The day in a year without February 29.
      const DateTime day = ChangeIn(change, 2001).DatePart();
      t.wYear = static_cast<int16_t>(year);
      t.wMonth = static_cast<int16_t>(day.Month());
      t.wDay = static_cast<int16_t>(day.Day());
    } else {
      t.wMonth = static_cast<int16_t>(change.month);
      t.wDayOfWeek = static_cast<int16_t>(change.weekday);
      t.wDay = static_cast<int16_t>(change.week);
    }
    // 24:00 is the last instant of the day, as the registry writes it.
    SetTimeOfDay(t, change.time == kSecondsPerDay ? int64_t{kSecondsPerDay} * 1000 - 1 : int64_t{change.time} * 1000);
    return;
  }
  const DateTime at = ChangeIn(change, year);
  t.wMonth = static_cast<int16_t>(at.Month());
  if (change.julian) {
    t.wYear = static_cast<int16_t>(year);
    t.wDay = static_cast<int16_t>(at.Day());
  } else {
    t.wDayOfWeek = static_cast<int16_t>(at.DayOfWeek());
    t.wDay = OccurrenceInMonth(at);
  }
  SetTimeOfDay(t, DateTime::DiffSeconds(at.DatePart(), at) * 1000);
}

}  // namespace

std::optional<PosixRule> ParsePosixRule(std::string_view text) {
  RuleReader in(text);
  PosixRule rule;
  std::optional<int32_t> offset;
  if (!in.Name() || !(offset = in.Time(24))) return std::nullopt;
  rule.std_offset = -*offset;
  if (in.AtEnd()) return rule;
  if (!in.Name()) return std::nullopt;
  rule.has_dst = true;
  rule.dst_offset = rule.std_offset + 3600;
  bool dates = in.Take(',');
  if (!dates && !in.AtEnd()) {
    if (!(offset = in.Time(24))) return std::nullopt;
    rule.dst_offset = -*offset;
    dates = in.Take(',');
    if (!dates && !in.AtEnd()) return std::nullopt;
  }
  if (!dates) {
    rule.dst_start.month = 3;
    rule.dst_start.week = 2;
    rule.dst_end.month = 11;
    rule.dst_end.week = 1;
    return rule;
  }
  std::optional<PosixChange> start = in.Change();
  std::optional<PosixChange> end = start && in.Take(',') ? in.Change() : std::nullopt;
  if (!end || !in.AtEnd()) return std::nullopt;
  rule.dst_start = *start;
  rule.dst_end = *end;
  return rule;
}

DateTime ChangeIn(const PosixChange& change, int year) {
  if (change.julian) {
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return DateTime::FromParts(year, 1, change.day + (leap && change.day >= 60 ? 1 : 0)).AddSeconds(change.time);
  }
  const int first_weekday = DateTime::FromParts(year, change.month, 1).DayOfWeek();
  int d = 1 + (change.weekday - first_weekday + 7) % 7 + (change.week - 1) * 7;
  while (d > DaysInMonth(year, change.month)) d -= 7;
  return DateTime::FromParts(year, change.month, d).AddSeconds(change.time);
}

int32_t PosixOffsetAt(const PosixRule& rule, int64_t utc) {
  if (!rule.has_dst) return rule.std_offset;
  const int year = FromUnix(utc + rule.std_offset).Year();
  // Standard time runs up to the start, daylight time up to the end.
  const int64_t start = UnixSeconds(ChangeIn(rule.dst_start, year)) - rule.std_offset;
  const int64_t end = UnixSeconds(ChangeIn(rule.dst_end, year)) - rule.dst_offset;
  const bool daylight = start < end ? start <= utc && utc < end : !(end <= utc && utc < start);
  return daylight ? rule.dst_offset : rule.std_offset;
}

int32_t ZoneFile::OffsetAt(int64_t utc) const {
  if (footer && (transitions.empty() || utc >= transitions.back())) return PosixOffsetAt(*footer, utc);
  const auto after = std::upper_bound(transitions.begin(), transitions.end(), utc);
  if (after == transitions.begin()) return first_offset;
  return offsets[static_cast<size_t>(after - transitions.begin() - 1)];
}

std::optional<int64_t> LastDepartureFromFooter(const ZoneFile& zone, int64_t from, int64_t until) {
  if (!zone.footer || zone.transitions.empty()) return std::nullopt;
  const int64_t last = std::min(zone.transitions.back(), until);
  // Between two changes of either, both offsets hold still: compare once.
  std::vector<int64_t> changes = {from, last};
  for (int64_t t : zone.transitions) changes.push_back(t);
  if (zone.footer->has_dst) {
    for (int year = FromUnix(from).Year(); year <= FromUnix(last).Year(); ++year) {
      changes.push_back(UnixSeconds(ChangeIn(zone.footer->dst_start, year)) - zone.footer->std_offset);
      changes.push_back(UnixSeconds(ChangeIn(zone.footer->dst_end, year)) - zone.footer->dst_offset);
    }
  }
  std::sort(changes.begin(), changes.end());
  std::optional<int64_t> departure;
  for (size_t i = 0; i + 1 < changes.size(); ++i) {
    const int64_t t = changes[i];
    if (t < from || changes[i + 1] > last || t == changes[i + 1]) continue;
    if (zone.OffsetAt(t) != PosixOffsetAt(*zone.footer, t)) departure = changes[i + 1] - 1;
  }
  return departure;
}

std::optional<ZoneFile> ParseZoneFile(std::string_view b, std::string& error) {
  Counts c{};
  if (!ReadHeader(b, 0, c)) {
    error = "not a TZif file";
    return std::nullopt;
  }
  const bool version1 = b[4] == '\0';
  size_t at = kHeaderBytes;
  size_t time_bytes = 4;
  if (!version1) {
    // The 64-bit data follows the version 1 data and a second header.
    at += c.DataBytes(4);
    if (!ReadHeader(b, at, c)) {
      error = "the TZif file ends before its second header";
      return std::nullopt;
    }
    at += kHeaderBytes;
    time_bytes = 8;
  }
  if (c.type == 0 || b.size() < at + c.DataBytes(time_bytes)) {
    error = c.type == 0 ? "the TZif file has no local time types" : "the TZif file ends too early";
    return std::nullopt;
  }
  const size_t indices = at + c.time * time_bytes;
  const size_t types = indices + c.time;
  auto type_offset = [&](size_t type) { return static_cast<int32_t>(Get32(b, types + 6 * type)); };
  ZoneFile zone;
  zone.first_offset = type_offset(0);
  for (size_t i = 0; i < c.time; ++i) {
    const size_t type = static_cast<unsigned char>(b[indices + i]);
    if (type >= c.type) {
      error = "the TZif file names a local time type it does not have";
      return std::nullopt;
    }
    zone.transitions.push_back(time_bytes == 8 ? Get64(b, at + 8 * i) : static_cast<int32_t>(Get32(b, at + 4 * i)));
    zone.offsets.push_back(type_offset(type));
  }
  if (version1) return zone;
  // The footer: the rule between two line ends; empty when there is none.
  const size_t footer = at + c.DataBytes(time_bytes);
  const size_t footer_end = b.find('\n', footer + 1);
  if (footer >= b.size() || b[footer] != '\n' || footer_end == std::string_view::npos) {
    error = "the TZif file has no footer line";
    return std::nullopt;
  }
  const std::string_view text = b.substr(footer + 1, footer_end - footer - 1);
  if (!text.empty()) {
    zone.footer = ParsePosixRule(text);
    if (!zone.footer) {
      error = "the TZif footer '" + std::string(text) + "' is not a TZ rule";
      return std::nullopt;
    }
  }
  return zone;
}

std::string ZoneInfoDir() {
  const char* dir = std::getenv("TZDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo";
}

std::optional<ZoneFile> LoadZone(const std::string& setting, std::string& error) {
  const std::string name = StripColon(setting);
  if (name.empty()) return ZoneFile();
  const std::string path = name[0] == '/' ? name : ZoneInfoDir() + "/" + name;
  std::error_code ec;
  if (name[0] == '/' || fs::is_regular_file(path, ec)) {
    std::string bytes;
    if (!ReadFileBytes(path, bytes, error)) return std::nullopt;
    std::optional<ZoneFile> zone = ParseZoneFile(bytes, error);
    if (!zone) error = path + ": " + error;
    return zone;
  }
  if (std::optional<PosixRule> rule = ParsePosixRule(name)) {
    ZoneFile zone;
    zone.footer = rule;
    return zone;
  }
  error = "'" + name + "' is neither a zone under " + ZoneInfoDir() + " nor a TZ rule";
  return std::nullopt;
}

std::string ZoneNameOf(const std::string& setting) {
  const std::string name = StripColon(setting);
  if (name.empty()) return "UTC";
  if (name[0] == '/') {
    const std::string folder = "/zoneinfo/";
    const size_t found = name.rfind(folder);
    return found == std::string::npos ? std::string() : WithoutVariant(name.substr(found + folder.size()));
  }
  std::error_code ec;
  return fs::is_regular_file(ZoneInfoDir() + "/" + name, ec) ? WithoutVariant(name) : std::string();
}

std::string ComputerZoneSetting(const char* tz_env, const std::string& localtime_path) {
  if (tz_env != nullptr) return *tz_env == '\0' ? "UTC" : tz_env;
  std::error_code ec;
  if (!fs::is_symlink(localtime_path, ec)) return localtime_path;
  fs::path target = fs::read_symlink(localtime_path, ec);
  if (target.is_relative()) target = fs::path(localtime_path).parent_path() / target;
  return target.lexically_normal().string();
}

void FillTziRules(const PosixRule& rule, int reference_year, TimeZoneEntry& entry) {
  entry.StandardBias = 0;
  entry.StandardDate = SystemTime();
  entry.DaylightDate = SystemTime();
  if (!rule.has_dst || rule.dst_offset == rule.std_offset) {
    entry.Bias = -rule.std_offset / 60;
    entry.DaylightBias = -60;
    return;
  }
  // Negative daylight time (winter below the standard offset) is written
  // with the lower offset as standard time; each change's time stays on the
  // clock in force before it.
  const bool negative = rule.dst_offset < rule.std_offset;
  const int32_t standard = negative ? rule.dst_offset : rule.std_offset;
  const int32_t daylight = negative ? rule.std_offset : rule.dst_offset;
  entry.Bias = -standard / 60;
  entry.DaylightBias = -(daylight - standard) / 60;
  ToSystemTime(negative ? rule.dst_end : rule.dst_start, reference_year, entry.DaylightDate);
  ToSystemTime(negative ? rule.dst_start : rule.dst_end, reference_year, entry.StandardDate);
}

}  // namespace dvrlink
