// DVR alarm events, alerts and host-raised alarms in one instance on the
// manual clock, with the DVR faked and a real SQLite host database. The DVR
// runs in a southern zone with daylight saving in December (Sydney, UTC+11)
// and the computer in UTC, so converted and unconverted times differ.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "component/module_state.h"
#include "database/db_admin.h"
#include "fakes/test_support.h"
#include "mainform/frmMainTemplate.h"
#include "timezone/registry.h"

namespace dvrlink::testing {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kDvr = "10.0.0.5";

class AlarmsTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    ModTimeZone().registry = BuildSystemRegistry("Etc/UTC", DateTime::FromParts(2026, 12, 1));
    InitDatabase(SqliteConnection());
    DvrSeed seed;
    seed.config_id = 42;
    seed.address = kDvr;
    seed.global_address_id = "$1234567890123";
    seed.name = "DVR1";
    for (int i = 0; i < 16; ++i) {
      seed.camera_names[static_cast<size_t>(i)] = i == 2 ? "Lobby" : "Camera " + std::to_string(i + 1);
      seed.camera_global_address_ids[static_cast<size_t>(i)] = CameraGlobalAddressID(seed.global_address_id, i);
    }
    SeedDatabase(SqliteConnection(), {seed});
    // The DVR starts reporting a host-raised alarm while it is being raised.
    world.configure_remote = [this](FakeDvrRemote& remote) {
      remote.session_to_give = remote_session;
      remote.on_generate = [this](int16_t camera) {
        if (dvr_begins_alarm) Loop().Post([this, camera] { Begin(camera, "20261204140509", "OVERRIDE"); });
      };
    };
    std::vector<std::string> params = StandardParams();
    params[13] = "AUS Eastern Standard Time";
    params[16] = "1";  // external triggering on
    dvr = NewInstance();
    ASSERT_TRUE(Init(*dvr, params));
    ASSERT_TRUE(dvr->TriggerExternalEnabled());
    form = ModDvrlink().oFrmMainTemplate.at(3).get();
    sink = world.event_ctrls.at(0)->alarm_ctrl->sink();
    ASSERT_NE(sink, nullptr);
    session = dvr->EventSession();
    ModAllConst().lLogLevel = 2147483647;  // every level, so the handlers' lines are written
  }

  // A fresh instance and database for the next case of a table.
  void Restart() {
    dvr.reset();
    ResetModuleState();
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((db_path + suffix).c_str());
    SetUp();
  }

  void Begin(int16_t camera, const std::string& time, const std::string& type, int32_t in_session = -1,
             const std::string& url = kDvr) {
    sink->OnAlarmBegin2(in_session < 0 ? session : in_session, url, camera, time, type, 0, "", "");
  }
  void End(int16_t camera, const std::string& time, const std::string& type) {
    sink->OnAlarmEnd2(session, kDvr, camera, time, type, 0, "", "");
  }
  struct Position {
    int16_t camera = 2;
    std::string start = "20261204140509";
    std::string end = "20261204140519";
    std::string type = "MOTION";
    int32_t end_pos = 0;
    int16_t override_index = 0;
    std::string override_text;
    std::string url = kDvr;
  };
  void Pos(const Position& p) {
    sink->OnAlarmPosInfo2(session, p.url, p.camera, p.start, p.start, p.end, 0, 0, p.end_pos, p.type,
                          p.override_index, p.override_text, "id");
  }

  // The fields of the last message 44: code first, then the twelve texts.
  std::vector<std::string> LastEvent() const {
    std::vector<std::string> fields;
    std::string text = SentEvents().back();
    text = text.substr(1, text.size() - 2);
    size_t start = 0;
    for (size_t sep; (sep = text.find('\x1A', start)) != std::string::npos; start = sep + 1) {
      fields.push_back(text.substr(start, sep - start));
    }
    fields.push_back(text.substr(start));
    return {fields.begin() + 1, fields.end()};
  }

  // Rows of a query on the host database, columns joined with "|".
  std::vector<std::string> Query(const std::string& sql) const {
    sqlite3* db = nullptr;
    std::vector<std::string> rows;
    EXPECT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const unsigned char* v = sqlite3_column_text(stmt, i);
        row += (i ? "|" : "") + std::string(v ? reinterpret_cast<const char*>(v) : "NULL");
      }
      rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return rows;
  }
  std::vector<std::string> AlarmRows() const {
    return Query("SELECT camera_name, start_time, end_time, alarm_type FROM dvr_alarms ORDER BY id");
  }

  std::shared_ptr<clsDvrlink> dvr;
  frmMainTemplate* form = nullptr;
  IDvrAlarmEvents* sink = nullptr;
  int32_t session = 0;
  bool dvr_begins_alarm = true;
  int32_t remote_session = 7;  // 0: the DVR refuses the control session
};

