// Number conversions and the string helpers.
#include "support/convert.h"

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

// Runs f and returns the error number it raised, or 0 when it returned.
template <typename F>
int32_t RaisedNumber(F&& f) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

// What f returns, or nullopt when it raised Overflow.
template <typename F>
std::optional<int32_t> OrOverflow(F&& f) {
  try {
    return f();
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrOverflow);
    return std::nullopt;
  }
}

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::nullopt_t kOverflow = std::nullopt;

TEST(ParseNumberTest, AcceptsOnlyPlainDecimalNumbers) {
  const std::pair<const char*, double> kNumbers[] = {
      {" 12 ", 12}, {"\t-3.5\t", -3.5}, {"+7", 7}, {"2.5E-1", 0.25}, {".5", 0.5},       {"5.", 5},
      {"1E+2", 100}, {"1e400", kInf},    {"1e-400", 0}, {"0.000001e306", 1e300}};
  for (const auto& [text, value] : kNumbers) {
    SCOPED_TRACE(std::string("text \"") + text + "\"");
    ASSERT_TRUE(ParseNumber(text).has_value());
    EXPECT_DOUBLE_EQ(*ParseNumber(text), value);
    EXPECT_TRUE(IsNumeric(text));
  }
  EXPECT_EQ(ParseNumber("0." + std::string(330, '0') + "1e1"), 0.0);  // below the range after the zeros
  for (const char* text : {"", " ", "1,000", "12abc", "0x10", "1e+", "+-1", "inf", "nan", ".", "1 2", "1.2.3", "e5",
                           "- 1"}) {
    SCOPED_TRACE(std::string("text \"") + text + "\"");
    EXPECT_FALSE(ParseNumber(text).has_value());
    EXPECT_FALSE(IsNumeric(text));
  }
}

TEST(RoundingTest, HalvesGoToEvenAndRangeIsCheckedAfterRounding) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const struct {
    double value;
    std::optional<int32_t> as_int16, as_int32;  // nullopt: Overflow
  } kCases[] = {
      {2.5, 2, 2}, {3.5, 4, 4}, {-2.5, -2, -2}, {-0.5, 0, 0}, {2.4999, 2, 2}, {2.5001, 3, 3}, {32767.4, 32767, 32767},
      {32767.5, kOverflow, 32768}, {-32768.5, -32768, -32768}, {-32768.6, kOverflow, -32769},
      {2147483647.4, kOverflow, 2147483647}, {2147483647.5, kOverflow, kOverflow},
      {-2147483648.5, kOverflow, -2147483647 - 1}, {-2147483649.0, kOverflow, kOverflow}, {kNaN, kOverflow, kOverflow},
      {-kInf, kOverflow, kOverflow},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("value " + std::to_string(c.value));
    EXPECT_EQ(OrOverflow([&] { return CIntFromDouble(c.value); }), c.as_int16);
    EXPECT_EQ(OrOverflow([&] { return CLngFromDouble(c.value); }), c.as_int32);
  }
}

TEST(TextConversionTest, MismatchForNonNumbersOverflowForLargeOnes) {
  const struct {
    const char* text;
    int32_t cint_error, clng_error, cdbl_error;
  } kCases[] = {
      {"", kErrTypeMismatch, kErrTypeMismatch, kErrTypeMismatch},
      {"12abc", kErrTypeMismatch, kErrTypeMismatch, kErrTypeMismatch},
      {"32767.5", kErrOverflow, 0, 0}, {"-32769", kErrOverflow, 0, 0}, {"3000000000", kErrOverflow, kErrOverflow, 0},
      {"1e400", kErrOverflow, kErrOverflow, kErrOverflow}, {" 42 ", 0, 0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    EXPECT_EQ(RaisedNumber([&] { CInt(c.text); }), c.cint_error);
    EXPECT_EQ(RaisedNumber([&] { CLng(c.text); }), c.clng_error);
    EXPECT_EQ(RaisedNumber([&] { CDbl(c.text); }), c.cdbl_error);
  }
  EXPECT_EQ(CLng("2.5e1"), 25);
  EXPECT_DOUBLE_EQ(CDbl("-2.5E-1"), -0.25);
}

TEST(Checked16Test, RaisesOverflowOutsideInt16) {
  const struct {
    bool multiply;
    int32_t a, b;
    std::optional<int32_t> result;
  } kCases[] = {{true, 546, 60, 32760},     {true, 547, 60, kOverflow},    {true, -512, 64, -32768},
                {true, 65536, 65536, kOverflow}, {false, 32766, 1, 32767}, {false, 32767, 1, kOverflow},
                {false, -32767, -1, -32768}, {false, -32768, -1, kOverflow}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.a) + (c.multiply ? " * " : " + ") + std::to_string(c.b));
    EXPECT_EQ(OrOverflow([&] { return c.multiply ? CheckedMul16(c.a, c.b) : CheckedAdd16(c.a, c.b); }), c.result);
  }
}

TEST(VbStringTest, CuttingAndSearchingClampToTheText) {
  const struct {
    const char* name;
    std::string got;
    const char* expected;
  } kCases[] = {
      {"Mid middle", Mid("Hello", 2, 3), "ell"},    {"Mid rest", Mid("Hello", 2), "ello"},
      {"Mid past end", Mid("Hello", 9), ""},        {"Mid last char", Mid("Hello", 5, 10), "o"},
      {"Left clamp", Left("Hello", 10), "Hello"},   {"Left two", Left("Hello", 2), "He"},
      {"Right two", Right("Hello", 2), "lo"},       {"Right clamp", Right("Hello", 10), "Hello"},
      {"Trim spaces", Trim("  a b  "), "a b"},      {"Trim keeps tabs", Trim("\ta\t"), "\ta\t"},
      {"UCase ascii only", UCase("abZ\xc3\xa9"), "ABZ\xc3\xa9"},
      {"LCase ascii only", LCase("AbZ\xc3\x89"), "abz\xc3\x89"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.got, c.expected);
  }
  // InStr is one-based; 0 means not found.
  const struct {
    int64_t start;
    const char *haystack, *needle;
    int64_t expected;
  } kFinds[] = {{4, "abcabc", "c", 6}, {6, "abcabc", "c", 6}, {1, "abcabc", "C", 0}, {7, "abc", "a", 0},
                {4, "abc", "", 4},     {5, "abc", "", 0}};
  for (const auto& c : kFinds) {
    SCOPED_TRACE(std::string("InStr ") + std::to_string(c.start) + " " + c.haystack + " " + c.needle);
    EXPECT_EQ(InStr(c.start, c.haystack, c.needle), c.expected);
  }
  EXPECT_TRUE(EqualsNoCase("DvR-01", "dVr-01"));
  EXPECT_FALSE(EqualsNoCase("dvr", "dvr "));
  // Bad positions raise Invalid procedure call.
  EXPECT_EQ(RaisedNumber([] { Mid("Hello", 0); }), kErrInvalidCall);
  EXPECT_EQ(RaisedNumber([] { Left("Hello", -1); }), kErrInvalidCall);
  EXPECT_EQ(RaisedNumber([] { Right("Hello", -1); }), kErrInvalidCall);
  EXPECT_EQ(RaisedNumber([] { InStr(0, "abc", "a"); }), kErrInvalidCall);
}

}  // namespace
}  // namespace dvrlink
