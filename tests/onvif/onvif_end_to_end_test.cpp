// The service, dvrlink-onvif and dvrsim's ONVIF face as real processes (DVR in
// Sydney's zone, service in UTC).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/e2e_service.h"
#include "platform/platform_state.h"
#include "support/datetime.h"

namespace dvrlink::testing::e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Texts = std::vector<std::string>;

DateTime Digits(const std::string& digits14) { return DateTime::FromDigits14(digits14).value_or(DateTime()); }

std::vector<int> Codes(const std::vector<Json>& events) {
  std::vector<int> codes;
  for (const Json& e : events) codes.push_back(e.value("code", 0));
  return codes;
}

E2eOptions OnvifOptions(const std::string& bridge_lines = "", const std::string& host_lines = "") {
  E2eOptions options;
  options.computer_zone = "UTC";
  options.dvrs = {DvrSetup{"127.0.0.6", "A", true, true, "AUS Eastern Standard Time", "Australia/Sydney"}};
  options.onvif = bridge_lines;
  options.host_lines = host_lines;
  return options;
}

class OnvifEndToEndTest : public E2eTest {
 protected:
  DvrsimProcess& sim() { return e2e->dvr(0); }
  std::map<std::string, std::string> Device() { return sim().ControlFields("onvif status"); }
  // The device operations dvrsim recorded (op.1 ... op.N).
  Texts Ops() {
    std::map<std::string, std::string> status = Device();
    Texts ops;
    for (int n = 1; status.count("op." + std::to_string(n)); ++n) ops.push_back(status["op." + std::to_string(n)]);
    return ops;
  }
  bool WaitForOp(const std::string& op, int timeout_ms = 5000) {
    return svc::WaitUntil(
        [&] {
          Texts ops = Ops();
          return std::find(ops.begin(), ops.end(), op) != ops.end();
        },
        timeout_ms);
  }
};

TEST_F(OnvifEndToEndTest, AlarmsOfTheDeviceBecomeHostEventsAndRows) {
  ASSERT_NO_FATAL_FAILURE(Start(OnvifOptions()));
  const std::string id = e2e->id(0);
  ASSERT_THAT(Codes(e2e->HostEvents(id)), ElementsAre(10322));
  struct Case {
    const char* type;
    int camera;
    int code;
    Texts details;  // Detail1 to Detail4
    const char* alarm_type;
  };
  // Alerts when they end, in the DVR's times; an unlisted topic keeps its word.
  const Case cases[] = {
      {"MOTION", 2, 10309, {"camera Parking", "", "", ""}, "Motion Detection"},
      {"ALARMIN", 1, 10312, {"input 2", "", "", ""}, "AlarmIn2"},
      {"Smoke", 0, 10340, {"camera Entrance", "", "SMOKE", "SMOKE"}, "SMOKE"},
  };
  size_t rows = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const size_t before = e2e->HostEvents(id).size();
    const std::string camera = std::to_string(c.camera);
    const DateTime begin = Digits(sim().ControlFields("alarm begin " + camera + " " + c.type)["time"]);
    const DateTime end = Digits(sim().ControlFields("alarm end " + camera + " " + c.type)["time"]);
    std::vector<Json> events = e2e->WaitForHostEvents(id, before + 1);
    ASSERT_EQ(events.size(), before + 1);
    EXPECT_EQ(events[before].value("code", 0), c.code);
    Texts fields = Fields(events[before]);
    ASSERT_EQ(fields.size(), 12u);
    EXPECT_EQ(fields[0], begin.FormatYmd24());
    Texts details = c.details;
    details[1] = std::to_string(DateTime::DiffSeconds(begin, end));  // the duration
    EXPECT_EQ(Texts(fields.begin() + 4, fields.begin() + 8), details);
    std::vector<Row> stored = e2e->WaitForRows("dvr_alarms", ++rows);
    ASSERT_EQ(stored.size(), rows);
    EXPECT_EQ(stored.back(), (Row{{"Config", "1"},
                                  {"Camera", camera},
                                  {"StartTime", begin.FormatIso().replace(10, 1, " ")},
                                  {"EndTime", end.FormatIso().replace(10, 1, " ")},
                                  {"AlarmType", c.alarm_type}}));
  }
}

TEST_F(OnvifEndToEndTest, AHostRaisedAlarmSwitchesTheRelayOnAndOffAndIsConfirmed) {
  ASSERT_NO_FATAL_FAILURE(Start(OnvifOptions("", "record_active_alarms = true\n")));
  const std::string id = e2e->id(0);
  EXPECT_THAT(e2e->HostFrame(0, {"32", "1", "2", "Lobby door", "alice", "WS-7", "41", "V2-41"}),
              ElementsAre("32", "OK"));
  ASSERT_TRUE(WaitForOp("SetRelayOutputState Relay_1 active"));
  ASSERT_TRUE(WaitForOp("SetRelayOutputState Relay_1 inactive", 6000));
  // The device's relay event gave the alarm its start time.
  std::vector<Json> events = e2e->WaitForHostEvents(id, 2);
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events[1].value("code", 0), 10317);
  const Texts fields = Fields(events[1]);
  EXPECT_EQ(Texts(fields.begin() + 4, fields.begin() + 8), (Texts{"Lobby door", "2", "alice", "WS-7"}));
  EXPECT_TRUE(e2e->WaitForLine(
      [&](const Json& j) {
        return j.value("kind", "") == "callback" && j.value("type", 0) == 207 && j.value("description", "") == "V2-41";
      },
      9000));
}

TEST_F(OnvifEndToEndTest, ASubscriptionTheDeviceEndsEarlyIsMadeAgainWithoutLosingTheNextEvent) {
  ASSERT_NO_FATAL_FAILURE(Start(OnvifOptions()));
  const std::string id = e2e->id(0);
  EXPECT_EQ(sim().ControlFields("onvif expire")["expired"], "1");
  ASSERT_TRUE(svc::WaitUntil([&] {
    std::map<std::string, std::string> device = Device();
    return device["subscriptions_created"] == "2" && device["waiting_pulls"] == "1";
  }));
  sim().ControlFields("alarm begin 3 VIDEOLOSS");
  std::vector<Json> events = e2e->WaitForHostEvents(id, 2);
  EXPECT_THAT(Codes(events), ElementsAre(10322, 10323));
  EXPECT_THAT(e2e->bridge(0)->Log(), HasSubstr("subscribing again"));
}

}  // namespace
}  // namespace dvrlink::testing::e2e