TEST_F(AlarmsTest, VideoLossBeginIsReportedInTheHostZoneAndTheEndOnlyLogsItsDuration) {
  Begin(2, "20261204140509", "VideoLoss");
  ASSERT_EQ(SentEventCodes().back(), 10323);
  // 14:05:09 in Sydney (UTC+11 in December) is 03:05:09 UTC.
  EXPECT_EQ(LastEvent(), (std::vector<std::string>{"10323", "2026/12/04 03:05:09 AM", "1234567890123003", "DVR1",
                                                   kDvr, "Lobby", "", "", "", "", "", "", ""}));
  EXPECT_EQ(dvr->LastAlarmStartTime(), "12/04/2026 14:05:09");
  size_t sent = SentEvents().size();
  End(2, "20261204140710", "VIDEOLOSS");
  EXPECT_EQ(SentEvents().size(), sent);
  EXPECT_THAT(DebugLog(), HasSubstr(", sEndTime=12/04/2026 14:07:10, sCameraName=Lobby, lDuration=121;"));
  EXPECT_THAT(DebugLog(), HasSubstr(", sEndTime=12/04/2026 14:07:10, sHostTime=12/4/2026 3:07:10 AM, nCamera=2"));
  // An end without a stored begin measures nothing.
  End(5, "20261204140710", "VIDEOLOSS");
  EXPECT_THAT(DebugLog(), HasSubstr("sCameraName=Camera 6, lDuration=0;"));
}

