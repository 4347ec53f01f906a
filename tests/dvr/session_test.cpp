// The DVR session against the fake DVR API: connects, connection errors,
// disconnects and the notifications the host receives for them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cctype>
#include <optional>

#include "component/module_state.h"
#include "fakes/link_scripted_peer.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "link/dvr_remote_client.h"
#include "mainform/frmMainTemplate.h"

namespace dvrlink::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class SessionTest : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    dvr = NewInstance();
    ASSERT_TRUE(Init(*dvr, StandardParams()));
    events = world.event_ctrls.at(0);
    ASSERT_EQ(dvr->EventSession(), 11);
  }
  void Deliver() { Loop().RunForMillis(10); }
  std::shared_ptr<clsDvrlink> dvr;
  std::shared_ptr<FakeDvrEventCtrl> events;
};

TEST_F(SessionTest, ConnectedSessionNotifiesTheHostWithTheDvrAddress) {
  events->PostConnected(11, "10.0.0.5");
  EXPECT_THAT(SentEvents(), IsEmpty());  // delivered on the loop, not inside the post
  Deliver();
  const std::string sep = "\x1A";
  ASSERT_THAT(SentEvents(), ElementsAre("\x18" "44" + sep + "10322" + sep + "2026/12/04 17:05:09" + sep +
                                        "$1234567890123" + sep + "DVR1" + sep + "10.0.0.5" + sep + sep + sep +
                                        sep + sep + sep + sep + sep + "\x19"));
  EXPECT_TRUE(dvr->EventSessionConnected());
  EXPECT_EQ(events->acknowledges, 1);
}

