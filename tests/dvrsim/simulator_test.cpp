// The simulator in-process: its control commands, its answers to requests
// good and bad, and the host-raised alarm's timing on the manual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "fakes/link_dvrsim_process.h"
#include "fakes/link_recorders.h"
#include "fakes/test_support.h"
#include "link/dvr_event_ctrl_client.h"
#include "link/link_connection.h"
#include "dvrsim/control_text.h"
#include "dvrsim/dvr_simulator.h"
#include "dvrsim/sim_clock.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// A raw client of one of the simulator's ports, on the loop.
class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    link::LinkConnection::Handlers h;
    h.line = [this](const std::string& line) { lines.push_back(line); };
    h.closed = [this](const std::string&) { closed = true; };
    conn_ = link::LinkConnection::Connect(Loop(), "127.0.0.1", port, std::move(h), link::kMaxLineBytes);
  }
  void Send(const std::string& line) { conn_->Send(line); }
  // The first line received that contains text (waiting up to max_ms).
  std::string Find(const std::string& text, int max_ms = 1000) {
    std::string found = "(no answer)";
    PumpUntil(
        [&] {
          for (const std::string& line : lines) {
            if (line.find(text) != std::string::npos) found = line;
          }
          return found != "(no answer)" || closed;
        },
        max_ms);
    return found;
  }
  // Sends a line and waits for the next one that comes back.
  std::string Ask(const std::string& line) {
    size_t before = lines.size();
    conn_->Send(line);
    if (!PumpUntil([&] { return lines.size() > before || closed; }, 300)) return "(no answer)";
    return lines.size() > before ? lines[before] : "(closed)";
  }
  std::vector<std::string> lines;
  bool closed = false;

 private:
  std::unique_ptr<link::LinkConnection> conn_;
};

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform().program_folder = dir.path(); }
  TempDir dir;
};

