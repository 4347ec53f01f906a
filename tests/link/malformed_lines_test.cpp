// What the client does with lines from a DVR that break the protocol: each
// is logged and skipped, the session goes on, and nothing crashes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fakes/link_recorders.h"
#include "fakes/link_scripted_peer.h"
#include "fakes/test_support.h"
#include "link/dvr_event_ctrl_client.h"
#include "link/dvr_remote_client.h"
#include "link/link_protocol.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class MalformedLinesTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform().program_folder = dir.path(); }
  int LoggedErrors() const { return CountLinesContaining(dir.File("DebugDeviceAdm.log"), "??? DVR link, "); }
  TempDir dir;
  LinkEventRecorder recorder;
};

TEST_F(MalformedLinesTest, EventSessionSkipsBadLinesAndKeepsGoing) {
  // The DVR answers the subscription with bad lines among good ones, then
  // a line without end beyond the limit, which ends the session instead of
  // filling memory.
  LinkScriptedPeer dvr({}, [](const std::string& line) -> std::vector<std::string> {
    const std::string s = link::Json::parse(line).value("session", link::Json()).dump();
    return {"{oops", "[\"connected\"]", "\xff\xfe garbage", R"({"op":"reboot","id":4})", R"({"id":1,"error":"no"})",
            R"({"id":1,"result":{"session":)" + s + "}}", R"({"event":"connected","session":)" + s + "}",
            R"({"event":"alarm_begin","session":)" + s + R"(,"time":"20261204170509","type":"MOTION"})",
            R"({"event":"alarm_begin","session":)" + s + R"(,"camera":"two","time":"20261204170509","type":"M"})",
            R"({"event":"alarm_pos","session":)" + s + R"(,"camera":70000,"start_time":"x","end_time":"y","type":"M"})",
            R"({"event":"alarm_begin","session":)" + s + R"(,"camera":2,"time":"20261204170509","type":"MOTION"})",
            R"({"event":"fan_failure","session":)" + s + R"(,"fan":2})", std::string(link::kMaxLineBytes + 16, 'x')};
  });
  DvrEventCtrlClient ctrl(Loop(), DvrLinkOptions());
  ctrl.SetEventSink(&recorder);
  ctrl.AlarmEventCtrl()->SetEventSink(&recorder);
  const int32_t session = ctrl.Connect("127.0.0.1", dvr.port());
  ctrl.Start();
  ASSERT_TRUE(PumpUntil([&] { return recorder.events.size() >= 4; }));
  const std::string s = std::to_string(session);
  EXPECT_THAT(dvr.Received(), ElementsAre(R"({"id":1,"op":"connect","session":)" + s + R"(,"subscribe":"alarms"})"));
  EXPECT_THAT(recorder.events,
              ElementsAre("connected " + s + " 127.0.0.1",
                          "begin " + s + " 127.0.0.1 cam=2 time=20261204170509 type=MOTION oi=0 ot= id=",
                          "unexpected " + s + " 127.0.0.1 {\"event\":\"fan_failure\",\"session\":" + s + ",\"fan\":2}",
                          "disconnected " + s + " 127.0.0.1"));
  EXPECT_EQ(LoggedErrors(), 8);  // one per bad line; the overlong line only ends the session
}

