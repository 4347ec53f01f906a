#include "support/datetime.h"

#include <gtest/gtest.h>

#include <string>

#include "support/runtime_error.h"

namespace dvrlink {
namespace {

struct Fields {
  int year, month, day, hour, minute, second;
};

void ExpectFields(DateTime t, const Fields& f) {
  EXPECT_EQ(t.Year(), f.year);
  EXPECT_EQ(t.Month(), f.month);
  EXPECT_EQ(t.Day(), f.day);
  EXPECT_EQ(t.Hour(), f.hour);
  EXPECT_EQ(t.Minute(), f.minute);
  EXPECT_EQ(t.Second(), f.second);
}

DateTime At(int64_t y, int64_t mo, int64_t d, int64_t h = 0, int64_t mi = 0, int64_t s = 0) {
  return DateTime::FromParts(y, mo, d, h, mi, s);
}

TEST(DateTimeTest, FromPartsRollsOverLargeParts) {
  const struct {
    const char* name;
    DateTime got;
    Fields expected;
  } kCases[] = {
      {"second 60", At(2026, 1, 1, 10, 59, 60), {2026, 1, 1, 11, 0, 0}},
      {"hour 24", At(2026, 12, 31, 24, 0, 0), {2027, 1, 1, 0, 0, 0}},
      {"negative second", At(2026, 1, 1, 0, 0, -1), {2025, 12, 31, 23, 59, 59}},
      {"Feb 29 common year", At(2026, 2, 29), {2026, 3, 1, 0, 0, 0}},
      {"month 13", At(2026, 13, 1), {2027, 1, 1, 0, 0, 0}},
      {"month 0", At(2026, 0, 15), {2025, 12, 15, 0, 0, 0}},
      {"month -13", At(2026, -13, 1), {2024, 11, 1, 0, 0, 0}},
      {"day 0", At(2024, 3, 0), {2024, 2, 29, 0, 0, 0}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ExpectFields(c.got, c.expected);
  }
}

TEST(DateTimeTest, SecondsBetweenDates) {
  const struct {
    const char* name;
    DateTime from, to;
    int64_t seconds;
  } kCases[] = {
      {"over midnight of the year's end", At(2026, 12, 31, 23, 59, 30), At(2027, 1, 1, 0, 0, 30), 60},
      {"1900 is no leap year", At(1900, 1, 1), At(1901, 1, 1), 365 * 86400},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DateTime::DiffSeconds(c.from, c.to), c.seconds);
    EXPECT_EQ(c.from.AddSeconds(c.seconds), c.to);
  }
  EXPECT_EQ(At(2027, 1, 1, 0, 0, 30).AddMinutes(-1), At(2026, 12, 31, 23, 59, 30));
}

// The forms the formatting table below does not read back already.
TEST(DateTimeTest, ParseAcceptsTheKnownForms) {
  const struct {
    const char* text;
    Fields expected;
  } kCases[] = {
      {"03/07/2024 14:05:09", {2024, 3, 7, 14, 5, 9}},     {"2026-12-04 17:05:09", {2026, 12, 4, 17, 5, 9}},
      {"12-4-2026 5:05 am", {2026, 12, 4, 5, 5, 0}},       {"17:05", {1899, 12, 30, 17, 5, 0}},
      {"5:05:09 pm", {1899, 12, 30, 17, 5, 9}},            {"2/29/2000", {2000, 2, 29, 0, 0, 0}},
      {"2026-12-04T17:05:09.5", {2026, 12, 4, 17, 5, 9}},  {"12/04/26 10:00:00", {2026, 12, 4, 10, 0, 0}},
      {"1/1/29", {2029, 1, 1, 0, 0, 0}},                   {"1/1/30", {1930, 1, 1, 0, 0, 0}},
      {" 12/04/2026   10:00:00 ", {2026, 12, 4, 10, 0, 0}}, {"01/01/2026 00:00:00.250", {2026, 1, 1, 0, 0, 0}},
      {"0100/01/01 23:59:59", {100, 1, 1, 23, 59, 59}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::string("text \"") + c.text + "\"");
    const auto got = DateTime::Parse(c.text);
    ASSERT_TRUE(got.has_value());
    ExpectFields(*got, c.expected);
  }
}

TEST(DateTimeTest, ParseRefusesEverythingElse) {
  for (const char* text :
       {"", "abc", "13/01/2026", "0/01/2026", "12/00/2026", "2/29/2026", "2/29/1900", "12/04/2026 24:00:00",
        "12/04/2026 10:60", "12/04/2026 10:00:60", "12/04/2026 13:00:00 PM", "12/04/2026 0:30 AM",
        "12/04/2026 10:00:00 XM", "20261204170509", "12/04/2026 10:00:00 PM x", "12/04-2026", "12/4/226",
        "123/4/2026", "12/4/2026 5:5", "5:05PM", "PM", "0000/01/01", "2026-12-04T17:05", "2026-12-041T17:05:09",
        "2026-12-04T17:05:09Z", "-1/4/2026", "12/04/2026 010:00:00", "20x6-12-04T17:05:09"}) {
    SCOPED_TRACE(std::string("text \"") + text + "\"");
    EXPECT_FALSE(DateTime::Parse(text).has_value());
  }
  try {
    CDate("02/30/2026");
    FAIL() << "CDate accepted February 30";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrTypeMismatch);
  }
  EXPECT_EQ(CDate("12/4/2026"), At(2026, 12, 4));
}

TEST(DateTimeTest, FromDigits14RefusesWhatIsNotAValidDate) {
  ExpectFields(*DateTime::FromDigits14("20240229000000"), {2024, 2, 29, 0, 0, 0});
  for (const char* text : {"20260229000000", "20261304170509", "20261204240000", "20261204176009", "2026120417050",
                           "202612041705090", "2026120417050x", "00001204170509"}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(DateTime::FromDigits14(text).has_value());
  }
}

// Every form of each value, and each form read back (digits through
// FromDigits14, the time alone as a time on the zero date).
TEST(DateTimeTest, FormatsAndReadsBack) {
  const struct {
    DateTime value;
    const char *general, *us12, *ymd24, *ymd12, *mdy24, *time24, *digits14, *iso;
  } kCases[] = {
      {At(2026, 12, 4, 17, 5, 9), "12/4/2026 5:05:09 PM", "12/04/2026 05:05:09 PM", "2026/12/04 17:05:09",
       "2026/12/04 05:05:09 PM", "12/04/2026 17:05:09", "17:05:09", "20261204170509", "2026-12-04T17:05:09"},
      {At(2026, 12, 4), "12/4/2026", "12/04/2026 12:00:00 AM", "2026/12/04 00:00:00", "2026/12/04 12:00:00 AM",
       "12/04/2026 00:00:00", "00:00:00", "20261204000000", "2026-12-04T00:00:00"},
      {At(2024, 2, 29, 12, 0, 0), "2/29/2024 12:00:00 PM", "02/29/2024 12:00:00 PM", "2024/02/29 12:00:00",
       "2024/02/29 12:00:00 PM", "02/29/2024 12:00:00", "12:00:00", "20240229120000", "2024-02-29T12:00:00"},
      {At(9999, 12, 31, 23, 59, 59), "12/31/9999 11:59:59 PM", "12/31/9999 11:59:59 PM", "9999/12/31 23:59:59",
       "9999/12/31 11:59:59 PM", "12/31/9999 23:59:59", "23:59:59", "99991231235959", "9999-12-31T23:59:59"},
      {At(100, 1, 1, 0, 0, 1), "1/1/0100 12:00:01 AM", "01/01/0100 12:00:01 AM", "0100/01/01 00:00:01",
       "0100/01/01 12:00:01 AM", "01/01/0100 00:00:01", "00:00:01", "01000101000001", "0100-01-01T00:00:01"},
      {DateTime(), "12:00:00 AM", "12/30/1899 12:00:00 AM", "1899/12/30 00:00:00", "1899/12/30 12:00:00 AM",
       "12/30/1899 00:00:00", "00:00:00", "18991230000000", "1899-12-30T00:00:00"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.iso);
    EXPECT_EQ(c.value.FormatGeneral(), c.general);
    EXPECT_EQ(c.value.FormatUS12(), c.us12);
    EXPECT_EQ(c.value.FormatYmd24(), c.ymd24);
    EXPECT_EQ(c.value.FormatYmd12(), c.ymd12);
    EXPECT_EQ(c.value.FormatMdy24(), c.mdy24);
    EXPECT_EQ(c.value.FormatTime24(), c.time24);
    EXPECT_EQ(c.value.FormatDigits14(), c.digits14);
    EXPECT_EQ(c.value.FormatIso(), c.iso);
    for (const char* text : {c.general, c.us12, c.ymd24, c.ymd12, c.mdy24, c.iso}) {
      SCOPED_TRACE(text);
      EXPECT_EQ(DateTime::Parse(text), c.value);
    }
    EXPECT_EQ(DateTime::FromDigits14(c.digits14), c.value);
  }
}

}  // namespace
}  // namespace dvrlink
