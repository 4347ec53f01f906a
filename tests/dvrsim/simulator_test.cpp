// dvrsim in-process: control commands and replies to bad requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/link_dvrsim_process.h"
#include "fakes/test_support.h"
#include "dvrsim/dvr_simulator.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::MatchesRegex;

// Sends a line; the line answered.
std::string Ask(svc::TestClient& client, const std::string& line) {
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
      {"drop", "OK dropped=0"},
      {"sysevent 4294967295 all bits", "OK sent=0 code=0xFFFFFFFF time=[0-9]{14}"},
      {"sysevent 0x1FFFFFFFF", "ERR usage: sysevent .*"},
      {"alarm begin 15 MOTION", "OK sent=0 camera=15 type=MOTION time=[0-9]{14} alarm_id=[0-9]+"},
      {"alarm begin 16 MOTION", "ERR camera '16' does not exist \\(0 to 15\\)"},
      {"alarm pos 2 MOTION 20261204170509 20261204170519 speed=3", "ERR alarm pos: bad option 'speed=3'"},
      {"alarm begin 2 \"VIDEO", "ERR a quoted field is not closed"},
      {"", "ERR empty command"},
      {"fly away", "ERR unknown command 'fly' \\(try help\\)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_THAT(dvr.Control(c.line), MatchesRegex(c.reply));
  }
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
      {"before connect", R"({"op":"timesync","id":1,"session":1,"time":"20261204170509"})",
       R"(\{"error":\{"code":3,"message":"no session on this connection: connect first"\},"id":1\})"},
      {"connect", R"({"op":"connect","id":"c","login":""})",
       R"(\{"id":"c","result":\{"session":[0-9]+,"version":"dvrsim [0-9.]+"\}\})"},
      {"wrong type", R"({"op":"timesync","id":3,"session":"one","time":"20261204170509"})",
       R"(\{"error":\{"code":1,"message":"field \\"session\\" is not an integer"\},"id":3\})"},
      {"still answering", R"({"op":"version","id":9})", R"(\{"id":9,"result":\{"cameras":16,.*\}\})"},
  };
  svc::TestClient command = svc::TestClient::Tcp(dvr.Ports().command);
  for (const Case& c : command_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_THAT(Ask(command, c.line), MatchesRegex(c.reply));
  }
  EXPECT_FALSE(command.WaitClosed(0));
}

}  // namespace
}  // namespace dvrlink::testing
