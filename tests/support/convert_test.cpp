#include "support/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "support/runtime_error.h"

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

TEST(ParseNumberTest, AcceptsOnlyPlainDecimalNumbers) {
  const double kInf = std::numeric_limits<double>::infinity();
  const struct {
    const char* text;
    std::optional<double> expected;
  } kCases[] = {
      {" 12 ", 12},   {"\t-3.5\t", -3.5}, {"+7", 7},         {"1e3", 1000},
      {"2.5E-1", 0.25}, {".5", 0.5},      {"5.", 5},         {"-0", 0},
      {"007", 7},     {"1E+2", 100},      {"1e400", kInf},   {"-1e400", -kInf},
      {"1e-400", 0},  {"0.000001e306", 1e300},
      {"", std::nullopt},      {" ", std::nullopt},     {"abc", std::nullopt},
      {"1,000", std::nullopt}, {"12abc", std::nullopt}, {"0x10", std::nullopt},
      {"1e", std::nullopt},    {"1e+", std::nullopt},   {"--1", std::nullopt},
      {"+-1", std::nullopt},   {"inf", std::nullopt},   {"nan", std::nullopt},
      {".", std::nullopt},     {"-", std::nullopt},     {"1 2", std::nullopt},
      {"1.2.3", std::nullopt}, {"e5", std::nullopt},    {"- 1", std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    const auto got = ParseNumber(c.text);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (got) {
      EXPECT_DOUBLE_EQ(*got, *c.expected);
    }
    EXPECT_EQ(IsNumeric(c.text), c.expected.has_value());
  }
}

TEST(RoundingTest, HalvesGoToEvenAndRangeIsCheckedAfterRounding) {
  const double kNaN = std::numeric_limits<double>::quiet_NaN();
  const double kInf = std::numeric_limits<double>::infinity();
  // expected == nullopt means "Overflow".
  const struct {
    double value;
    std::optional<int32_t> as_int16;
    std::optional<int32_t> as_int32;
  } kCases[] = {
      {2.5, 2, 2},           {3.5, 4, 4},           {-2.5, -2, -2},        {0.5, 0, 0},
      {1.5, 2, 2},           {-0.5, 0, 0},          {2.4999, 2, 2},        {2.5001, 3, 3},
      {32767.4, 32767, 32767}, {32767.5, std::nullopt, 32768},
      {-32768.5, -32768, -32768}, {-32768.6, std::nullopt, -32769},
      {-32769, std::nullopt, -32769},
      {2147483647.4, std::nullopt, 2147483647}, {2147483647.5, std::nullopt, std::nullopt},
      {-2147483648.5, std::nullopt, -2147483647 - 1}, {-2147483649.0, std::nullopt, std::nullopt},
      {1e300, std::nullopt, std::nullopt}, {kNaN, std::nullopt, std::nullopt},
      {kInf, std::nullopt, std::nullopt},  {-kInf, std::nullopt, std::nullopt},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE("value " + std::to_string(c.value));
    if (c.as_int16) {
      EXPECT_EQ(CIntFromDouble(c.value), *c.as_int16);
    } else {
      EXPECT_EQ(RaisedNumber([&] { CIntFromDouble(c.value); }), kErrOverflow);
    }
    if (c.as_int32) {
      EXPECT_EQ(CLngFromDouble(c.value), *c.as_int32);
    } else {
      EXPECT_EQ(RaisedNumber([&] { CLngFromDouble(c.value); }), kErrOverflow);
    }
  }
}

TEST(TextConversionTest, MismatchForNonNumbersOverflowForLargeOnes) {
  const struct {
    const char* text;
    int32_t cint_error;
    int32_t clng_error;
    int32_t cdbl_error;
  } kCases[] = {
      {"", kErrTypeMismatch, kErrTypeMismatch, kErrTypeMismatch},
      {"12abc", kErrTypeMismatch, kErrTypeMismatch, kErrTypeMismatch},
      {"32767.5", kErrOverflow, 0, 0},
      {"-32769", kErrOverflow, 0, 0},
      {"3000000000", kErrOverflow, kErrOverflow, 0},
      {"1e400", kErrOverflow, kErrOverflow, kErrOverflow},
      {" 42 ", 0, 0, 0},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    EXPECT_EQ(RaisedNumber([&] { CInt(c.text); }), c.cint_error);
    EXPECT_EQ(RaisedNumber([&] { CLng(c.text); }), c.clng_error);
    EXPECT_EQ(RaisedNumber([&] { CDbl(c.text); }), c.cdbl_error);
  }
  EXPECT_EQ(CInt("32767.4"), 32767);
  EXPECT_EQ(CInt("-32768.5"), -32768);
  EXPECT_EQ(CLng("2.5e1"), 25);
  EXPECT_DOUBLE_EQ(CDbl("-2.5E-1"), -0.25);
}

TEST(Checked16Test, RaisesOverflowOutsideInt16) {
  EXPECT_EQ(CheckedMul16(546, 60), 32760);
  EXPECT_EQ(RaisedNumber([] { CheckedMul16(547, 60); }), kErrOverflow);
  EXPECT_EQ(CheckedMul16(-512, 64), -32768);
  EXPECT_EQ(RaisedNumber([] { CheckedMul16(65536, 65536); }), kErrOverflow);
  EXPECT_EQ(CheckedAdd16(32766, 1), 32767);
  EXPECT_EQ(RaisedNumber([] { CheckedAdd16(32767, 1); }), kErrOverflow);
  EXPECT_EQ(CheckedAdd16(-32767, -1), -32768);
  EXPECT_EQ(RaisedNumber([] { CheckedAdd16(-32768, -1); }), kErrOverflow);
}

TEST(RuntimeErrorTest, RaiseCarriesNumberStandardTextAndLine) {
  try {
    Raise(kErrOverflow, 42);
    FAIL() << "Raise returned";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrOverflow);
    EXPECT_STREQ(e.what(), "Overflow");
    EXPECT_EQ(e.Description(), "Overflow");
    EXPECT_EQ(e.Line(), 42);
  }
  try {
    DVR_RAISE_TEXT(kErrCantCreate, "no factory");
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrCantCreate);
    EXPECT_STREQ(e.what(), "no factory");
    EXPECT_GT(e.Line(), 0);
  }
  EXPECT_EQ(StandardDescription(kErrNoMember), "Object doesn't support this property or method");
  EXPECT_EQ(StandardDescription(7), "");
  EXPECT_STREQ(BoolText(true), "True");
  EXPECT_STREQ(BoolText(false), "False");
}

}  // namespace
}  // namespace dvrlink
