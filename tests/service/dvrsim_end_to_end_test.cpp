// The service against a real DVR simulator on loopback: the DVR session's
// host events at start-up, on a drop and on refusal, the reconnect policy,
// and Connect through the automation endpoint. Real processes, real clock,
// short bounded waits.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fakes/link_dvrsim_process.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "platform/net/json_text.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

class DvrsimEndToEndTest : public ::testing::Test {
 protected:
  // dvrsim on loopback, on ports a 16-bit DVR port number can hold.
  void StartSimulator(const std::vector<std::string>& extra = {}) {
    command_port = svc::FreeListenPort();
    live_port = svc::FreeListenPort();
    event_port = svc::FreeListenPort();
    std::vector<std::string> args = {"--command-port", std::to_string(command_port), "--live-port",
                                     std::to_string(live_port), "--event-port", std::to_string(event_port)};
    args.insert(args.end(), extra.begin(), extra.end());
    sim = std::make_unique<DvrsimProcess>(args);
    ASSERT_TRUE(sim->Started());
    ASSERT_EQ(sim->command_port, command_port);
  }

  void StartService(int reconnect_seconds) {
    folder = dir.path();
    CreateEmptySqliteDb(folder + "/host.db");
    listen_port = svc::FreeListenPort();
    id = "A-0-" + std::to_string(listen_port);
    std::string ini = folder + "/svc.ini";
    WriteFile(ini, "[host]\nprogram_folder = .\nconnection_string = Provider=SQLite;Data Source=host.db\n"
                   "component_id = E2E\nexport_folder = export\nautomation_socket = s.sock\n"
                   "listen_address = 127.0.0.1\nreconnect_seconds = " +
                       std::to_string(reconnect_seconds) +
                       "\n\n[dvr]\nvendor = 1\naddress = 127.0.0.1\ncommand_port = " + std::to_string(command_port) +
                       "\nlive_port = " + std::to_string(live_port) + "\nevent_port = " + std::to_string(event_port) +
                       "\nlisten_port = " + std::to_string(listen_port) +
                       "\ndebug = 0\nnumber = 0\nname = Sim\nglobal_address_id = $10000000000001\ntime_sync = 0\n"
                       "time_sync_hours = 24\ntime_zone = Eastern Standard Time\nkey = A\nexternal_trigger = 0\n"
                       "config_id = 1\n");
    service = std::make_unique<svc::ChildProcess>(svc::ProgramPath("dvrlink"), std::vector<std::string>{"--config", ini},
                                                  folder + "/out", folder + "/err");
    ASSERT_TRUE(service->started());
    ASSERT_TRUE(svc::WaitUntil([&] { return ReadFile(folder + "/err").find("instance(s) started") != std::string::npos; }))
        << ReadFile(folder + "/err");
  }

  void StopService() {
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(10000), std::optional<int>(0));
  }

  std::vector<int> HostEventCodes() const {
    std::vector<int> codes;
    for (const std::string& line : ReadLines(folder + "/host-events.jsonl")) {
      Json j = Json::parse(line, nullptr, false);
      if (j.is_object() && j["kind"] == "host_event") codes.push_back(j["code"].get<int>());
    }
    return codes;
  }
  bool WaitForCodes(const std::vector<int>& codes) {
    return svc::WaitUntil([&] { return HostEventCodes() == codes; }, 8000);
  }
  svc::ProgramResult Dvrctl(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"--socket", folder + "/s.sock"};
    all.insert(all.end(), args.begin(), args.end());
    return svc::RunProgram(svc::ProgramPath("dvrctl"), all);
  }
  bool Connected() { return Dvrctl({"list"}).out.find("\ttrue\ttrue") != std::string::npos; }

  TempDir dir;
  std::string folder;
  std::string id;
  uint16_t command_port = 0, live_port = 0, event_port = 0, listen_port = 0;
  std::unique_ptr<DvrsimProcess> sim;
  std::unique_ptr<svc::ChildProcess> service;
};

TEST_F(DvrsimEndToEndTest, StartupConnectsADropIsReportedAndTheServiceReconnects) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  ASSERT_NO_FATAL_FAILURE(StartService(1));
  ASSERT_TRUE(WaitForCodes({10322})) << ReadFile(folder + "/host-events.jsonl");
  EXPECT_THAT(ReadFile(folder + "/out"), HasSubstr("\"instance\":\"" + id + "\""));
  EXPECT_TRUE(Connected());

  EXPECT_THAT(sim->Control("drop"), HasSubstr("OK"));
  ASSERT_TRUE(WaitForCodes({10322, 10321})) << ReadFile(folder + "/host-events.jsonl");
  // One second later the service calls Connect again and the session is back
  // (its 10322 may be held back by the component's two-second rule).
  EXPECT_TRUE(svc::WaitUntil([&] { return Connected(); }, 5000));
  EXPECT_THAT(ReadFile(folder + "/DebugIntegratedExtensionService.log"),
              HasSubstr("reconnect(" + id + ") calling Connect(127.0.0.1)"));
  StopService();
}

TEST_F(DvrsimEndToEndTest, ARefusingDvrGivesAConnectionErrorAndConnectThroughTheEndpointRecovers) {
  ASSERT_NO_FATAL_FAILURE(StartSimulator());
  EXPECT_THAT(sim->Control("refuse on"), HasSubstr("OK"));
  ASSERT_NO_FATAL_FAILURE(StartService(0));  // start-up completes although the DVR refuses
  ASSERT_TRUE(WaitForCodes({10320})) << ReadFile(folder + "/host-events.jsonl");
  EXPECT_FALSE(Connected());

  EXPECT_THAT(sim->Control("refuse off"), HasSubstr("OK"));
  svc::ProgramResult call = Dvrctl({"call", id, "Connect", "127.0.0.1", std::to_string(command_port),
                                    std::to_string(live_port)});
  EXPECT_EQ(call.status, 0) << call.err;
  EXPECT_EQ(call.out, "true\n");
  ASSERT_TRUE(WaitForCodes({10320, 10322})) << ReadFile(folder + "/host-events.jsonl");
  EXPECT_TRUE(Connected());
  StopService();
}

}  // namespace
}  // namespace dvrlink::testing
