// The simulator in-process: its control commands, its answers to requests
// good and bad, and the host-raised alarm's timing on the manual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/link_dvrsim_process.h"
#include "fakes/link_recorders.h"
#include "fakes/test_support.h"
#include "platform/dvr_link/dvr_event_ctrl_client.h"
#include "platform/dvr_link/link_connection.h"
#include "platform/dvr_link/sim/dvr_simulator.h"
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
      {"sysevent", "ERR usage: sysevent .*"},
      {"sysevent 0x1FFFFFFFF", "ERR usage: sysevent .*"},
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
  auto status = DvrsimProcess::Fields(dvr.Control("status"));
  EXPECT_EQ(status["cameras_in_alarm"], "15");
  EXPECT_EQ(status["cameras"], "16");
  EXPECT_EQ(status["refusing"], "off");
}

TEST_F(SimulatorTest, MalformedAndInvalidRequestsGetErrorRepliesAndTheConnectionLives) {
  sim::DvrSimulator dvr(Loop(), sim::SimOptions());
  struct Case {
    const char* name;
    const char* line;
    const char* reply;  // a regular expression
  };
  const Case command_cases[] = {
      {"not JSON", "{oops", R"(\{"error":\{"code":1,"message":"not valid JSON"\},"id":null\})"},
      {"not an object", "[1,2]", R"(\{"error":\{"code":1,"message":"not a JSON object"\},"id":null\})"},
      {"binary noise", "\x01\x02\xff", R"(\{"error":\{"code":1,.*"id":null\})"},
      {"before connect", R"({"op":"timesync","id":1,"session":1,"time":"20261204170509"})",
       R"(\{"error":\{"code":3,"message":"no session on this connection: connect first"\},"id":1\})"},
      {"connect", R"({"op":"connect","id":"c","login":""})", R"(\{"id":"c","result":\{"session":[0-9]+\}\})"},
      {"unknown op", R"({"op":"reboot","id":2})", R"(\{"error":\{"code":2,"message":"unknown op 'reboot'"\},"id":2\})"},
      {"wrong type", R"({"op":"timesync","id":3,"session":"one","time":"20261204170509"})",
       R"(\{"error":\{"code":1,"message":"field \\"session\\" is not an integer"\},"id":3\})"},
      {"bad time", R"({"op":"timesync","id":4,"session":1,"time":"2026-12-04"})",
       R"(\{"error":\{"code":1,.*not a time of 14 digits.*"id":4\})"},
      {"no such camera", R"({"op":"generate_alarm","id":5,"session":1,"camera":99,"seconds":5})",
       R"re(\{"error":\{"code":5,"message":"camera 99 does not exist \(0 to 15\)"\},"id":5\})re"},
      {"zero seconds", R"({"op":"generate_alarm","id":6,"session":1,"camera":1,"seconds":0})",
       R"(\{"error":\{"code":1,.*out of range.*"id":6\})"},
      {"retrieval not here yet", R"({"op":"retrieve","id":7,"session":1,"camera":0})",
       R"(\{"error":\{"code":7,"message":"retrieve is not carried out by this simulator yet"\},"id":7\})"},
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

}  // namespace
}  // namespace dvrlink::testing
