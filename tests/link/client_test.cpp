// The DVR link client against dvrsim and scripted DVRs: session, faults, bad lines, call bounds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include <chrono>

#include "fakes/link_dvrsim_process.h"
#include "fakes/link_recorders.h"
#include "fakes/link_scripted_peer.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "link/dvr_event_ctrl_client.h"
#include "link/dvr_remote_client.h"
#include "link/link_connection.h"
#include "link/link_protocol.h"
#include "platform/platform_state.h"
#include "support/runtime_error.h"

namespace dvrlink::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string kAddress = "127.0.0.1";

class LinkClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Platform().program_folder = dir.path();
    ASSERT_TRUE(sim.Started());
  }
  std::shared_ptr<DvrRemoteClient> NewRemote(int32_t timeout_ms = 2000) {
    DvrLinkOptions options;
    options.reply_timeout_ms = timeout_ms;
    options.export_folder = dir.path();
    auto remote = std::make_shared<DvrRemoteClient>(Loop(), options);
    remote->SetEventSink(&recorder);
    return remote;
  }
  static double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  TempDir dir;
  DvrsimProcess sim;
  LinkEventRecorder recorder;
};

// Every refusal of the DVR comes through one branch; a foreign session stands for all.
TEST_F(LinkClientTest, CommandSessionVersionTimeSyncAndNamedErrors) {
  auto remote = NewRemote();
  int32_t session = 0;
  remote->Connect(kAddress, static_cast<int16_t>(sim.command_port), "", session);
  ASSERT_GT(session, 0);
  EXPECT_EQ(sim.Status()["command_sessions"], "1");

  EXPECT_THAT(remote->Version(), AllOf(StartsWith("DVR link client "), HasSubstr("; DVR: dvrsim 1.0.0")));

  remote->TimeSync(session, DateTime::FromParts(2026, 12, 4, 17, 5, 9));
  EXPECT_THAT(recorder.events, IsEmpty()) << "the DVR's time_sync event came inside the call";
  EXPECT_EQ(sim.Status()["last_time_sync"], "20261204170509");
  EXPECT_EQ(sim.Control("clock").substr(0, 17), "OK clock=20261204") << "the DVR clock follows the sync";
  ASSERT_TRUE(PumpUntil([&] { return !recorder.events.empty(); }));
  EXPECT_THAT(recorder.events, ElementsAre(StartsWith("time_sync " + std::to_string(session) + " 2 ")));
  try {
    remote->TimeSync(session + 1, DateTime::FromParts(2026, 1, 1));
    ADD_FAILURE() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrDvrLinkRejected);
    EXPECT_THAT(e.Description(), HasSubstr("is not this connection's session"));
  }
  // Never connected: a clear error, no crash.
  auto idle = NewRemote();
  try {
    idle->TimeSync(1, DateTime::FromParts(2026, 1, 1));
    ADD_FAILURE() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrDvrLinkNotConnected);
  }
  EXPECT_THAT(idle->Version(), StartsWith("DVR link client ")) << "the client's own version needs no DVR";
}

TEST_F(LinkClientTest, ADvrThatDoesNotServeGivesSessionZeroOrConnectErrorThenDisconnectedWithinTheBound) {
  LinkScriptedPeer silent({}, [](const std::string&) { return std::vector<std::string>(); });  // accepts, never answers
  const uint16_t nobody = svc::FreeTcpPort();
  struct Case {
    const char* name;
    uint16_t command_port, event_port;
    std::string error;
  };
  const Case cases[] = {
      {"nothing listening", nobody, nobody, "cannot connect to 127.0.0.1:" + std::to_string(nobody)},
      {"silent", silent.port(), silent.port(), "no answer from the DVR at 127.0.0.1:" + std::to_string(silent.port())},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    recorder.events.clear();
    DvrLinkOptions options;
    options.reply_timeout_ms = 300;
    DvrRemoteClient remote(Loop(), options);
    const auto start = std::chrono::steady_clock::now();
    int32_t session = 99;
    remote.Connect(kAddress, static_cast<int16_t>(c.command_port), "", session);
    EXPECT_EQ(session, 0);
    EXPECT_LT(SecondsSince(start), 1.0);
    while (c.command_port == silent.port() && silent.Closed() == 0 && SecondsSince(start) < 2.0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(silent.Closed(), c.command_port == silent.port() ? 1 : 0) << "a DVR giving no session is let go";

    DvrEventCtrlClient ctrl(Loop(), options);
    ctrl.SetEventSink(&recorder);
    int32_t event_session = ctrl.Connect(kAddress, c.event_port);
    EXPECT_GT(event_session, 0) << "the event session number comes at once";
    ctrl.Start();
    ASSERT_TRUE(PumpUntil([&] { return recorder.events.size() >= 2; }, 1000));
    PumpFor(30);
    const std::string s = std::to_string(event_session) + " 127.0.0.1";
    EXPECT_THAT(recorder.events, ElementsAre(StartsWith("connect_error " + s + " " + c.error), "disconnected " + s));
  }
}

TEST_F(LinkClientTest, ACallToADvrThatStopsAnsweringRaisesAtTheBound) {
  LinkScriptedPeer quiet({}, [](const std::string& line) {
    if (line.find("\"connect\"") == std::string::npos) return std::vector<std::string>();
    return std::vector<std::string>{LinkScriptedPeer::ReplyTo(line, "{\"session\":5}")};
  });
  auto remote = NewRemote(300);
  int32_t session = 0;
  remote->Connect(kAddress, static_cast<int16_t>(quiet.port()), "", session);
  ASSERT_EQ(session, 5);
  const auto start = std::chrono::steady_clock::now();
  try {
    remote->TimeSync(5, DateTime::FromParts(2026, 12, 4, 17, 5, 9));
    ADD_FAILURE() << "no error raised";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kErrDvrLinkTimeout);
    EXPECT_THAT(e.Description(), HasSubstr("no answer from the DVR at 127.0.0.1:"));
  }
  EXPECT_GE(SecondsSince(start), 0.29);
  EXPECT_LT(SecondsSince(start), 1.0);
}