TEST_F(SimulatorTest, ControlCommandsAnswerOkOrSayWhatIsWrong) {
  sim::DvrSimulator dvr(Loop(), sim::SimOptions());
  struct Case {
    const char* line;
    const char* reply;  // a regular expression
  };
  const Case cases[] = {
      {"clock", "OK clock=[0-9]{14}"},
      {"CLOCK", "OK clock=[0-9]{14}"},
      {"refuse on", "OK refusing=on"},
      {"refuse off", "OK refusing=off"},
      {"refuse", "ERR usage: refuse on\\|off"},
      {"drop", "OK dropped=0"},
      {"sysevent 4294967295 all bits", "OK sent=0 code=0xFFFFFFFF time=[0-9]{14}"},
      {"sysevent 0Xc00407d9", "OK sent=0 code=0xC00407D9 time=[0-9]{14}"},
      {"sysevent", "ERR usage: sysevent .*"},
      {"sysevent 4294967296", "ERR usage: sysevent .*"},
      {"sysevent 0x1FFFFFFFF", "ERR usage: sysevent .*"},
      {"sysevent 0x", "ERR usage: sysevent .*"},
      {"sysevent -1", "ERR usage: sysevent .*"},
      {"sysevent 12ab", "ERR usage: sysevent .*"},
      {"alarm begin 15 MOTION", "OK sent=0 camera=15 type=MOTION time=[0-9]{14} alarm_id=[0-9]+"},
      {"alarm begin 16 MOTION", "ERR camera '16' does not exist \\(0 to 15\\)"},
      {"alarm end -1 MOTION", "ERR camera '-1' does not exist.*"},
      {"alarm begin 2", "ERR usage: alarm .*"},
      {"alarm pos 2 MOTION 2026 20261204170519", "ERR usage: alarm .*"},
      {"alarm pos 2 MOTION 20261204170509 20261204170519 speed=3", "ERR alarm pos: bad option 'speed=3'"},
      {"alarm pos 2 MOTION 20261204170509 20261204170519 override=x", "ERR alarm pos: bad option 'override=x'"},
      {"alarm xml 2 Begin MOTION", "OK sent=0 camera=2 time=[0-9]{14} alarm_id=[0-9]+"},
      {"alarm blink 2", "ERR usage: alarm .*"},
      {"alarm begin 2 \"VIDEO", "ERR a quoted field is not closed"},
      {"", "ERR empty command"},
      {"fly away", "ERR unknown command 'fly' \\(try help\\)"},
      {"help", "OK commands=\".*status.*\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_THAT(dvr.Control(c.line), MatchesRegex(c.reply));
  }
  // Values with blanks, quotes or backslashes are quoted so that they read back.
  for (const std::string value : {"", "two words", "quote\"inside", "back\\slash"}) {
    EXPECT_EQ(DvrsimProcess::Fields("OK k=" + sim::QuoteValue(value) + " x=1")["k"], value);
  }
  auto status = DvrsimProcess::Fields(dvr.Control("status"));
  EXPECT_EQ(status["cameras_in_alarm"], "15");
  EXPECT_EQ(status["cameras"], "16");
  EXPECT_EQ(status["refusing"], "off");
}

// The DVR clock reads its zone from the system's zone files, as the C
// library does, also where ICU's own data knows otherwise or nothing.
TEST_F(SimulatorTest, ClockFollowsTheSystemsZoneFiles) {
  const std::optional<std::string> tz =
      std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
  for (const char* zone : {"Asia/Almaty", "America/Ciudad_Juarez"}) {
    const sim::SimClock clock(zone, Loop().clock());
    ::setenv("TZ", zone, 1);
    ::tzset();
    const time_t now = ::time(nullptr);
    struct tm t {};
    ::localtime_r(&now, &t);
    const DateTime expected =
        DateTime::FromParts(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    EXPECT_LE(std::abs(DateTime::DiffSeconds(expected, clock.Now())), 2) << zone;
  }
  tz ? ::setenv("TZ", tz->c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
  EXPECT_THROW(sim::SimClock("Not/A_Zone", Loop().clock()), std::invalid_argument);
}

TEST_F(SimulatorTest, MalformedAndInvalidRequestsGetErrorRepliesAndTheConnectionLives) {
  sim::DvrSimulator dvr(Loop(), sim::SimOptions());
  struct Case {
    const char* name;
    const char* line;
    const char* reply;  // a regular expression
  };
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  const Case command_cases[] = {
      {"not JSON", "{oops", R"(\{"error":\{"code":1,"message":"not valid JSON"\},"id":null\})"},
      {"nested 100,000 deep", deep.c_str(), R"(\{"error":\{"code":1,"message":"not valid JSON: nested deeper.*"id":null\})"},
      {"not an object", "[1,2]", R"(\{"error":\{"code":1,"message":"not a JSON object"\},"id":null\})"},
      {"binary noise", "\x01\x02\xff", R"(\{"error":\{"code":1,.*"id":null\})"},
      {"before connect", R"({"op":"timesync","id":1,"session":1,"time":"20261204170509"})",
       R"(\{"error":\{"code":3,"message":"no session on this connection: connect first"\},"id":1\})"},
      {"connect", R"({"op":"connect","id":"c","login":""})",
       R"(\{"id":"c","result":\{"session":[0-9]+,"version":"dvrsim [0-9.]+"\}\})"},
      {"unknown op", R"({"op":"reboot","id":2})", R"(\{"error":\{"code":2,"message":"unknown op 'reboot'"\},"id":2\})"},
      {"wrong type", R"({"op":"timesync","id":3,"session":"one","time":"20261204170509"})",
       R"(\{"error":\{"code":1,"message":"field \\"session\\" is not an integer"\},"id":3\})"},
      {"bad time", R"({"op":"timesync","id":4,"session":1,"time":"2026-12-04"})",
       R"(\{"error":\{"code":1,.*not a time of 14 digits.*"id":4\})"},
      {"no such camera", R"({"op":"generate_alarm","id":5,"session":1,"camera":99,"seconds":5})",
       R"re(\{"error":\{"code":5,"message":"camera 99 does not exist \(0 to 15\)"\},"id":5\})re"},
      {"zero seconds", R"({"op":"generate_alarm","id":6,"session":1,"camera":1,"seconds":0})",
       R"(\{"error":\{"code":1,.*out of range.*"id":6\})"},
      {"retrieve without times", R"({"op":"retrieve","id":7,"session":1,"camera":0})",
       R"(\{"error":\{"code":1,"message":"missing field \\"begin\\""\},"id":7\})"},
      {"a reply is no request", R"({"id":8,"result":{}})", "\\(no answer\\)"},
      {"still answering", R"({"op":"version","id":9})", R"(\{"id":9,"result":\{"cameras":16,.*\}\})"},
  };
  RawClient command(dvr.Ports().command);
  for (const Case& c : command_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(command.Ask(c.line), MatchesRegex(c.reply));
  }
  const Case event_cases[] = {
      {"unknown subscription", R"({"op":"connect","id":1,"session":3,"subscribe":"video"})",
       R"(\{"error":\{"code":5,"message":"unknown subscription 'video'"\},"id":1\})"},
      {"session 0", R"({"op":"connect","id":2,"session":0})", R"(\{"error":\{"code":1,.*out of range.*"id":2\})"},
      {"ack before connect", R"({"op":"ack","id":3,"session":3})", R"(\{"error":\{"code":3,.*"id":3\})"},
      {"connect", R"({"op":"connect","id":4,"session":3})", R"(\{"id":4,"result":\{"session":3\}\})"},
      {"second connect", R"({"op":"connect","id":5,"session":4})", R"(\{"error":\{"code":5,.*"id":5\})"},
      {"ack of another session", R"({"op":"ack","id":6,"session":4})", R"(\{"error":\{"code":3,.*"id":6\})"},
  };
  RawClient events(dvr.Ports().event);
  for (const Case& c : event_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(events.Ask(c.line), MatchesRegex(c.reply));
  }
  EXPECT_FALSE(command.closed);
  EXPECT_FALSE(events.closed);
}

TEST_F(SimulatorTest, HostRaisedAlarmRunsItsSecondsOnTheManualClock) {
  UseManualClock();
  sim::DvrSimulator dvr(Loop(), sim::SimOptions());
  LinkEventRecorder recorder;
  DvrEventCtrlClient ctrl(Loop(), DvrLinkOptions());
  ctrl.SetEventSink(&recorder);
  ctrl.AlarmEventCtrl()->SetEventSink(&recorder);
  ctrl.Connect("127.0.0.1", dvr.Ports().event);
  ctrl.Start();
  ASSERT_TRUE(PumpUntil([&] { return recorder.events.size() == 1; }));
  ctrl.Acknowledge();
  ASSERT_TRUE(PumpUntil([&] { return DvrsimProcess::Fields(dvr.Control("status"))["ready_sessions"] == "1"; }));

  RawClient command(dvr.Ports().command);
  ASSERT_THAT(command.Ask(R"({"op":"connect","id":1})"), HasSubstr("\"session\":1"));
  ASSERT_EQ(command.Ask(R"({"op":"generate_alarm","id":2,"session":1,"camera":3,"seconds":30})"),
            R"({"id":2,"result":{}})");
  ASSERT_TRUE(PumpUntil([&] { return recorder.events.size() == 3; }));
  std::string begin = recorder.events[1].substr(recorder.events[1].find("time=") + 5, 14);
  // A second request restarts the count: the alarm now lasts 30 s from here.
  Loop().RunFor(10'000'000);
  ASSERT_EQ(command.Ask(R"({"op":"generate_alarm","id":3,"session":1,"camera":3,"seconds":30})"),
            R"({"id":3,"result":{}})");
  Loop().RunFor(29'000'000);
  EXPECT_EQ(recorder.events.size(), 3u) << "the alarm ended early";
  Loop().RunFor(1'100'000);
  ASSERT_TRUE(PumpUntil([&] { return recorder.events.size() == 5; }));
  DateTime begin_time = *DateTime::FromDigits14(begin);
  std::string end = begin_time.AddSeconds(40).FormatDigits14();
  EXPECT_THAT(recorder.events,
              ElementsAre(StartsWith("connected 1 "), StartsWith("begin 1 127.0.0.1 cam=3 time=" + begin),
                          StartsWith("xml 1 127.0.0.1 <Alarm><Camera>3</Camera><State>Begin</State>"),
                          StartsWith("end 1 127.0.0.1 cam=3 time=" + end + " type=OVERRIDE"),
                          StartsWith("pos 1 127.0.0.1 cam=3 pre=" + begin + " start=" + begin + " end=" + end +
                                     " positions=0,0,0 type=OVERRIDE")));
  EXPECT_EQ(command.Ask(R"({"op":"stop_alarm","id":4,"session":1,"camera":3})"),
            R"({"id":4,"result":{"stopped":false}})");
}

TEST_F(SimulatorTest, RetrieveStreamsTheSpanAndRefusesWhatItCannotServe) {
  sim::DvrSimulator dvr(Loop(), sim::SimOptions());
  RawClient command(dvr.Ports().command);
  ASSERT_THAT(command.Ask(R"({"op":"connect","id":1})"), HasSubstr("\"session\":1"));
  auto retrieve = [](int id, const std::string& camera, const std::string& begin, const std::string& end) {
    return R"({"op":"retrieve","id":)" + std::to_string(id) + R"(,"session":1,"camera":)" + camera +
           R"(,"begin":")" + begin + R"(","end":")" + end + R"(","file":"clip.dvr"})";
  };
  struct Case {
    const char* name;
    std::string line;
    const char* reply;  // a regular expression
  };
  const Case refused[] = {
      {"begin of 10 digits", retrieve(2, "3", "2026120410", "20261204100500"),
       R"(\{"error":\{"code":1,.*not a time of 14 digits.*)"},
      {"end before begin", retrieve(3, "3", "20261204100500", "20261204100459"),
       R"(\{"error":\{"code":5,"message":"end 20261204100459 is before begin 20261204100500"\},"id":3\})"},
      {"more than an hour", retrieve(4, "3", "20261204100000", "20261204110001"),
       R"(\{"error":\{"code":5,"message":"a span of 3601 s is longer than the 3600 s .*)"},
      {"a camera the DVR lacks", retrieve(5, "16", "20261204100000", "20261204100500"),
       R"(\{"error":\{"code":5,"message":"camera 16 does not exist.*)"},
  };
  for (const Case& c : refused) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(command.Ask(c.line), MatchesRegex(c.reply));
  }
  ASSERT_EQ(dvr.Control("refuse on"), "OK refusing=on");
  EXPECT_THAT(command.Ask(retrieve(6, "3", "20261204100000", "20261204100010")),
              HasSubstr(R"("code":4,"message":"the DVR refuses new sessions")"));
  ASSERT_EQ(dvr.Control("refuse off"), "OK refusing=off");

  // Two minutes of camera 3; a second request while it streams is busy.
  command.lines.clear();
  command.Send(retrieve(7, "3", "20261204100000", "20261204100200"));
  command.Send(retrieve(8, "3", "20261204100000", "20261204100200"));
  EXPECT_EQ(command.Find("\"id\":7"), R"({"id":7,"result":{"bytes":491520}})");
  EXPECT_THAT(command.Find("\"id\":8"), HasSubstr(R"("code":6,"message":"a retrieval is running on this session")"));
  EXPECT_EQ(DvrsimProcess::Fields(dvr.Control("status"))["retrieving"], "1");
  // The bytes themselves, their chunks and their progress are checked where
  // the service exports a retrieval (HostChannelEndToEndTest).
  ASSERT_THAT(command.Find("\"reason\":2", 10000), HasSubstr(R"("data1":491520,"data2":491520)"));

  auto status = DvrsimProcess::Fields(dvr.Control("status"));
  EXPECT_EQ(status["retrievals"], "1");
  EXPECT_EQ(status["retrieving"], "0");
}

}  // namespace
}  // namespace dvrlink::testing
