// The simulator in-process: control commands, its clock's zone, replies to
// bad requests (its stream and host-raised alarm: through the service).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>

#include "fakes/link_dvrsim_process.h"
#include "fakes/test_support.h"
#include "dvrsim/dvr_simulator.h"
#include "dvrsim/sim_clock.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::MatchesRegex;

// Sends a line; the next line answered (earlier events skipped).
std::string Ask(svc::TestClient& client, const std::string& line) {
  while (client.ReadLine(0)) {
  }
  client.SendLine(line);
  return client.ReadLine(300).value_or("(no answer)");
}

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
      {"refuse on", "OK refusing=on"},
      {"refuse off", "OK refusing=off"},
      {"refuse", "ERR usage: refuse on\\|off"},
      {"drop", "OK dropped=0"},
      {"sysevent 4294967295 all bits", "OK sent=0 code=0xFFFFFFFF time=[0-9]{14}"},
      {"sysevent", "ERR usage: sysevent .*"},
      {"sysevent 0x1FFFFFFFF", "ERR usage: sysevent .*"},
      {"alarm begin 15 MOTION", "OK sent=0 camera=15 type=MOTION time=[0-9]{14} alarm_id=[0-9]+"},
      {"alarm begin 16 MOTION", "ERR camera '16' does not exist \\(0 to 15\\)"},
      {"alarm begin 2", "ERR usage: alarm .*"},
      {"alarm pos 2 MOTION 20261204170509 20261204170519 speed=3", "ERR alarm pos: bad option 'speed=3'"},
      {"alarm xml 2 Begin MOTION", "OK sent=0 camera=2 time=[0-9]{14} alarm_id=[0-9]+"},
      {"alarm begin 2 \"VIDEO", "ERR a quoted field is not closed"},
      {"", "ERR empty command"},
      {"fly away", "ERR unknown command 'fly' \\(try help\\)"},
      {"help", "OK commands=\".*status.*\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_THAT(dvr.Control(c.line), MatchesRegex(c.reply));
  }
}

// The DVR clock's zone comes from the system's zone files, as the C library's.
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
      {"before connect", R"({"op":"timesync","id":1,"session":1,"time":"20261204170509"})",
       R"(\{"error":\{"code":3,"message":"no session on this connection: connect first"\},"id":1\})"},
      {"connect", R"({"op":"connect","id":"c","login":""})",
       R"(\{"id":"c","result":\{"session":[0-9]+,"version":"dvrsim [0-9.]+"\}\})"},
      {"unknown op", R"({"op":"reboot","id":2})", R"(\{"error":\{"code":2,"message":"unknown op 'reboot'"\},"id":2\})"},
      {"wrong type", R"({"op":"timesync","id":3,"session":"one","time":"20261204170509"})",
       R"(\{"error":\{"code":1,"message":"field \\"session\\" is not an integer"\},"id":3\})"},
      {"no such camera", R"({"op":"generate_alarm","id":5,"session":1,"camera":99,"seconds":5})",
       R"re(\{"error":\{"code":5,"message":"camera 99 does not exist \(0 to 15\)"\},"id":5\})re"},
      {"a reply is no request", R"({"id":8,"result":{}})", "\\(no answer\\)"},
      {"still answering", R"({"op":"version","id":9})", R"(\{"id":9,"result":\{"cameras":16,.*\}\})"},
  };
  svc::TestClient command = svc::TestClient::Tcp(dvr.Ports().command);
  for (const Case& c : command_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(Ask(command, c.line), MatchesRegex(c.reply));
  }
  const Case event_cases[] = {
      {"unknown subscription", R"({"op":"connect","id":1,"session":3,"subscribe":"video"})",
       R"(\{"error":\{"code":5,"message":"unknown subscription 'video'"\},"id":1\})"},
      {"ack before connect", R"({"op":"ack","id":3,"session":3})", R"(\{"error":\{"code":3,.*"id":3\})"},
      {"connect", R"({"op":"connect","id":4,"session":3})", R"(\{"id":4,"result":\{"session":3\}\})"},
      {"second connect", R"({"op":"connect","id":5,"session":4})", R"(\{"error":\{"code":5,.*"id":5\})"},
  };
  svc::TestClient events = svc::TestClient::Tcp(dvr.Ports().event);
  for (const Case& c : event_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(Ask(events, c.line), MatchesRegex(c.reply));
  }
  EXPECT_FALSE(command.WaitClosed(0));
  EXPECT_FALSE(events.WaitClosed(0));
}

}  // namespace
}  // namespace dvrlink::testing
