#include "timezone/tzi.h"

#include <algorithm>

namespace dvrlink {
namespace {

void Put16(uint8_t* p, int16_t v) {
  const auto u = static_cast<uint16_t>(v);
  p[0] = static_cast<uint8_t>(u & 0xFF);
  p[1] = static_cast<uint8_t>(u >> 8);
}

void Put32(uint8_t* p, int32_t v) {
  const auto u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(u >> (8 * i));
}

int16_t Get16(const uint8_t* p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }

int32_t Get32(const uint8_t* p) {
  uint32_t u = 0;
  for (int i = 3; i >= 0; --i) u = (u << 8) | p[i];
  return static_cast<int32_t>(u);
}

void PutSystemTime(uint8_t* p, const SystemTime& t) {
  Put16(p, t.wYear);
  Put16(p + 2, t.wMonth);
  Put16(p + 4, t.wDayOfWeek);
  Put16(p + 6, t.wDay);
  Put16(p + 8, t.wHour);
  Put16(p + 10, t.wMinute);
  Put16(p + 12, t.wSecond);
  Put16(p + 14, t.wMilliseconds);
}

SystemTime GetSystemTime(const uint8_t* p) {
  SystemTime t;
  t.wYear = Get16(p);
  t.wMonth = Get16(p + 2);
  t.wDayOfWeek = Get16(p + 4);
  t.wDay = Get16(p + 6);
  t.wHour = Get16(p + 8);
  t.wMinute = Get16(p + 10);
  t.wSecond = Get16(p + 12);
  t.wMilliseconds = Get16(p + 14);
  return t;
}

}  // namespace

std::array<uint8_t, kTziSize> EncodeTzi(const TimeZoneEntry& zone) {
  std::array<uint8_t, kTziSize> out{};
  Put32(&out[0], zone.Bias);
  Put32(&out[4], zone.StandardBias);
  Put32(&out[8], zone.DaylightBias);
  PutSystemTime(&out[12], zone.StandardDate);
  PutSystemTime(&out[28], zone.DaylightDate);
  return out;
}

void DecodeTzi(const std::vector<uint8_t>& bytes, TimeZoneEntry& zone) {
  std::array<uint8_t, kTziSize> record{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), kTziSize), record.begin());
  zone.Bias = Get32(&record[0]);
  zone.StandardBias = Get32(&record[4]);
  zone.DaylightBias = Get32(&record[8]);
  zone.StandardDate = GetSystemTime(&record[12]);
  zone.DaylightDate = GetSystemTime(&record[28]);
}

}  // namespace dvrlink
