// DVR alarm events, alerts and host-raised alarms against a real SQLite host database. The DVR
// runs in Sydney (UTC+11 in December), the computer in UTC: converted times differ.
#include <gmock/gmock.h>

#include <functional>
#include <string>
#include <vector>

#include "component/module_state.h"
#include "fakes/test_support.h"
#include "mainform/frmMainTemplate.h"

namespace dvrlink::testing {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;

constexpr const char* kDvr = "10.0.0.5";
using Texts = std::vector<std::string>;

class AlarmsTest : public StartedComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    SeedHostDatabase();
    // The DVR starts reporting a host-raised alarm while it is being raised.
    world.configure_remote = [this](FakeDvrRemote& remote) {
      remote.session_to_give = remote_session;
      remote.on_generate = [this](int16_t camera) {
        if (dvr_begins_alarm) Loop().Post([this, camera] { Begin(camera, "20261204140509", "OVERRIDE"); });
      };
    };
    params[13] = "AUS Eastern Standard Time";
    params[16] = "1";  // external triggering on
    Start();
    ModAllConst().lLogLevel = 2147483647;  // every level, so the handlers' lines are written
  }

  void Begin(int16_t camera, const std::string& time, const std::string& type, int32_t session = 11) {
    alarms->OnAlarmBegin2(session, kDvr, camera, time, type, 0, "", "");
  }
  struct Position {
    int16_t camera = 2;
    std::string type = "MOTION";
    int32_t end_pos = 0;
    int16_t override_index = 0;
    std::string override_text;
    std::string url = kDvr;
  };
  void Pos(const Position& p) {
    alarms->OnAlarmPosInfo2(11, p.url, p.camera, "20261204140509", "20261204140509", "20261204140519", 0, 0,
                            p.end_pos, p.type, p.override_index, p.override_text, "id");
  }
  void Trigger(bool on) {
    std::vector<bool> value{on};
    std::vector<std::string> unused;
    dvr->UpdateExternalTriggerParameters(value, unused);
  }
  std::vector<int> Alerts() const {
    std::vector<int> alerts;
    for (int code : SentEventCodes()) {
      if (code != 10314 && code != 10315) alerts.push_back(code);
    }
    return alerts;
  }

  bool dvr_begins_alarm = true;
  int32_t remote_session = 7;  // 0: the DVR refuses the control session
};

