// The service against a real DVR simulator on loopback: the DVR session's
// host events at start-up, on a drop and on refusal, the reconnect policy,
// and Connect through the automation endpoint. Real processes, real clock,
// short bounded waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/e2e_service.h"
#include "fakes/test_support.h"

namespace dvrlink::testing::e2e {
namespace {

using ::testing::HasSubstr;

class DvrsimEndToEndTest : public E2eTest {
 protected:
  bool WaitForCodes(const std::vector<int>& codes) {
    return svc::WaitUntil([&] { return e2e->HostEventCodes() == codes; }, 8000);
  }
  bool Connected() { return e2e->Dvrctl({"list"}).out.find("\ttrue\ttrue") != std::string::npos; }
  std::string HostLines() const { return ReadFile(e2e->File("host-events.jsonl")); }
};

TEST_F(DvrsimEndToEndTest, StartupConnectsADropIsReportedAndTheServiceReconnects) {
  E2eOptions options;
  options.host_lines = "reconnect_seconds = 1\n";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  const std::string id = e2e->id(0);
  ASSERT_TRUE(WaitForCodes({10322})) << HostLines();
  EXPECT_THAT(ReadFile(e2e->File("out")), HasSubstr("\"instance\":\"" + id + "\""));
  EXPECT_TRUE(Connected());

  EXPECT_THAT(e2e->dvr(0).Control("drop"), HasSubstr("OK"));
  ASSERT_TRUE(WaitForCodes({10322, 10321})) << HostLines();
  // One second later the service calls Connect again and the session is back
  // (its 10322 may be held back by the component's two-second rule).
  EXPECT_TRUE(svc::WaitUntil([&] { return Connected(); }, 5000));
  EXPECT_THAT(ReadFile(e2e->File("DebugIntegratedExtensionService.log")),
              HasSubstr("reconnect(" + id + ") calling Connect(127.0.0.1)"));
}

TEST_F(DvrsimEndToEndTest, ARefusingDvrGivesAConnectionErrorAndConnectThroughTheEndpointRecovers) {
  E2eOptions options;
  options.host_lines = "reconnect_seconds = 0\n";
  e2e = std::make_unique<E2eService>(options);
  ASSERT_TRUE(e2e->StartSimulators());
  DvrsimProcess& sim = e2e->dvr(0);
  EXPECT_THAT(sim.Control("refuse on"), HasSubstr("OK"));
  ASSERT_TRUE(e2e->StartService(false));  // start-up completes although the DVR refuses
  ASSERT_TRUE(WaitForCodes({10320})) << HostLines();
  EXPECT_FALSE(Connected());

  EXPECT_THAT(sim.Control("refuse off"), HasSubstr("OK"));
  svc::ProgramResult call = e2e->Dvrctl({"call", e2e->id(0), "Connect", "127.0.0.1",
                                         std::to_string(sim.command_port), std::to_string(sim.live_port)});
  EXPECT_EQ(call.status, 0) << call.err;
  EXPECT_EQ(call.out, "true\n");
  ASSERT_TRUE(WaitForCodes({10320, 10322})) << HostLines();
  EXPECT_TRUE(Connected());
}

}  // namespace
}  // namespace dvrlink::testing::e2e
