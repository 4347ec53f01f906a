// Text-to-number conversions with the rules of the automation layer the
// component was written for: blanks around the number, a sign, a fraction and
// an exponent are accepted; halves round to even; text that is not a number
// (the empty text included) raises "Type mismatch" (13); a value out of range
// raises "Overflow" (6).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dvrlink {

// The value of a numeric text, or nothing when the text is not a number.
// Accepted: optional blanks (space, tab), optional sign, digits with an
// optional decimal point (at least one digit), optional exponent (e/E, optional
// sign, digits), optional blanks. Nothing else (no thousands separators).
std::optional<double> ParseNumber(std::string_view text);

// True when ParseNumber accepts the text.
bool IsNumeric(std::string_view text);

// Rounds half to even and range-checks. Raise 6 when out of range.
int16_t CIntFromDouble(double value);
int32_t CLngFromDouble(double value);

// Text to a 16-bit / 32-bit number. Raise 13 for a text that is not a
// number, 6 for a value out of range.
int16_t CInt(std::string_view text);
int32_t CLng(std::string_view text);
double CDbl(std::string_view text);

// 16-bit arithmetic that raises 6 on overflow, as the platform's Integer
// arithmetic does.
int16_t CheckedMul16(int32_t a, int32_t b);
int16_t CheckedAdd16(int32_t a, int32_t b);

// "True" / "False", the texts booleans are written as.
const char* BoolText(bool value);

}  // namespace dvrlink
