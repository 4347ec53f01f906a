// Camera control and system events against dvrsim; pauses on the manual clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "fakes/link_dvrsim_process.h"
#include "fakes/link_recorders.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "host/camera_control.h"
#include "link/dvr_link.h"
#include "dvrsim/dvr_simulator.h"
#include "platform/platform_state.h"
#include "host/system_event_control.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::IsEmpty;
using SteadyClock = std::chrono::steady_clock;

double SecondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

std::string OpenCommand(uint16_t live_port, int camera = 2) {
  return "RequestSession Session1 127.0.0.1 " + std::to_string(live_port) + " " + std::to_string(camera);
}

// Socket work on the manual clock without moving virtual time.
void SettleWithoutMovingTime() {
  for (int i = 0; i < 50; ++i) Loop().RunOnce(0);
}

class ComponentsTest : public ::testing::Test {
 protected:
  void SetUp() override { Platform().program_folder = dir.path(); }
  std::string DebugLog() const { return ReadFile(dir.File("DebugDeviceAdm.log")); }
  TempDir dir;
  LinkEventRecorder recorder;
};

TEST_F(ComponentsTest, LongPauseOnTheManualClockAndCloseDropsWhatWaits) {
  UseManualClock();
  sim::DvrSimulator dvr(Loop(), sim::SimOptions());
  auto total = [&] { return DvrsimProcess::Fields(dvr.Control("status"))["ptz_total"]; };
  CameraControl camera(Loop(), 2000);
  for (const std::string& text : {OpenCommand(dvr.Ports().live), std::string("RunQuickView Session1 1"),
                                  std::string("Pause 600"), std::string("RunQuickView Session1 2")}) {
    camera.ProcessCommand(text);
  }
  ASSERT_TRUE(PumpUntil([&] { return total() == "2"; }));
  Loop().RunFor(590'000'000);  // ten minutes less ten seconds, virtual
  SettleWithoutMovingTime();
  EXPECT_EQ(total(), "2");
  EXPECT_TRUE(camera.Pausing());
  Loop().RunFor(10'000'000);
  ASSERT_TRUE(PumpUntil([&] { return total() == "3"; }));
  EXPECT_EQ(DvrsimProcess::Fields(dvr.Control("status"))["ptz.3"], "RunQuickView Session1 2");

  // A close while texts wait behind a pause: they never go.
  camera.ProcessCommand("Pause 5");
  camera.ProcessCommand("EndSession Session1");
  camera.DeviceFormClose();
  EXPECT_EQ(camera.Waiting(), 0u);
  Loop().RunFor(10'000'000);
  SettleWithoutMovingTime();
  EXPECT_EQ(total(), "3");
}

TEST_F(ComponentsTest, ASessionAtAnotherPortReachesThatDvr) {
  sim::DvrSimulator first(Loop(), sim::SimOptions()), second(Loop(), sim::SimOptions());
  auto total = [](sim::DvrSimulator& dvr) { return DvrsimProcess::Fields(dvr.Control("status"))["ptz_total"]; };
  CameraControl camera(Loop(), 2000);
  for (sim::DvrSimulator* dvr : {&first, &second}) {
    camera.ProcessCommand(OpenCommand(dvr->Ports().live));
    camera.ProcessCommand("RunQuickView Session1 1");
    EXPECT_TRUE(PumpUntil([&] { return total(*dvr) == "2"; }));  // the session and the text
  }
}

TEST_F(ComponentsTest, CameraControlFailuresAreLoggedAndTextsDropped) {
  struct Case {
    const char* name;
    std::vector<std::string> texts;
    const char* logged;
  };
  const Case cases[] = {
      {"no port to reach", {OpenCommand(svc::FreeTcpPort()), "RunQuickView Session1 4"}, "cannot reach the DVR's live port"},
      {"text before any session", {"RunQuickView Session1 4"}, "no session open"},
      {"session without a port", {"RequestSession Session1 127.0.0.1", "EndSession Session1"}, "RequestSession needs"},
      {"pause that is not a number", {"Pause soon"}, "a pause needs a number of seconds"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string before = DebugLog();
    CameraControl camera(Loop(), 500);
    camera.set_sID("A-0-5000");
    SteadyClock::time_point start = SteadyClock::now();
    for (const std::string& text : c.texts) camera.ProcessCommand(text);
    EXPECT_LT(SecondsSince(start), 0.2);
    EXPECT_TRUE(PumpUntil([&] { return DebugLog().find(c.logged, before.size()) != std::string::npos; }, 1500));
    EXPECT_FALSE(camera.Pausing());
  }
  EXPECT_THAT(DebugLog(), HasSubstr("??? CameraControl, ProcessCommand-A-0-5000() ??? ERROR"));
}

TEST_F(ComponentsTest, RefusedSubscriptionIsOpenedAgainUntilDisconnected) {
  DvrsimProcess sim;
  ASSERT_TRUE(sim.Started());
  ASSERT_EQ(sim.Control("refuse on"), "OK refusing=on");
  DvrLinkOptions options;
  options.system_event_retry_ms = 200;
  SystemEventControl control(Loop(), options);
  control.set_sID("A-0-5000");
  std::string address = "127.0.0.1";
  int32_t port = sim.event_port;
  control.Connect(&recorder, address, port);
  ASSERT_TRUE(PumpUntil([&] { return DebugLog().find("no system-event subscription") != std::string::npos; }));
  EXPECT_FALSE(control.IsSubscribed());
  ASSERT_EQ(sim.Control("refuse off"), "OK refusing=off");
  ASSERT_TRUE(PumpUntil([&] { return control.IsSubscribed(); }));

  // A drop opened again: FaultsEndToEndTest.ADropIsReported...SystemEventsReachTheHostAgain.
  // Closed for good: the receiver hears nothing more.
  control.DeviceFormClose();
  sim.Control("drop");
  PumpFor(400);
  EXPECT_FALSE(control.IsSubscribed());
  EXPECT_EQ(sim.Status()["system_sessions"], "0");
  EXPECT_THAT(recorder.events, IsEmpty());
}

}  // namespace
}  // namespace dvrlink::testing
