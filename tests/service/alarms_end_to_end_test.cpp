// DVR alarm processing end to end: dvrsim DVRs on Sydney time, the service in
// UTC, a seeded host database; real processes and clock, short bounded waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <time.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fakes/e2e_service.h"
#include "support/datetime.h"

namespace dvrlink::testing::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using Texts = std::vector<std::string>;

// The twelve host-event texts: time, address, DVR name, DVR address, details.
Texts Expected(const std::string& time, const std::string& address, const std::string& dvr_name,
               const std::string& dvr_address, Texts details) {
  Texts fields = {time, address, dvr_name, dvr_address};
  details.resize(8);
  fields.insert(fields.end(), details.begin(), details.end());
  return fields;
}

DateTime Digits(const std::string& digits14) { return DateTime::FromDigits14(digits14).value_or(DateTime()); }

DateTime UtcNow() {
  time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  return DateTime::FromParts(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
}

// A DVR on Sydney time ("AUS Eastern Standard Time" in its section).
DvrSetup SydneyDvr(const std::string& address, const std::string& key, bool seeded, bool external_trigger) {
  return DvrSetup{address, key, seeded, external_trigger, "AUS Eastern Standard Time", "Australia/Sydney"};
}
E2eOptions SydneyOptions(std::vector<DvrSetup> dvrs = {SydneyDvr("127.0.0.2", "A", true, true)}) {
  E2eOptions options;
  options.computer_zone = "UTC";
  options.dvrs = std::move(dvrs);
  return options;
}

// A second DVR on 127.0.0.3 that the host database does not know.
E2eOptions TwoDvrsTheSecondUnknown() {
  return SydneyOptions({SydneyDvr("127.0.0.2", "A", true, true), SydneyDvr("127.0.0.3", "B", false, true)});
}

class AlarmsEndToEndTest : public E2eTest {};

// The Sydney service on the case's database (skipped without a PostgreSQL server).
class AlertEndToEndTest : public AlarmsEndToEndTest, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::kPostgres && PgConnectionString().empty()) GTEST_SKIP() << kPgSkipMessage;
    E2eOptions options = SydneyOptions();
    options.backend = GetParam();
    ASSERT_NO_FATAL_FAILURE(Start(options));
  }
};

// Killed mid-stream, every alert the host was told of has its row but the
// last (an alert is announced just before its row is stored).
TEST_P(AlertEndToEndTest, EveryAlertWrittenHasItsRowAfterKillMinus9) {
  const std::string id = e2e->id(0);
  constexpr int kAlarms = 40;
  char command[96];
  for (int i = 0; i < kAlarms; ++i) {
    std::snprintf(command, sizeof command, "alarm pos 2 MOTION 20261204170%d%02d 20261204172000", i / 20, i % 20 * 3);
    e2e->dvr(0).ControlFields(command);
  }
  e2e->WaitForHostEvents(id, 1 + kAlarms / 4);
  ASSERT_EQ(::kill(e2e->service_pid(), SIGKILL), 0);
  e2e->StopService();
  std::vector<std::string> stored;
  for (const Row& row : e2e->Rows("dvr_alarms")) stored.push_back(row.at("StartTime"));
  std::vector<std::string> announced;
  for (const Json& event : e2e->HostEvents(id)) {
    if (event.value("code", 0) != 10309) continue;
    std::string time = Fields(event)[0];  // 2026/12/04 17:05:09
    time[4] = time[7] = '-';
    announced.push_back(time);
  }
  ASSERT_GE(announced.size(), static_cast<size_t>(kAlarms / 4));
  announced.pop_back();
  for (const std::string& time : announced) EXPECT_THAT(stored, ::testing::Contains(time));
}

INSTANTIATE_TEST_SUITE_P(Backends, AlertEndToEndTest, ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const ::testing::TestParamInfo<Backend>& info) { return BackendName(info.param); });

