// Faults a site meets, end to end with real dvrlink and dvrsim processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/e2e_service.h"
#include "fakes/test_support.h"
#include "link/video_file_writer.h"

namespace dvrlink::testing::e2e {
namespace {

using ::testing::HasSubstr;

// User and system CPU time of a process so far.
double CpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string field;
  for (int i = 1; i < 14 && stat >> field; ++i) {
  }
  long user = 0, system = 0;
  stat >> user >> system;
  return static_cast<double>(user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

class FaultsEndToEndTest : public E2eTest {
 protected:
  bool WaitForCodes(const std::vector<int>& codes) {
    return svc::WaitUntil([&] { return EventCodes(e2e->HostEvents()) == codes; }, 8000);
  }
  bool Connected() { return e2e->Dvrctl({"list"}).out.find("\ttrue\ttrue") != std::string::npos; }
  std::string HostLines() const { return ReadFile(e2e->File("host-events.jsonl")); }
};

TEST_F(FaultsEndToEndTest, AfterADvrRestartTheCommandSessionComesBackByItself) {
  ASSERT_NO_FATAL_FAILURE(Start());
  HostClient client(e2e->listen_port(0));
  client.Send({"36"});  // clock synchronisation over the command session
  ASSERT_EQ(client.WaitFor("36").at(0).at(1), "OK");
  e2e->RestartSimulator(0);
  client.Send({"36"});
  std::vector<Frame> replies = client.WaitFor("36", 2);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[1].at(1), "OK");
  EXPECT_EQ(e2e->dvr(0).Status()["last_time_sync"].size(), 14u) << "the new DVR's clock was set";
}

TEST_F(FaultsEndToEndTest, ADropIsReportedTheServiceReconnectsAndSystemEventsReachTheHostAgain) {
  E2eOptions options;
  options.host_lines = "reconnect_seconds = 2\n";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  const std::string id = e2e->id(0);
  EXPECT_TRUE(Connected());
  e2e->dvr(0).ControlFields("drop");
  ASSERT_TRUE(WaitForCodes({10322, 10321})) << HostLines();
  // Nothing resumes while the session is down; Connect comes 2 s later (its 10322 may wait for the 2 s rule).
  EXPECT_FALSE(e2e->WaitForLogLine({"SystemEventControl(" + id + ") the event session is connected again"}, 1000));
  EXPECT_TRUE(svc::WaitUntil([&] { return Connected(); }, 5000));
  ASSERT_TRUE(svc::WaitUntil([&] { return e2e->dvr(0).Status()["ready_system_sessions"] == "1"; }, 6000));
  e2e->dvr(0).ControlFields("sysevent 0xC00407D0");
  EXPECT_TRUE(e2e->WaitForLine([](const Json& j) { return j.value("code", 0) == 10382; }));
  EXPECT_TRUE(e2e->WaitForLogLine({"SystemEventControl(" + id + ") the event session is connected again"}));
}

TEST_F(FaultsEndToEndTest, OutOfDescriptorsTheServiceRestsUntilClientsLeaveAndHalfFramesTimeOut) {
  E2eOptions options;
  options.launcher = {"prlimit", "--nofile=64"};
  options.host_lines = "half_frame_timeout_seconds = 1\n";
  ASSERT_NO_FATAL_FAILURE(Start(options));
  std::vector<svc::TestClient> idle;
  for (int i = 0; i < 80; ++i) idle.push_back(svc::TestClient::Tcp(e2e->listen_port(0)));
  ASSERT_TRUE(e2e->WaitForLogLine({"Too many open files", "new clients wait until a descriptor is free"}));
  const double cpu = CpuSeconds(e2e->service_pid());
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_LT(CpuSeconds(e2e->service_pid()) - cpu, 0.1) << "the service spins";
  EXPECT_EQ(CountLinesContaining(e2e->File("DebugDeviceAdm.log"), "new clients wait"), 1);
  idle.clear();
  EXPECT_EQ(e2e->HostFrame(0, {"39"}).at(1), "OK");

  svc::TestClient half = svc::TestClient::Tcp(e2e->listen_port(0));
  svc::TestClient quiet = svc::TestClient::Tcp(e2e->listen_port(0));
  half.Send("\x18" "3");
  EXPECT_TRUE(half.WaitClosed(3000));
  EXPECT_FALSE(quiet.WaitClosed(100)) << "a client with nothing pending stays";
  EXPECT_TRUE(e2e->WaitForLogLine({"part of a frame and nothing more for 1 s"}));
}

TEST(StalePartialFilesEndToEndTest, FilesOfAKilledRetrievalAreRemovedAtStartAndLiveOnesStay) {
  E2eService e2e(E2eOptions{});
  const std::string folder = e2e.File("export");
  std::filesystem::create_directories(folder + "/cam");
  // A retrieval writing in another process, killed half-way.
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t writer = ::fork();
  if (writer == 0) {
    std::string error;
    auto file = link::VideoFileWriter::Open(folder, "cam/killed.dvr", error);
    if (file && file->Append(0, "half", error) && ::write(ready[1], "x", 1) == 1) ::pause();
    ::_exit(1);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  // The file of a running process stays.
  const std::string running = folder + "/.r.dvr.part-" + std::to_string(::getpid()) + "-0";
  WriteFile(running, "x");
  ASSERT_TRUE(e2e.StartSimulators() && e2e.StartService(false));
  EXPECT_THAT(ReadFile(e2e.File("DebugIntegratedExtensionService.log")),
              HasSubstr("dvrlink, removed " + folder + "/cam/.killed.dvr.part-" + std::to_string(writer) + "-0, left by"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder + "/cam"), {}), 0);
  EXPECT_TRUE(std::filesystem::exists(running));
  EXPECT_EQ(e2e.StopService(), 0);
}

}  // namespace
}  // namespace dvrlink::testing::e2e
