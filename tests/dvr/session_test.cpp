// The DVR session's connects, errors and disconnects and what the host hears of them.
#include <gmock/gmock.h>

#include <cctype>

#include "component/module_state.h"
#include "fakes/test_support.h"

namespace dvrlink::testing {
namespace {


using SessionTest = StartedComponentTest;

TEST_F(SessionTest, SessionEventSequences) {
  // C connected, E connect error, D disconnected (upper case: session 11, lower: another
  // session); a digit: the next step comes that many seconds later.
  const struct {
    const char *name, *steps;
    std::vector<int> codes;
    bool connected_after;
  } cases[] = {
      {"connect error then its disconnect gives 10320 only", "ED", {10320}, false},
      {"a later disconnect alone gives 10321", "EDD", {10320, 10321}, false},
      {"a second connect two seconds later is silent", "C2C", {10322}, true},
      {"three seconds later it is reported", "C3C", {10322, 10322}, true},
      {"another session's events report nothing", "edc", {}, true},
      {"another session's connect moves the time of the last one", "c2C", {}, true},
      {"another session's disconnect still ends the error silence", "EdD", {10320, 10321}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Restart();
    for (const char* step = c.steps; *step; ++step) {
      const int32_t session = std::isupper(*step) ? 11 : 99;
      switch (std::toupper(*step)) {
        case 'C': events->PostConnected(session, "10.0.0.5"); break;
        case 'E': events->PostConnectError(session, "10.0.0.5", "refused"); break;
        case 'D': events->PostDisconnected(session, "10.0.0.5"); break;
        default: Loop().RunForMillis((*step - '0') * 1000 - 10); break;
      }
      Deliver();
    }
    EXPECT_EQ(SentEventCodes(), c.codes);
    EXPECT_EQ(dvr->EventSessionConnected(), c.connected_after);
  }
}

TEST_F(SessionTest, DisconnectStopsSystemEventsAndConnectReopensOnlyTheEventSession) {
  events->PostConnected(11, "10.0.0.5");
  events->PostDisconnected(11, "10.0.0.5");
  Deliver();
  EXPECT_EQ(events->acknowledges, 1);
  EXPECT_EQ(world.system_events.at(0)->disconnects, 1);
  events->session_to_give = 12;
  EXPECT_TRUE(dvr->Connect("10.0.0.5", "7000", "7001"));
  EXPECT_EQ(dvr->EventSession(), 12);
  EXPECT_EQ(world.remotes.at(0)->connects, 1);  // the control session is kept
  EXPECT_EQ(world.system_events.size(), 1u);  // created once
  // Connected again: a new Connect does not reopen the event session.
  events->PostConnected(12, "10.0.0.5");
  Deliver();
  EXPECT_TRUE(dvr->Connect("10.0.0.5", "7000", "7001"));
  EXPECT_EQ(events->connects.size(), 2u);
}

TEST_F(SessionTest, HostSettingsAndCallbacks) {
  // Switching the external trigger tells the host once per change.
  std::vector<std::string> unused;
  for (bool value : {true, true, false}) {
    std::vector<bool> setting{value};
    dvr->UpdateExternalTriggerParameters(setting, unused);
  }
  EXPECT_EQ(SentEventCodes(), (std::vector<int>{10314, 10315}));
  dvr->Callback(200, 1, Frame({"39"}));  // only type 201 carries client data
  EXPECT_TRUE(socket->replies.empty());
}

}  // namespace
}  // namespace dvrlink::testing