TEST_F(AlarmsEndToEndTest, SystemEventCodesBecomeHostEventsOfTheirOwnDvrsInstanceOnly) {
  ASSERT_NO_FATAL_FAILURE(Start(TwoDvrsTheSecondUnknown()));
  struct Case {
    const char* code;
    int host_event;
    const char* signed_code;  // for the error line of a code outside the table
  };
  const Case cases[] = {
      {"0xC00407D0", 10382, nullptr}, {"0xC00407D1", 10346, nullptr}, {"0xC00407D2", 10384, nullptr},
      {"0xC00407D3", 10386, nullptr}, {"0xC00407D4", 10388, nullptr}, {"0xC00407D5", 10390, nullptr},
      {"0xC00407D6", 10398, "-1073477674"}, {"0xC00407D7", 10392, nullptr}, {"0xC00407D8", 10394, nullptr},
      {"0xC00407D9", 10396, nullptr},   {"0x00000001", 10398, "1"},
  };
  const std::string a = e2e->id(0), b = e2e->id(1);
  std::vector<std::string> dvr_times;
  std::vector<int> expected_codes;
  const DateTime utc_before = UtcNow();
  for (const Case& c : cases) {
    dvr_times.push_back(e2e->dvr(0).ControlFields(std::string("sysevent ") + c.code + " disk check")["time"]);
    expected_codes.push_back(c.host_event);
  }
  std::vector<Json> events = e2e->WaitForHostEvents(a, 1 + std::size(cases));
  const DateTime utc_after = UtcNow();
  events.erase(events.begin());
  ASSERT_THAT(EventCodes(events), ElementsAreArray(expected_codes));
  for (size_t k = 0; k < std::size(cases); ++k) {
    SCOPED_TRACE(cases[k].code);
    Texts fields = Fields(events[k]);
    // The time field is this computer's (UTC), the DVR's goes in Detail1.
    std::optional<DateTime> stamp = DateTime::Parse(fields[0]);
    ASSERT_TRUE(stamp) << fields[0];
    EXPECT_GE(*stamp, utc_before);
    EXPECT_LE(*stamp, utc_after);
    EXPECT_EQ(fields, Expected(fields[0], "$10000000000001", "Sim A", "127.0.0.2",
                               {Digits(dvr_times[k]).FormatMdy24(), "1"}));
    if (cases[k].signed_code) {
      EXPECT_TRUE(e2e->WaitForLogLine({"CallBackSystemEvents(" + a + ") ERROR ???",
                                       std::string(", ulEventId=") + cases[k].signed_code + ","}));
    }
  }

  // The second DVR's event reaches its own instance alone.
  e2e->dvr(1).ControlFields("sysevent 0xC00407D0");
  std::vector<Json> b_events = e2e->WaitForHostEvents(b, 2);
  ASSERT_EQ(b_events.size(), 2u);
  EXPECT_EQ(b_events[1].value("code", 0), 10382);
  EXPECT_EQ(Fields(b_events[1])[3], "127.0.0.3");
  EXPECT_EQ(e2e->HostEvents(a).size(), 1 + std::size(cases));
}

TEST_F(AlarmsEndToEndTest, AlarmEventsOfADvrTheDatabaseDoesNotKnowEndWithAnErrorLineAndNoHostEvent) {
  ASSERT_NO_FATAL_FAILURE(Start(TwoDvrsTheSecondUnknown()));
  const std::string b = e2e->id(1);
  struct Case {
    const char* command;
    const char* handler;
  };
  const Case cases[] = {
      {"alarm begin 1 VIDEOLOSS", "m_oDvrAlmEvtCtrl_OnAlarmBegin2"},
      {"alarm end 1 VIDEOLOSS", "m_oDvrAlmEvtCtrl_OnAlarmEnd2"},
      {"alarm pos 1 MOTION 20261204170509 20261204170539", "m_oDvrAlmEvtCtrl_OnAlarmPosInfo2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    e2e->dvr(1).ControlFields(c.command);
    EXPECT_TRUE(e2e->WaitForLogLine({std::string("??? ") + c.handler + "-" + b + "() ??? ERROR, Line: "}));
  }
  EXPECT_THAT(EventCodes(e2e->HostEvents(b)), ElementsAre(10322));
  EXPECT_TRUE(e2e->Rows("dvr_alarms").empty());
}

// Raised on the DVR, reported (10318: no user name), recorded as active, and
// some 5 s later confirmed by callback 207 naming the second video ID.
TEST_F(AlarmsEndToEndTest, AHostRaisedAlarmWithoutAUserNameIsReportedAs10318AndConfirmed) {
  E2eOptions options = SydneyOptions({SydneyDvr("127.0.0.2", "A", true, false)});
  options.host_lines = "record_active_alarms = true\n";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  const std::string id = e2e->id(0);
  EXPECT_EQ(e2e->Call(id, "GenerateAlarm", Json::array({12, 30, "Yard", "", "WS-9", "42", "V2-42"})), Json(true));
  std::vector<Json> events = e2e->WaitForHostEvents(id, 2);
  ASSERT_EQ(events.size(), 2u);
  ASSERT_EQ(events[1].value("code", 0), 10318);
  Texts fields = Fields(events[1]);
  const std::string address = "10000000000001013";
  EXPECT_EQ(fields, Expected(fields[0], address, "Sim A", "127.0.0.2", {"Yard", "30", "", "WS-9"}));
  EXPECT_EQ(e2e->dvr(0).ControlFields("status")["cameras_in_alarm"], "12");

  std::string stored = fields[0];
  stored[4] = stored[7] = '-';
  EXPECT_THAT(e2e->WaitForRows("alarm_active", 1),
              ElementsAre(Row{{"AlarmDateTime", stored}, {"EventCode", "10318"}, {"GlobalAddressID", address},
                              {"Description", "Yard"}}));
  EXPECT_THAT(e2e->WaitForRows("dvr_alarm_video", 1), ElementsAre(Row{{"ID", "42"}, {"AlarmDateTime", stored}}));
  auto confirmation = [&](const Json& j) {
    return j.value("kind", "") == "callback" && j.value("instance", "") == id && j.value("type", 0) == 207;
  };
  ASSERT_TRUE(e2e->WaitForLine(confirmation, 9000)) << "no confirmation";
  std::vector<Json> confirmations;
  for (const Json& line : e2e->HostLines()) {
    if (confirmation(line)) confirmations.push_back(line);
  }
  ASSERT_EQ(confirmations.size(), 1u);
  EXPECT_EQ(confirmations[0].value("event_id", 0), 1);
  EXPECT_EQ(confirmations[0].value("description", ""), "V2-42");
  EXPECT_EQ(confirmations[0].value("ident", ""), "104");
}

}  // namespace
}  // namespace dvrlink::testing::e2e