TEST_F(SessionTest, SessionEventSequences) {
  // Steps: C connected, E connect error, D disconnected (upper case for the
  // instance's session 11, lower case for another session, 99), W a wait of
  // three seconds.
  const struct {
    const char *name, *steps;
    std::vector<int> codes;
    std::optional<bool> connected_after;  // none: not checked
  } cases[] = {
      {"connect error then its disconnect gives 10320 only", "ED", {10320}, false},
      {"a later disconnect alone gives 10321", "EDD", {10320, 10321}, false},
      {"drop after connect", "CD", {10322, 10321}, false},
      {"second connect within two seconds is silent", "CC", {10322}, true},
      {"connect again after three seconds", "CWC", {10322, 10322}, true},
      {"events of another session change nothing", "edc", {}, std::nullopt},
      {"another session's disconnect still ends the error silence", "EdD", {10320, 10321}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ResetModuleState();
    SetUp();
    for (const char* step = c.steps; *step; ++step) {
      const int32_t session = std::isupper(*step) ? 11 : 99;
      switch (std::toupper(*step)) {
        case 'C': events->PostConnected(session, "10.0.0.5"); break;
        case 'E': events->PostConnectError(session, "10.0.0.5", "refused"); break;
        case 'D': events->PostDisconnected(session, "10.0.0.5"); break;
        case 'W': Loop().RunForMillis(3000); break;
      }
      Deliver();
    }
    EXPECT_EQ(SentEventCodes(), c.codes);
    if (c.connected_after) { EXPECT_EQ(dvr->EventSessionConnected(), *c.connected_after); }
  }
}

TEST_F(SessionTest, DisconnectStopsSystemEventsAndConnectReopensOnlyTheEventSession) {
  events->PostConnected(11, "10.0.0.5");
  events->PostDisconnected(11, "10.0.0.5");
  Deliver();
  EXPECT_EQ(world.system_events.at(0)->disconnects, 1);
  EXPECT_THAT(DebugLog(), HasSubstr("\tDvrlink, m_oDvrEventCtrl_OnDisconnected() ###, DVRName=DVR1, bstrURL=10.0.0.5;"));
  events->session_to_give = 12;
  EXPECT_TRUE(dvr->Connect("10.0.0.5", "7000", "7001"));
  EXPECT_EQ(dvr->EventSession(), 12);
  EXPECT_EQ(events->connects.size(), 2u);
  EXPECT_EQ(world.remotes.size(), 1u);    // the control session is kept
  EXPECT_EQ(world.remotes[0]->connects, 1);
  EXPECT_EQ(world.system_events.size(), 1u);  // created once
  // Connected again: a new Connect does not reopen the event session.
  events->PostConnected(12, "10.0.0.5");
  Deliver();
  EXPECT_TRUE(dvr->Connect("10.0.0.5", "7000", "7001"));
  EXPECT_EQ(events->connects.size(), 2u);
}

TEST_F(SessionTest, ConnectWithAPortThatIsNotANumberFailsBeforeAnyDvrCall) {
  for (auto ports : {std::pair<const char*, const char*>{"x", "7001"}, {"7000", ""}, {"99999", "7001"}}) {
    SCOPED_TRACE(std::string(ports.first) + "/" + ports.second);
    ResetModuleState();
    ComponentTest::SetUp();
    dvr = NewInstance();
    auto params = StandardParams();
    params[2] = ports.first;
    params[3] = ports.second;
    ASSERT_TRUE(Init(*dvr, params));  // start-up goes on
    EXPECT_TRUE(world.remotes.empty());
    EXPECT_TRUE(world.event_ctrls.at(0)->connects.empty());
    EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, Connect-A-3-5000() ??? ERROR"));
    EXPECT_FALSE(dvr->Connect("10.0.0.5", ports.first, ports.second));
  }
}

// A DVR whose command port gives a session, then stalls on the version or
// garbles it: Connect still opens the event session and returns True.
TEST_F(SessionTest, AVersionThatNeverComesOrIsMalformedDoesNotStopConnect) {
  for (const char* version_reply : {"", R"({"version":42})"}) {
    SCOPED_TRACE(version_reply);
    dvr.reset();  // its link client watches the loop the reset releases
    ResetModuleState();
    ComponentTest::SetUp();
    // Below 32768: the component keeps ports as 16-bit numbers.
    LinkScriptedPeer command_port(
        {},
        [version_reply](const std::string& line) -> std::vector<std::string> {
          if (line.find(R"("op":"connect")") != std::string::npos)
            return {LinkScriptedPeer::ReplyTo(line, R"({"session":5})")};
          if (*version_reply == '\0') return {};
          return {LinkScriptedPeer::ReplyTo(line, version_reply)};
        },
        svc::FreeListenPort());
    DvrLinkOptions options;
    options.reply_timeout_ms = 300;
    Platform().factory.Register<IDvrRemote>(kProgIdDvrRemote,
                                            [options] { return std::make_shared<DvrRemoteClient>(Loop(), options); });
    dvr = NewInstance();
    auto params = StandardParams();
    params[2] = "none";  // start-up's Connect fails before any DVR call
    ASSERT_TRUE(Init(*dvr, params));
    EXPECT_TRUE(dvr->Connect("127.0.0.1", std::to_string(command_port.port()), "7001"));
    EXPECT_EQ(dvr->RemoteSession(), 5);
    world.event_ctrls.at(0)->PostConnected(dvr->EventSession(), "10.0.0.5");
    Deliver();
    EXPECT_EQ(SentEventCodes(), std::vector<int>{10322});
  }
}

TEST_F(SessionTest, RefusedControlSessionStillCompletesStartUp) {
  ResetModuleState();
  ComponentTest::SetUp();
  world.configure_remote = [](FakeDvrRemote& remote) { remote.session_to_give = 0; };
  dvr = NewInstance();
  ASSERT_TRUE(Init(*dvr, StandardParams()));
  EXPECT_EQ(dvr->RemoteSession(), 0);
  EXPECT_THAT(TitleLog(), HasSubstr("Dvrlink, Connect(A-3-5000) m_lSessionRemote=0"));
  EXPECT_THAT(DebugLog(), HasSubstr("\tDvrlink, Connect(A-3-5000) DVR1(10.0.0.5) DVR SDK API Current Version=1.2.3"));
  // Record rates need the control session.
  EXPECT_FALSE(dvr->SetRecordRate(5, 10));
  EXPECT_FALSE(dvr->SetRecordRate(0, 0));
}

TEST_F(SessionTest, HostSettingsAndCallbacks) {
  // Switching the external trigger on and off tells the host once per change.
  std::vector<bool> on{true};
  std::vector<std::string> unused;
  dvr->UpdateExternalTriggerParameters(on, unused);
  dvr->UpdateExternalTriggerParameters(on, unused);
  std::vector<bool> off{false};
  dvr->UpdateExternalTriggerParameters(off, unused);
  EXPECT_EQ(SentEventCodes(), (std::vector<int>{10314, 10315}));
  std::vector<bool> empty;
  dvr->UpdateExternalTriggerParameters(empty, unused);
  EXPECT_THAT(DebugLog(), HasSubstr("??? Dvrlink, UpdateExternalTriggerParameters-A-3-5000() ??? ERROR, Line: "));
  EXPECT_FALSE(dvr->TriggerExternalEnabled());

  dvr->ServerExtIDVR_Callback(3, 7, "text");
  dvr->ServerExtIDVR_Callback(207, 1, "V2", 104);
  ASSERT_EQ(host->calls.size(), 2u);
  EXPECT_EQ(host->calls[0].ident, "0");
  EXPECT_EQ(host->calls[1].type, 207);
  EXPECT_EQ(host->calls[1].ident, "104");

  dvr->Callback(200, 1, "ignored");
  EXPECT_THAT(TitleLog(), HasSubstr("Dvrlink, Callback(A-3-5000) iEventType=200, iEventID=1, sEventDescription=ignored"));
  EXPECT_THAT(TitleLog(), ::testing::Not(HasSubstr("ProcessDataArrival(A-3-5000) BEGIN , Index=1, sData=ignored")));
  dvr->Callback(201, 2, "data");
  EXPECT_THAT(TitleLog(), HasSubstr("Dvrlink, ProcessDataArrival(A-3-5000) BEGIN , Index=2, sData=data;"));
}

TEST_F(SessionTest, SystemEventsMapToHostEventsForThisDvrOnly) {
  const struct {
    uint32_t code;
    int host_event;
    bool error_line;
  } cases[] = {{0xC00407D0u, 10382, false}, {0xC00407D1u, 10346, false}, {0xC00407D2u, 10384, false},
                        {0xC00407D3u, 10386, false}, {0xC00407D4u, 10388, false}, {0xC00407D5u, 10390, false},
                        {0xC00407D6u, 10398, true},  {0xC00407D7u, 10392, false}, {0xC00407D8u, 10394, false},
                        {0xC00407D9u, 10396, false}, {5u, 10398, true}};
  FakeSystemEventControl& control = *world.system_events.at(0);
  ASSERT_EQ(control.receiver, dvr.get());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    world.sockets[0]->sent.clear();
    std::remove(dir.File("DebugDeviceAdm.log").c_str());
    control.receiver->CallBackSystemEvents(1, "10.0.0.5", static_cast<int32_t>(c.code), "20261203080910", "msg");
    ASSERT_EQ(SentEventCodes(), std::vector<int>{c.host_event});
    const std::string sep = "\x1A";
    EXPECT_THAT(SentEvents()[0], HasSubstr(sep + "10.0.0.5" + sep + "12/03/2026 08:09:10" + sep + "1" + sep));
    EXPECT_EQ(DebugLog().find("CallBackSystemEvents(A-3-5000) ERROR ??? ###") != std::string::npos, c.error_line);
  }
  world.sockets[0]->sent.clear();
  control.receiver->CallBackSystemEvents(1, "10.0.0.6", static_cast<int32_t>(0xC00407D0u), "20261203080910", "");
  EXPECT_THAT(SentEvents(), IsEmpty());
}

}  // namespace
}  // namespace dvrlink::testing