// The details an event leaves alone keep the previous d1..d8.
TEST_F(AlarmsTest, EachHostEventFillsItsFieldsAndKeepsTheOtherDetails) {
  const std::string now = "2026/12/04 17:05:09";
  const auto system_event = [this](const char* url, uint32_t code) {
    dvr->CallBackSystemEvents(1, url, static_cast<int32_t>(code), "20261203080910", "msg");
  };
  const struct {
    const char* name;
    std::function<void()> act;
    Texts event;
  } cases[] = {
      {"connection error", [&] { events->PostConnectError(11, kDvr, "refused"); },
       {"10320", now, "$1234567890123", "DVR1", kDvr, "", "", "", "", "d5", "d6", "d7", "d8"}},
      {"external trigger switched off", [&] { Trigger(false); },
       {"10315", now, "$1234567890123", "DVR1", kDvr, "", "", "", "d4", "d5", "d6", "d7", "d8"}},
      // 14:05:09 in Sydney is 03:05:09 UTC.
      {"video loss", [&] { Begin(2, "20261204140509", "VIDEOLOSS"); },
       {"10323", "2026/12/04 03:05:09 AM", "1234567890123003", "DVR1", kDvr, "Lobby", "", "", "", "d5", "d6", "d7",
        "d8"}},
      {"alert", [&] { Pos({}); },
       {"10309", "2026/12/04 14:05:09", "1234567890123003", "DVR1", kDvr, "camera Lobby", "10", "", "", "d5", "d6",
        "d7", "d8"}},
      {"host-raised alarm", [&] { dvr->GenerateAlarm(2, 30, "Cam", "alice", "WS1", "", "V2"); },
       {"10317", "2026/12/04 14:05:09", "1234567890123003", "DVR1", kDvr, "Cam", "30", "alice", "WS1", "d5", "d6",
        "d7", "d8"}},
      {"system event", [&] { system_event(kDvr, 0xC00407D0u); },
       {"10382", now, "$1234567890123", "DVR1", kDvr, "12/03/2026 08:09:10", "1", "d3", "d4", "d5", "d6", "d7", "d8"}},
      {"system event of a code outside the table", [&] { system_event(kDvr, 0xC00407D6u); },
       {"10398", now, "$1234567890123", "DVR1", kDvr, "12/03/2026 08:09:10", "1", "d3", "d4", "d5", "d6", "d7", "d8"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
    std::string* details[] = {&r.Detail1, &r.Detail2, &r.Detail3, &r.Detail4,
                              &r.Detail5, &r.Detail6, &r.Detail7, &r.Detail8};
    for (size_t k = 0; k < 8; ++k) *details[k] = "d" + std::to_string(k + 1);
    c.act();
    Deliver();
    EXPECT_EQ(SentEvents().size(), 1u);
    EXPECT_EQ(LastEvent(), c.event);
    EXPECT_EQ(CountLinesContaining(dir.File("DebugDeviceAdm.log"), "CallBackSystemEvents(A-3-5000) ERROR ??? ###"),
              c.event[0] == "10398" ? 1 : 0);
  }
}

TEST_F(AlarmsTest, OnlyVideoLossBeginsOfThisSessionReachTheHostAndEndsOnlyLogTheirDuration) {
  const struct {
    const char* name;
    std::string type;
    int32_t session;
    bool start_time_set;
  } cases[] = {
      {"motion", "MOTION", 11, true},
      {"another session", "VIDEOLOSS", 999, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Begin(1, "20240307140509", c.type, c.session);
    EXPECT_EQ(dvr->LastAlarmStartTime(), c.start_time_set ? "03/07/2024 14:05:09" : "");
    EXPECT_TRUE(SentEvents().empty());
  }
  // An end without a begin of its camera lasted 0 s.
  alarms->OnAlarmEnd2(11, kDvr, 5, "20261204140710", "VIDEOLOSS", 0, "", "");
  EXPECT_TRUE(SentEvents().empty());
  EXPECT_THAT(DebugLog(), HasSubstr(", sEndTime=12/04/2026 14:07:10, sCameraName=Camera 6, lDuration=0;"));
}

// Words the table does not list go to the host as they came, in Detail3 and Detail4.
TEST_F(AlarmsTest, AlertsAreClassifiedByTheirAlarmTypeWord) {
  const struct {
    const char* word;
    int id;
    const char* stored;
  } cases[] = {
      {"MOTION", 10309, "Motion Detection"},
      {"motion", 10340, "motion"},
      {"ALARMIN", 10312, "AlarmIn3"},
      {"VIDEOLOSS", 10370, "VIDEOLOSS"},
      {"OVERRIDE", 10325, "Gen. Alarm"},
      {"TEXT", 10342, "Text Exception"},
      {"NO REFERENCE FO", 10350, "NO REFERENCE FO"},
      {"NO REFERENCE FOUND", 10340, "NO REFERENCE FOUND"},
      {"DIRECTIONAL MOT", 10364, "DIRECTIONAL MOT"},
      {"LEARNING REFERE", 10366, "LEARNING REFERE"},
      {"VIDEO LOSS", 10370, "VIDEO LOSS"},
      {"CAR COUNTING", 10380, "CAR COUNTING"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.word);
    ASSERT_TRUE(dvr->GenerateAlert(2, "12/04/2026 14:05:09", 10, "Lobby", c.word, ""));
    const std::string unlisted = c.id == 10340 ? c.word : "";
    const Texts e = LastEvent();
    EXPECT_EQ((Texts{e[0], e[5], e[7], e[8]}),
              (Texts{std::to_string(c.id), c.id == 10312 ? "input 3" : "camera Lobby", unlisted, unlisted}));
    EXPECT_EQ(Query("SELECT camera_name, start_time, end_time, alarm_type FROM dvr_alarms ORDER BY id DESC LIMIT 1"),
              Texts{std::string("2|2026-12-04 14:05:09|2026-12-04 14:05:19|") + c.stored});
    EXPECT_EQ(dvr->CurrentEventID(), c.id);
  }
  EXPECT_FALSE(dvr->GenerateAlert(2, "not a date", 0, "Lobby", "MOTION", ""));
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, GenerateAlert-A-3-5000() ??? ERROR, Line: "));
}

TEST_F(AlarmsTest, PositionEventsBecomeAlertsUnlessTheyRepeatTheLastOne) {
  using Change = void (*)(Position&);  // nullptr: the event as it is
  const Change override10 = [](Position& p) { p.override_index = 10, p.override_text = "alarmin"; };
  const Change other_address = [](Position& p) { p.url = "dvr1.example"; };
  const Change empty_type = [](Position& p) { p.type = ""; };
  const struct {
    const char* name;
    Change first, second;
    bool first_while_off;
    std::vector<int> alerts;
  } cases[] = {
      {"only the override text differs: still a repeat", nullptr,
       [](Position& p) { p.override_text = "changed"; }, false, {10309}},
      {"another end position is a new event", nullptr, [](Position& p) { p.end_pos = 77; }, false, {10309, 10309}},
      {"index 10 makes the override text the type", override10, override10, false, {10312}},
      {"index 9 keeps the type", [](Position& p) { p.override_index = 9, p.override_text = "alarmin"; }, nullptr,
       false, {10309}},
      {"index 10 without a text keeps the type", [](Position& p) { p.override_index = 10; }, nullptr, false,
       {10309}},
      {"another address is never an alert", other_address, other_address, false, {}},
      {"an empty type is never an alert", empty_type, empty_type, false, {}},
      {"compared with the last event seen while triggering was off", nullptr, nullptr, true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Position first, second;
    if (c.first) c.first(first);
    if (c.second) c.second(second);
    if (c.first_while_off) Trigger(false);
    Pos(first);
    if (c.first_while_off) Trigger(true);
    Pos(second);
    EXPECT_EQ(Alerts(), c.alerts);
  }
}

TEST_F(AlarmsTest, HostRaisedAlarmWithoutAVideoRowSetsTheMarkButNoConfirmation) {
  EXPECT_TRUE(dvr->GenerateAlarm(2, 30, "Cam", "bob", "WS1", "", "V2-"));
  EXPECT_FALSE(form->TimerSyncData.Enabled());
  EXPECT_TRUE(Query("SELECT id FROM dvr_alarm_video").empty());
  // The DVR's next alert is recorded but not reported while the mark is set.
  EXPECT_TRUE(dvr->GenerateAlert(2, "12/04/2026 14:06:00", 5, "Lobby", "OVERRIDE", ""));
  EXPECT_EQ(SentEvents().size(), 1u);
  EXPECT_EQ(Query("SELECT count(*) FROM dvr_alarms"), Texts{"1"});
  EXPECT_TRUE(dvr->GenerateAlert(2, "12/04/2026 14:07:00", 5, "Lobby", "OVERRIDE", ""));
  EXPECT_EQ(SentEventCodes().back(), 10325);
}

TEST_F(AlarmsTest, APositionEventOfTheRaisedAlarmsCameraClearsItsMark) {
  const struct {
    const char* name;
    int16_t camera;
    bool trigger;
    int32_t event_id;  // set after the alarm; 0: left as the alarm set it
    bool mark_after;
  } cases[] = {
      {"the alarm's camera", 2, true, 0, false},
      {"the alarm's camera, triggering off", 2, false, 0, false},
      {"another camera", 3, true, 0, true},
      {"the alarm's camera after another event", 2, true, 10309, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    ASSERT_TRUE(dvr->GenerateAlarm(2, 30, "Cam", "alice", "WS1", "", "V2"));
    if (!c.trigger) Trigger(false);
    if (c.event_id != 0) dvr->SetCurrentEventID(c.event_id);
    Position event;
    event.camera = c.camera;
    Pos(event);
    EXPECT_EQ(dvr->GeneratedAlarmMark(), c.mark_after);
    EXPECT_EQ(Alerts(), std::vector<int>{10317});
  }
}

TEST_F(AlarmsTest, DatabaseFailuresEndTheHandlersWithTheirAccessErrorLine) {
  const std::string begin = "Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmBegin2(A-3-5000) ??? Database access error ";
  const auto start_time_kept = [&] { EXPECT_EQ(dvr->LastAlarmStartTime(), "12/04/2026 14:05:09"); };
  const struct {
    const char* name;
    const char* procedure;
    std::function<void()> act;
    std::string line;
    std::vector<int> sent;
    std::function<void()> check;
  } cases[] = {
      {"a video loss's DVR", "usp_DVR_Config_Select", [&] { Begin(2, "20261204140509", "VIDEOLOSS"); }, begin + "1",
       {}, start_time_kept},
      {"a video loss's camera", "usp_DVR_Cameras_Select", [&] { Begin(2, "20261204140509", "VIDEOLOSS"); },
       begin + "2", {}, start_time_kept},
      // The record of the last event is not updated: the same event is new again.
      {"a position event's DVR", "usp_DVR_Config_Select",
       [&] {
         Pos({});
         Pos({});
       },
       "Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmPosInfo2(A-3-5000) ??? Database access error 1", {},
       [&] { EXPECT_EQ(CountLinesContaining(dir.File("DebugDeviceAdm.log"), ") GOT, m_blnGenerateAlarm="), 2); }},
      {"a host-raised alarm's video row", "usp_DVR_AlarmVideo_Update",
       [&] { EXPECT_FALSE(dvr->GenerateAlarm(2, 30, "Cam", "alice", "WS1", "55", "V2")); },
       "Dvrlink, GenerateAlarm(A-3-5000) ??? Database access error 4", {10317},
       [&] {
         EXPECT_FALSE(form->TimerSyncData.Enabled());
         EXPECT_FALSE(dvr->GeneratedAlarmMark());
         EXPECT_EQ(dvr->CurrentEventID(), 0);
       }},
      {"an alert's row", "usp_DVR_Alarms_Insert",
       [&] { EXPECT_FALSE(dvr->GenerateAlert(2, "12/04/2026 14:05:09", 5, "Lobby", "MOTION", "")); },
       "Dvrlink, GenerateAlert() ??? Database access error 8", {10309},
       [&] { EXPECT_EQ(dvr->CurrentEventID(), 0); }},
      {"a generated alarm's confirmation", "usp_AlarmActive_Select",
       [&] {
         form->QueueUDTAlarmGenerated("2026/12/04 14:05:09", "V2");
         form->TimerSyncData.SetEnabled(true);
         Loop().RunForMillis(10'000);
       },
       "Dvrlink, frmMainTemplate, TimerSyncData_Timer(A-3-5000) ??? Database access error 1", {},
       [&] {
         EXPECT_FALSE(form->TimerSyncData.Enabled());
         EXPECT_TRUE(host->calls.empty());
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Query(std::string("UPDATE dvrlink_procedures SET body = 'SELECT * FROM missing' WHERE name = '") + c.procedure +
          "'");
    c.act();
    EXPECT_THAT(DebugLog(), HasSubstr(c.line));
    EXPECT_EQ(SentEventCodes(), c.sent);
    c.check();
  }
}

TEST_F(AlarmsTest, HostRaisedAlarmWithoutAnAlarmBeginFailsAfterFiveSeconds) {
  dvr_begins_alarm = false;
  DateTime before = clock->LocalNow();
  EXPECT_FALSE(dvr->GenerateAlarm(1, 10, "Cam", "alice", "WS1", "7", "V2"));
  EXPECT_GE(DateTime::DiffSeconds(before, clock->LocalNow()), 5);
  EXPECT_THAT(DebugLog(), HasSubstr(", iWait_Alarm=0;"));
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, GenerateAlarm-A-3-5000() ??? ERROR, Line: "));
  EXPECT_TRUE(SentEvents().empty());
  EXPECT_FALSE(dvr->GeneratedAlarmMark());
}

// A refused control session still completes start-up.
TEST_F(AlarmsTest, WithoutAControlSessionRatesAreNotSetAndAlarmsNeitherRaisedNorStopped) {
  remote_session = 0;
  Restart();
  EXPECT_THAT(ServiceLog(), HasSubstr("Dvrlink, Initialize(A-3-5000) DONE"));
  EXPECT_FALSE(dvr->SetRecordRate(5, 10));
  ModAllConst().lDebugFlags = 1;  // the status window takes StopAlarm's line
  EXPECT_FALSE(dvr->GenerateAlarm(1, 10, "Cam", "alice", "WS1", "7", "V2"));
  EXPECT_FALSE(dvr->StopAlarm("1"));
  EXPECT_THAT(DebugLog(), HasSubstr("Dvrlink, GenerateAlarm(A-3-5000) ERROR, Can't m_oDvrRemote.Connect"));
  EXPECT_THAT(form->txtStatus.Text(), HasSubstr(" : StopAlarm(A-3-5000) Error"));
  EXPECT_TRUE(world.remotes.at(0)->generates.empty());
  EXPECT_TRUE(world.remotes.at(0)->stops.empty());
}

// Without a control session GenerateAlarm opens one at the camera's address entry.
TEST_F(AlarmsTest, AHostRaisedAlarmOnACameraPastTheAddressTableIsRefused) {
  params[2] = "none";  // not a port: Connect fails after sizing the table
  Restart();
  EXPECT_FALSE(dvr->GenerateAlarm(17, 5, "Cam", "alice", "WS1", "", "V2"));
  EXPECT_THAT(DebugLog(), ContainsRegex("GenerateAlarm-A-3-5000\\(\\) \\?\\?\\? ERROR, Line: [0-9]+, Subscript out of range"));
  EXPECT_TRUE(SentEvents().empty());
}

// The generate-alarm queue waits while an alarm's seconds run.
TEST_F(AlarmsTest, TheAlarmCountdownGatesTheGenerateAlarmQueue) {
  ModDvrlinkState& d = ModDvrlink();
  d.blnGenerateAlarmQueueReady = false;
  d.iAlarmTimerTicks = 3;
  form->TimerGenerateAlarm.SetEnabled(true);
  form->QueueGenerateAlarmCommand(1, 4, 30, "Cam", "u", "ws", "", "");
  Loop().RunForMillis(2'900);
  EXPECT_FALSE(d.blnGenerateAlarmQueueReady);
  EXPECT_TRUE(world.remotes.at(0)->generates.empty());
  Loop().RunForMillis(300);
  EXPECT_TRUE(d.blnGenerateAlarmQueueReady);
  ASSERT_EQ(world.remotes.at(0)->generates.size(), 1u);
  EXPECT_EQ(d.iAlarmTimerTicks, 30) << "the alarm loads its own seconds";

  d.blnGenerateAlarmQueueReady = false;
  EXPECT_TRUE(dvr->StopAlarm(""));
  EXPECT_EQ(world.remotes.at(0)->stops, (std::vector<std::pair<int32_t, int16_t>>{{7, 0}}));
  EXPECT_EQ(d.iAlarmTimerTicks, 0);
  EXPECT_THAT(DebugLog(), HasSubstr("-9  Dvrlink, StopAlarm() DONE, Camera=0\r\n"));
  Loop().RunForMillis(1'000);
  EXPECT_TRUE(d.blnGenerateAlarmQueueReady);
  EXPECT_FALSE(form->TimerGenerateAlarm.Enabled());

  form->Form_Unload();
  EXPECT_FALSE(d.blnGenerateAlarmQueueReady);
}

// The confirmation waits for the alarm's row; after eleven misses it gives the alarm up.
TEST_F(AlarmsTest, AGeneratedAlarmWhoseRowNeverAppearsIsGivenUp) {
  form->QueueUDTAlarmGenerated("2026/12/04 14:05:09", "never");
  form->TimerSyncData.SetEnabled(true);
  Loop().RunForMillis(11 * 5000 + 100);
  EXPECT_THAT(DebugLog(), HasSubstr("??? Can't find this data in table AlarmActive, UDTAlarmGenerated(0)"
                                    ".sAlarmDateTime=2026/12/04 14:05:09, sDVR_AlarmVideo2ID=never;"));
  EXPECT_TRUE(host->calls.empty());
}

}  // namespace
}  // namespace dvrlink::testing