TEST_F(AlarmsTest, OnlyVideoLossBeginsOfThisSessionReachTheHost) {
  struct Case {
    const char* name;
    std::string type;
    int32_t session;
    bool start_time_set;
    bool reported;
  };
  const Case cases[] = {
      {"motion", "MOTION", -1, true, false},
      {"mixed-case video loss", "vIdEoLoSs", -1, true, true},
      {"empty type", "", -1, true, false},
      {"another session", "VIDEOLOSS", 999, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Begin(1, "20240307140509", c.type, c.session);
    EXPECT_EQ(dvr->LastAlarmStartTime(), c.start_time_set ? "03/07/2024 14:05:09" : "");
    EXPECT_EQ(SentEventCodes().size(), c.reported ? 1u : 0u);
  }
}

TEST_F(AlarmsTest, AVideoLossFromAnUnknownAddressEndsWithAnErrorLine) {
  Begin(2, "20261204140509", "VIDEOLOSS", -1, "10.9.9.9");
  EXPECT_TRUE(SentEvents().empty());
  EXPECT_EQ(dvr->LastAlarmStartTime(), "12/04/2026 14:05:09");
  EXPECT_THAT(DebugLog(), HasSubstr("m_oDvrAlmEvtCtrl_OnAlarmBegin2-A-3-5000"));
  EXPECT_THAT(DebugLog(), Not(HasSubstr("Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmBegin2-")));
}

TEST_F(AlarmsTest, PositionEventsBecomeAlertsByAlarmType) {
  struct Case {
    const char* name;
    Position position;
    std::vector<std::string> event;  // code, date, address, detail1, detail2, detail3, detail4
    std::string row;                 // camera|start|end|type
  };
  Position alarm_in;
  alarm_in.type = "ALARMIN";
  Position override_text = alarm_in;
  override_text.override_index = 10;
  override_text.override_text = "motion";
  Position override_nine = override_text;
  override_nine.override_index = 9;
  Position unlisted;
  unlisted.type = "Fire";
  unlisted.end = "20261204140509";
  const Case cases[] = {
      {"motion", Position{},
       {"10309", "2026/12/04 14:05:09", "1234567890123003", "camera Lobby", "10", "", ""},
       "2|2026-12-04 14:05:09|2026-12-04 14:05:19|Motion Detection"},
      {"alarm input", alarm_in,
       {"10312", "2026/12/04 14:05:09", "1234567890123003", "input 3", "10", "", ""},
       "2|2026-12-04 14:05:09|2026-12-04 14:05:19|AlarmIn3"},
      {"override text from index 10", override_text,
       {"10309", "2026/12/04 14:05:09", "1234567890123003", "camera Lobby", "10", "", ""},
       "2|2026-12-04 14:05:09|2026-12-04 14:05:19|Motion Detection"},
      {"override index 9 keeps the type", override_nine,
       {"10312", "2026/12/04 14:05:09", "1234567890123003", "input 3", "10", "", ""},
       "2|2026-12-04 14:05:09|2026-12-04 14:05:19|AlarmIn3"},
      {"unlisted word, no duration", unlisted,
       {"10340", "2026/12/04 14:05:09", "1234567890123003", "camera Lobby", "0", "FIRE", "FIRE"},
       "2|2026-12-04 14:05:09|2026-12-04 14:05:09|FIRE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    Pos(c.position);
    ASSERT_EQ(SentEventCodes().size(), 1u);
    std::vector<std::string> e = LastEvent();
    EXPECT_EQ((std::vector<std::string>{e[0], e[1], e[2], e[5], e[6], e[7], e[8]}), c.event);
    EXPECT_EQ(AlarmRows(), std::vector<std::string>{c.row});
    EXPECT_EQ(dvr->CurrentEventID(), std::stoi(c.event[0]));
  }
}

TEST_F(AlarmsTest, ARepeatedPositionEventIsNotReportedAgain) {
  struct Case {
    const char* name;
    bool trigger_during_first;
    Position second;
    size_t events;
  };
  Position other_override;
  other_override.override_text = "changed";
  Position other_end;
  other_end.end_pos = 77;
  Position other_url;
  other_url.url = "dvr1.example";
  const Case cases[] = {
      {"identical", true, Position{}, 1},
      {"only the override text differs", true, other_override, 1},
      {"another end position", true, other_end, 2},
      {"another address never becomes an alert", true, other_url, 1},
      {"first seen while triggering was off", false, Position{}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    std::vector<std::string> sParameters;
    std::vector<bool> off{false}, on{true};
    if (!c.trigger_during_first) dvr->UpdateExternalTriggerParameters(off, sParameters);
    Pos(Position{});
    if (!c.trigger_during_first) dvr->UpdateExternalTriggerParameters(on, sParameters);
    Pos(c.second);
    std::vector<int> alerts;
    for (int code : SentEventCodes()) {
      if (code == 10309) alerts.push_back(code);
    }
    EXPECT_EQ(alerts.size(), c.events);
  }
  // A repeat is logged as such.
  EXPECT_THAT(DebugLog(), HasSubstr(") OFF, m_IDSession="));
}

TEST_F(AlarmsTest, GenerateAlertTakesTheWordAsGiven) {
  EXPECT_TRUE(dvr->GenerateAlert(2, "12/04/2026 14:05:09", 0, "Lobby", "motion", "12/4/2026 3:05:09 AM"));
  EXPECT_EQ(LastEvent()[0], "10340");
  EXPECT_EQ(LastEvent()[7], "motion");
  EXPECT_FALSE(dvr->GenerateAlert(2, "not a date", 0, "Lobby", "MOTION", ""));
  EXPECT_THAT(DebugLog(), HasSubstr("Dvrlink, GenerateAlert-A-3-5000"));
}

TEST_F(AlarmsTest, HostRaisedAlarmIsReportedWithTheDvrStartTimeAndQueuedForConfirmation) {
  struct Case {
    const char* name;
    int16_t camera;
    std::string user;
    std::string video_id;
    std::string event_code;
    std::string camera_address;
  };
  const Case cases[] = {
      {"with a user", 0, "alice", "55", "10317", "1234567890123001"},
      {"without a user", 9, "", "56", "10318", "1234567890123010"},
      {"no alarm-video row", 2, "bob", "", "10317", "1234567890123003"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    EXPECT_TRUE(dvr->GenerateAlarm(c.camera, 30, "Cam", c.user, "WS1", c.video_id, "V2-" + c.video_id));
    ASSERT_EQ(world.remotes.at(0)->generates.size(), 1u);
    EXPECT_EQ(std::get<2>(world.remotes.at(0)->generates[0]), 30);
    EXPECT_EQ(LastEvent(), (std::vector<std::string>{c.event_code, "2026/12/04 14:05:09", c.camera_address, "DVR1",
                                                     kDvr, "Cam", "30", c.user, "WS1", "", "", "", ""}));
    EXPECT_EQ(form->AlarmGeneratedList[0].sAlarmDateTime, "2026/12/04 14:05:09");
    EXPECT_EQ(form->AlarmGeneratedList[0].sDVR_AlarmVideo2ID, "V2-" + c.video_id);
    EXPECT_TRUE(dvr->GeneratedAlarmMark());
    EXPECT_EQ(form->TimerSyncData.Enabled(), !c.video_id.empty());
    std::vector<std::string> rows = Query("SELECT id, alarm_date_time FROM dvr_alarm_video");
    EXPECT_EQ(rows, c.video_id.empty() ? std::vector<std::string>{}
                                       : std::vector<std::string>{c.video_id + "|2026-12-04 14:05:09"});
  }
  // The DVR's next alert is recorded but not reported while the mark is set.
  size_t sent = SentEvents().size();
  EXPECT_TRUE(dvr->GenerateAlert(2, "12/04/2026 14:06:00", 5, "Lobby", "OVERRIDE", ""));
  EXPECT_EQ(SentEvents().size(), sent);
  EXPECT_FALSE(dvr->GeneratedAlarmMark());
  EXPECT_EQ(AlarmRows().size(), 1u);
  EXPECT_TRUE(dvr->GenerateAlert(2, "12/04/2026 14:07:00", 5, "Lobby", "OVERRIDE", ""));
  EXPECT_EQ(SentEventCodes().back(), 10325);
}

TEST_F(AlarmsTest, HostRaisedAlarmWithoutAnAlarmBeginFailsAfterFiveSeconds) {
  dvr_begins_alarm = false;
  DateTime before = clock->LocalNow();
  EXPECT_FALSE(dvr->GenerateAlarm(1, 10, "Cam", "alice", "WS1", "7", "V2"));
  EXPECT_GE(DateTime::DiffSeconds(before, clock->LocalNow()), 5);
  EXPECT_THAT(DebugLog(), HasSubstr(", iWait_Alarm=0;"));
  EXPECT_THAT(DebugLog(), HasSubstr("Dvrlink, GenerateAlarm-A-3-5000"));
  EXPECT_TRUE(SentEvents().empty());
  EXPECT_FALSE(dvr->GeneratedAlarmMark());
}

TEST_F(AlarmsTest, HostRaisedAlarmWithoutADvrSessionIsRefused) {
  remote_session = 0;
  Restart();
  EXPECT_FALSE(dvr->GenerateAlarm(1, 10, "Cam", "alice", "WS1", "7", "V2"));
  EXPECT_THAT(DebugLog(), HasSubstr("Dvrlink, GenerateAlarm(A-3-5000) ERROR, Can't m_oDvrRemote.Connect"));
}

// Camera numbers shown to the host (camera + 1) and the alarm countdown are
// 16-bit: past their range they raise Overflow and nothing reaches the host
// or the database.
TEST_F(AlarmsTest, SixteenBitArithmeticRaisesOverflow) {
  EXPECT_FALSE(dvr->GenerateAlarm(32767, 5, "Cam", "alice", "WS1", "", "V2"));
  EXPECT_FALSE(dvr->GenerateAlert(32767, "12/04/2026 14:05:09", 5, "Cam", "ALARMIN", ""));
  ModDvrlink().iAlarmTimerTicks = -32768;
  form->TimerGenerateAlarm.SetEnabled(true);
  Loop().RunForMillis(1000);
  EXPECT_FALSE(form->TimerGenerateAlarm.Enabled()) << "a failed tick leaves its timer off";
  for (const char* source :
       {"GenerateAlarm-A-3-5000", "GenerateAlert-A-3-5000", "frmMainTemplate, TimerGenerateAlarm_Timer"}) {
    EXPECT_THAT(DebugLog(), ContainsRegex(std::string(source) + "\\(\\) \\?\\?\\? ERROR, Line: [0-9]+, Overflow"));
  }
  EXPECT_TRUE(SentEvents().empty());
  EXPECT_TRUE(AlarmRows().empty());
  // Other alarm types on that camera need no input number.
  EXPECT_TRUE(dvr->GenerateAlert(32767, "12/04/2026 14:05:09", 5, "Cam", "MOTION", ""));
}

TEST_F(AlarmsTest, StopAlarmOfAnEmptyCameraStopsAndLogsCameraZero) {
  EXPECT_TRUE(dvr->StopAlarm(""));
  EXPECT_EQ(world.remotes.at(0)->stops, (std::vector<std::pair<int32_t, int16_t>>{{7, 0}}));
  EXPECT_THAT(DebugLog(), HasSubstr(" Dvrlink, StopAlarm() DONE, Camera=0\r\n"));
}

// A reset while GenerateAlarm runs moves the queue's read index: the slot
// freed afterwards is the one the index then names.
TEST_F(AlarmsTest, GenerateAlarmQueueFreesTheSlotItsIndexNamesAfterTheCall) {
  form->iGenerateAlarmQueueIndex = form->iGenerateAlarmQueueNext = 5;
  form->QueueGenerateAlarmCommand(3, 1, 1, "C", "u", "ws", "", "");
  Begin(0, "20261204140000", "MOTION");
  world.remotes.at(0)->on_generate = [&](int16_t) { form->ResetParameters(); };
  Loop().RunForMillis(300);
  ASSERT_EQ(world.remotes.at(0)->generates.size(), 1u);
  EXPECT_EQ(form->GenerateAlarmQueue[5].iClient, 3) << "the slot worked before the reset is not freed";
  EXPECT_EQ(form->iGenerateAlarmQueueNext, 1);
}

TEST_F(AlarmsTest, GenerateAlarmQueueWorksOneRequestPerTickInArrivalOrder) {
  // 302 requests before the first tick: the 302nd overwrites slot 0.
  for (int i = 1; i <= 302; ++i) {
    form->QueueGenerateAlarmCommand(1, static_cast<int16_t>(i % 16), 1, "C" + std::to_string(i), "u", "ws", "",
                                    "");
  }
  Begin(0, "20261204140000", "MOTION");  // the start time every call then reports
  std::vector<int64_t> call_times;
  world.remotes.at(0)->on_generate = [&](int16_t) { call_times.push_back(clock->MonotonicMicros()); };
  Loop().RunForMillis(301 * 400);
  const auto& calls = world.remotes.at(0)->generates;
  ASSERT_EQ(calls.size(), 301u);
  for (size_t k = 0; k < calls.size(); ++k) {
    // Slot 0 holds request 302 (request 1 is lost), then slots 1..300.
    int request = k == 0 ? 302 : static_cast<int>(k) + 1;
    ASSERT_EQ(std::get<1>(calls[k]), request % 16) << k;
  }
  // Each call waits for the one before it (100 ms inside) and the next tick.
  for (size_t k = 1; k < call_times.size(); ++k) EXPECT_GE(call_times[k] - call_times[k - 1], 300'000) << k;
  EXPECT_EQ(form->GenerateAlarmQueue[0].iClient, 0);
}

TEST_F(AlarmsTest, GeneratedAlarmIsConfirmedOnceTheActiveAlarmRowAppears) {
  auto insert_active = [&](const std::string& date) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(db_path.c_str(), &db), SQLITE_OK);
    std::string sql = "INSERT INTO alarm_active (alarm_date_time) VALUES ('" + date + "')";
    ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  };
  // The entry at slot 200 never shows up; the one at slot 0 does, later.
  form->iAlarmGeneratedIndex = 200;
  form->iAlarmGeneratedNext = 200;
  form->QueueUDTAlarmGenerated("2026/12/04 14:05:09", "never");
  form->QueueUDTAlarmGenerated("2026/12/04 14:06:00", "later");
  EXPECT_EQ(form->iAlarmGeneratedIndex, 1);
  form->TimerSyncData.SetEnabled(true);
  Loop().RunForMillis(11 * 5000 + 100);
  EXPECT_THAT(DebugLog(), HasSubstr("??? Can't find this data in table AlarmActive, UDTAlarmGenerated(200)"
                                    ".sAlarmDateTime=2026/12/04 14:05:09, sDVR_AlarmVideo2ID=never;"));
  EXPECT_EQ(form->iAlarmGeneratedNext, 0);
  EXPECT_EQ(form->iTryCounter, 0);
  Loop().RunForMillis(2 * 5000);  // two more misses on slot 0
  EXPECT_EQ(form->iTryCounter, 2);
  insert_active("2026-12-04 14:06:00");
  Loop().RunForMillis(5000);
  ASSERT_EQ(host->calls.size(), 1u);
  EXPECT_EQ(host->calls[0].type, 207);
  EXPECT_EQ(host->calls[0].id, 1);
  EXPECT_EQ(host->calls[0].description, "later");
  EXPECT_EQ(host->calls[0].ident, "104");
  EXPECT_EQ(form->iTryCounter, 0);
  EXPECT_EQ(form->iAlarmGeneratedNext, 1);
  EXPECT_EQ(form->AlarmGeneratedList[0].sAlarmDateTime, "");
  // Nothing left to confirm: the timer goes off at its next tick.
  Loop().RunForMillis(5000);
  EXPECT_FALSE(form->TimerSyncData.Enabled());
}

}  // namespace
}  // namespace dvrlink::testing