TEST_F(MalformedLinesTest, EventPortThatNeverConfirmsEndsTheSessionAtTheBound) {
  UseManualClock();
  LinkScriptedPeer dvr({}, [](const std::string&) { return std::vector<std::string>(); });  // reads, never answers
  DvrLinkOptions options;
  options.reply_timeout_ms = 2000;
  DvrEventCtrlClient ctrl(Loop(), options);
  ctrl.SetEventSink(&recorder);
  int32_t session = ctrl.Connect("127.0.0.1", dvr.port());
  ctrl.Start();
  ASSERT_TRUE(PumpUntil([&] { return !dvr.Received().empty(); }));
  Loop().RunFor(1'900'000);
  EXPECT_TRUE(recorder.events.empty());
  Loop().RunFor(200'000);
  ASSERT_TRUE(PumpUntil([&] { return recorder.events.size() >= 2; }));
  const std::string s = std::to_string(session);
  EXPECT_THAT(recorder.events,
              ElementsAre(StartsWith("connect_error " + s + " 127.0.0.1 no answer from the DVR at 127.0.0.1:"),
                          "disconnected " + s + " 127.0.0.1"));
}

TEST_F(MalformedLinesTest, CommandCallsFindTheirReplyAmongBadLines) {
  LinkScriptedPeer dvr(
      {"{oops", R"({"event":"time_sync","session":5})", R"({"id":77,"result":{}})", "[]"},
      [](const std::string& line) -> std::vector<std::string> {
        if (line.find("\"op\":\"connect\"") != std::string::npos) {
          return {"not json at all", LinkScriptedPeer::ReplyTo(line, R"({"session":5})")};
        }
        if (line.find("\"op\":\"timesync\"") != std::string::npos) {
          return {LinkScriptedPeer::ReplyTo(line, "{}"),
                  R"({"event":"time_sync","session":5,"reason":2,"data1":-3,"data2":0})"};
        }
        if (line.find("\"op\":\"version\"") != std::string::npos) {
          return {LinkScriptedPeer::ReplyTo(line, R"({"version":42})")};
        }
        return {LinkScriptedPeer::ErrorTo(line, 2, "unknown op")};
      });
  DvrRemoteClient remote(Loop(), DvrLinkOptions());
  remote.SetEventSink(&recorder);
  int32_t session = 0;
  remote.Connect("127.0.0.1", static_cast<int16_t>(dvr.port()), "", session);
  ASSERT_EQ(session, 5);
  remote.TimeSync(5, DateTime::FromParts(2026, 12, 4, 17, 5, 9));
  // The connect reply tells no version: it is asked once, and a version
  // that is no text leaves it unknown.
  EXPECT_THAT(dvr.Received(), ElementsAre(R"({"id":1,"login":"","op":"connect"})", R"({"id":2,"op":"version"})",
                                          R"({"id":3,"op":"timesync","session":5,"time":"20261204170509"})"));
  EXPECT_EQ(remote.Version(), DvrLinkClientVersion());
  EXPECT_THAT(ReadFile(dir.File("DebugDeviceAdm.log")),
              HasSubstr(".Connect(127.0.0.1:" + std::to_string(dvr.port()) + ") the DVR's version is unknown: "));
  ASSERT_TRUE(PumpUntil([&] { return !recorder.events.empty(); }));
  PumpFor(30);
  EXPECT_THAT(recorder.events, ElementsAre("time_sync 5 2 -3 0"));
  // {oops, the event without reason, [] and "not json at all"; the stray
  // reply is only noted.
  EXPECT_EQ(LoggedErrors(), 4);
}

TEST_F(MalformedLinesTest, AVersionThatNeverComesLeavesTheConnectStanding) {
  // An older DVR tells no version in its connect reply and then never answers
  // the question: the session stands, the version is logged as unknown.
  LinkScriptedPeer dvr({}, [](const std::string& line) -> std::vector<std::string> {
    if (line.find("\"op\":\"connect\"") == std::string::npos) return {};
    return {LinkScriptedPeer::ReplyTo(line, R"({"session":5})")};
  });
  DvrLinkOptions options;
  options.reply_timeout_ms = 300;
  DvrRemoteClient remote(Loop(), options);
  int32_t session = 0;
  remote.Connect("127.0.0.1", static_cast<int16_t>(dvr.port()), "", session);
  EXPECT_EQ(session, 5);
  EXPECT_EQ(remote.Version(), DvrLinkClientVersion());
  EXPECT_THAT(ReadFile(dir.File("DebugDeviceAdm.log")), HasSubstr(") the DVR's version is unknown: "));
}

TEST_F(MalformedLinesTest, AConnectReplyWithoutASessionNumberGivesSessionZero) {
  // A session nested 200,000 deep is no reply at all: the call ends at its bound.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  int errors = 0;
  for (const std::string& result : {std::string(R"({"session":"five"})"), R"({"session":)" + deep + "}"}) {
    SCOPED_TRACE(result.substr(0, 16));
    LinkScriptedPeer dvr({}, [&](const std::string& line) -> std::vector<std::string> {
      return {LinkScriptedPeer::ReplyTo(line, result)};
    });
    DvrLinkOptions options;
    options.reply_timeout_ms = 300;
    DvrRemoteClient remote(Loop(), options);
    int32_t session = 9;
    remote.Connect("127.0.0.1", static_cast<int16_t>(dvr.port()), "", session);
    EXPECT_EQ(session, 0);
    EXPECT_EQ(LoggedErrors(), ++errors);
  }
}

}  // namespace
}  // namespace dvrlink::testing