// Lines from a DVR that break the protocol: each is logged and skipped, the
// session goes on, and nothing crashes.
class MalformedLinesTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform().program_folder = dir.path(); }
  int LoggedErrors() const { return CountLinesContaining(dir.File("DebugDeviceAdm.log"), "??? DVR link, "); }
  TempDir dir;
  LinkEventRecorder recorder;
};

TEST_F(MalformedLinesTest, EventSessionSkipsBadLinesAndKeepsGoing) {
  // Bad lines among good ones, then an endless line that ends the session.
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

// A port past 16 bits is refused, never cut down to another port.
TEST_F(MalformedLinesTest, AnEventPortThatIsNoTcpPortEndsTheSessionWithAConnectError) {
  DvrEventCtrlClient ctrl(Loop(), DvrLinkOptions());
  ctrl.SetEventSink(&recorder);
  ctrl.Start();
  const int32_t wide = ctrl.Connect("127.0.0.1", 65536);
  ASSERT_TRUE(PumpUntil([&] { return !recorder.events.empty(); }));
  EXPECT_EQ(recorder.events[0], "connect_error " + std::to_string(wide) + " 127.0.0.1 port 65536 is not a TCP port");
}

TEST(LinkConnectionTest, AResetEndsTheConnectionNamingIt) {
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
  ASSERT_EQ(::write(pair[1], "x\n", 2), 2);
  ::close(pair[0]);  // closed with data unread: the other end reads a reset
  std::string reason;
  link::LinkConnection::Handlers handlers;
  handlers.closed = [&](const std::string& why) { reason = why; };
  auto conn = link::LinkConnection::Adopt(Loop(), link::UniqueFd(pair[1]), std::move(handlers), link::kMaxLineBytes);
  ASSERT_TRUE(PumpUntil([&] { return !reason.empty(); }));
  EXPECT_THAT(reason, HasSubstr("reset"));
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
        return {};  // nothing else is asked
      });
  DvrRemoteClient remote(Loop(), DvrLinkOptions());
  remote.SetEventSink(&recorder);
  int32_t session = 0;
  remote.Connect("127.0.0.1", static_cast<int16_t>(dvr.port()), "", session);
  ASSERT_EQ(session, 5);
  remote.TimeSync(5, DateTime::FromParts(2026, 12, 4, 17, 5, 9));
  // No version in the connect reply: asked once; one that is no text is unknown.
  EXPECT_THAT(dvr.Received(), ElementsAre(R"({"id":1,"login":"","op":"connect"})", R"({"id":2,"op":"version"})",
                                          R"({"id":3,"op":"timesync","session":5,"time":"20261204170509"})"));
  EXPECT_EQ(remote.Version(), DvrLinkClientVersion());
  EXPECT_THAT(ReadFile(dir.File("DebugDeviceAdm.log")),
              HasSubstr(".Connect(127.0.0.1:" + std::to_string(dvr.port()) + ") the DVR's version is unknown: "));
  ASSERT_TRUE(PumpUntil([&] { return !recorder.events.empty(); }));
  PumpFor(30);
  EXPECT_THAT(recorder.events, ElementsAre("time_sync 5 2 -3 0"));
  // {oops, the event without reason, [] and "not json at all" (a stray reply is only noted).
  EXPECT_EQ(LoggedErrors(), 4);
}

TEST_F(MalformedLinesTest, ConnectRepliesThatTellTooLittle) {
  // A session that is no number or nested 200,000 deep gives session 0 with one error line.
  const std::string deep = std::string(200000, '[') + std::string(200000, ']');
  const struct {
    const char* name;
    std::string result;
  } cases[] = {
      {"a session that is text", R"({"session":"five"})"},
      {"a session nested too deep", R"({"session":)" + deep + "}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const int errors = LoggedErrors();
    LinkScriptedPeer dvr({}, [&](const std::string& line) -> std::vector<std::string> {
      if (line.find("\"op\":\"connect\"") == std::string::npos) return {};
      return {LinkScriptedPeer::ReplyTo(line, c.result)};
    });
    DvrLinkOptions options;
    options.reply_timeout_ms = 300;
    DvrRemoteClient remote(Loop(), options);
    int32_t session = 9;
    remote.Connect("127.0.0.1", static_cast<int16_t>(dvr.port()), "", session);
    EXPECT_EQ(session, 0);
    EXPECT_EQ(remote.Version(), DvrLinkClientVersion());
    EXPECT_EQ(LoggedErrors(), errors + 1);
  }
}

}  // namespace
}  // namespace dvrlink::testing
