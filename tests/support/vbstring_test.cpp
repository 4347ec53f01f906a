#include "support/vbstring.h"

#include <gtest/gtest.h>

#include <string>

#include "support/runtime_error.h"

namespace dvrlink {
namespace {

int32_t RaisedNumber(void (*f)()) {
  try {
    f();
  } catch (const RuntimeError& e) {
    return e.Number();
  }
  return 0;
}

TEST(VbStringTest, CuttingClampsToTheText) {
  const struct {
    const char* name;
    std::string got;
    const char* expected;
  } kCases[] = {
      {"Mid middle", Mid("Hello", 2, 3), "ell"},
      {"Mid rest", Mid("Hello", 2), "ello"},
      {"Mid past end", Mid("Hello", 9), ""},
      {"Mid last char", Mid("Hello", 5, 10), "o"},
      {"Mid zero length", Mid("Hello", 1, 0), ""},
      {"Left clamp", Left("Hello", 10), "Hello"},
      {"Left zero", Left("Hello", 0), ""},
      {"Left two", Left("Hello", 2), "He"},
      {"Right two", Right("Hello", 2), "lo"},
      {"Right clamp", Right("Hello", 10), "Hello"},
      {"Trim spaces", Trim("  a b  "), "a b"},
      {"Trim keeps tabs", Trim("\ta\t"), "\ta\t"},
      {"Trim all blank", Trim("   "), ""},
      {"UCase ascii only", UCase("abZ\xc3\xa9"), "ABZ\xc3\xa9"},
      {"LCase ascii only", LCase("AbZ\xc3\x89"), "abz\xc3\x89"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.got, c.expected);
  }
}

TEST(VbStringTest, InStrIsOneBased) {
  EXPECT_EQ(InStr(1, "abcabc", "c"), 3);
  EXPECT_EQ(InStr(4, "abcabc", "c"), 6);
  EXPECT_EQ(InStr(6, "abcabc", "c"), 6);
  EXPECT_EQ(InStr(1, "abcabc", "bc"), 2);
  EXPECT_EQ(InStr(1, "abcabc", "C"), 0);
  EXPECT_EQ(InStr(7, "abc", "a"), 0);
  EXPECT_EQ(InStr(2, "abc", ""), 2);
  EXPECT_EQ(InStr(4, "abc", ""), 4);
  EXPECT_EQ(InStr(5, "abc", ""), 0);
  EXPECT_TRUE(EqualsNoCase("DvR-01", "dVr-01"));
  EXPECT_FALSE(EqualsNoCase("dvr", "dvr "));
}

TEST(VbStringTest, BadPositionsRaiseInvalidCall) {
  EXPECT_EQ(RaisedNumber([] { Mid("Hello", 0); }), kErrInvalidCall);
  EXPECT_EQ(RaisedNumber([] { Left("Hello", -1); }), kErrInvalidCall);
  EXPECT_EQ(RaisedNumber([] { Right("Hello", -1); }), kErrInvalidCall);
  EXPECT_EQ(RaisedNumber([] { InStr(0, "abc", "a"); }), kErrInvalidCall);
}

}  // namespace
}  // namespace dvrlink
