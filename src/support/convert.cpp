#include "support/convert.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include "support/runtime_error.h"

namespace dvrlink {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal exponent of the first significant digit of a validated numeric body
// (digits, optional point, optional exponent). Used only to tell an overflow
// from an underflow when the value does not fit a double; the body is known
// to hold a non-zero digit in that case.
int64_t LeadingDecimalExponent(std::string_view body) {
  size_t i = 0;
  int64_t int_digits = 0;  // significant digits before the point
  bool seen_significant = false;
  while (i < body.size() && IsDigit(body[i])) {
    if (body[i] != '0') seen_significant = true;
    if (seen_significant) ++int_digits;
    ++i;
  }
  int64_t magnitude = 0;
  if (int_digits > 0) {
    magnitude = int_digits - 1;
  } else {
    int64_t zeros = 0;
    if (i < body.size() && body[i] == '.') ++i;
    while (i < body.size() && body[i] == '0') {
      ++zeros;
      ++i;
    }
    magnitude = -(zeros + 1);
  }
  while (i < body.size() && body[i] != 'e' && body[i] != 'E') ++i;
  if (i < body.size()) {
    ++i;
    bool negative = false;
    if (body[i] == '+' || body[i] == '-') {
      negative = body[i] == '-';
      ++i;
    }
    // Saturate: anything this large is out of range either way.
    constexpr int64_t kCap = 1'000'000'000;
    int64_t exponent = 0;
    for (; i < body.size(); ++i) {
      exponent = exponent * 10 + (body[i] - '0');
      if (exponent > kCap) exponent = kCap;
    }
    magnitude += negative ? -exponent : exponent;
  }
  return magnitude;
}

// Rounds to the nearest whole number, halves to the even neighbour, whatever
// the floating-point rounding mode currently is.
double RoundHalfEven(double value) {
  const double floor = std::floor(value);
  const double diff = value - floor;
  if (diff > 0.5) return floor + 1.0;
  if (diff < 0.5) return floor;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

int64_t RoundChecked(double value, int64_t lo, int64_t hi) {
  if (!std::isfinite(value)) DVR_RAISE(kErrOverflow);
  const double rounded = RoundHalfEven(value);
  if (rounded < static_cast<double>(lo) || rounded > static_cast<double>(hi)) {
    DVR_RAISE(kErrOverflow);
  }
  return static_cast<int64_t>(rounded);
}

int16_t CheckedInt16(int64_t value) {
  if (value < std::numeric_limits<int16_t>::min() || value > std::numeric_limits<int16_t>::max()) {
    DVR_RAISE(kErrOverflow);
  }
  return static_cast<int16_t>(value);
}

}  // namespace

std::optional<double> ParseNumber(std::string_view text) {
  size_t i = 0;
  const size_t n = text.size();
  while (i < n && IsBlank(text[i])) ++i;

  bool negative = false;
  if (i < n && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }

  const size_t body_start = i;
  size_t mantissa_digits = 0;
  while (i < n && IsDigit(text[i])) {
    ++i;
    ++mantissa_digits;
  }
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && IsDigit(text[i])) {
      ++i;
      ++mantissa_digits;
    }
  }
  if (mantissa_digits == 0) return std::nullopt;

  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < n && IsDigit(text[i])) {
      ++i;
      ++exponent_digits;
    }
    if (exponent_digits == 0) return std::nullopt;
  }
  const size_t body_end = i;

  while (i < n && IsBlank(text[i])) ++i;
  if (i != n) return std::nullopt;

  // The body is now plain digits, point and exponent: from_chars reads it the
  // same way in every locale.
  const std::string_view body = text.substr(body_start, body_end - body_start);
  double value = 0.0;
  const auto result = std::from_chars(body.data(), body.data() + body.size(), value,
                                      std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    value = LeadingDecimalExponent(body) >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (result.ec != std::errc() || result.ptr != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

bool IsNumeric(std::string_view text) { return ParseNumber(text).has_value(); }

int16_t CIntFromDouble(double value) {
  return static_cast<int16_t>(RoundChecked(value, std::numeric_limits<int16_t>::min(),
                                           std::numeric_limits<int16_t>::max()));
}

int32_t CLngFromDouble(double value) {
  return static_cast<int32_t>(RoundChecked(value, std::numeric_limits<int32_t>::min(),
                                           std::numeric_limits<int32_t>::max()));
}

int16_t CInt(std::string_view text) {
  const auto value = ParseNumber(text);
  if (!value) DVR_RAISE(kErrTypeMismatch);
  return CIntFromDouble(*value);
}

int32_t CLng(std::string_view text) {
  const auto value = ParseNumber(text);
  if (!value) DVR_RAISE(kErrTypeMismatch);
  return CLngFromDouble(*value);
}

double CDbl(std::string_view text) {
  const auto value = ParseNumber(text);
  if (!value) DVR_RAISE(kErrTypeMismatch);
  // A number too large for a double ("1e400") is an overflow, not a mismatch.
  if (!std::isfinite(*value)) DVR_RAISE(kErrOverflow);
  return *value;
}

int16_t CheckedMul16(int32_t a, int32_t b) {
  return CheckedInt16(static_cast<int64_t>(a) * static_cast<int64_t>(b));
}

int16_t CheckedAdd16(int32_t a, int32_t b) {
  return CheckedInt16(static_cast<int64_t>(a) + static_cast<int64_t>(b));
}

const char* BoolText(bool value) { return value ? "True" : "False"; }

}  // namespace dvrlink
