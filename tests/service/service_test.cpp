// The real dvrlink program: exit statuses, signals and shut-down.
#include "service/service.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "database/db_admin.h"
#include "fakes/e2e_service.h"
#include "fakes/svc_test_support.h"
#include "fakes/test_support.h"
#include "host/host_sink.h"
#include "platform/net/address_filter.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;

using e2e::DvrSection;
using e2e::HostSection;

std::string Sqlite(const std::string& folder) { return "Provider=SQLite;Data Source=" + folder + "/host.db"; }

class ServiceProgramTest : public ::testing::Test {
 protected:
  std::string Dvrlink() const { return svc::ProgramPath("dvrlink"); }
  TempDir dir;
};

TEST_F(ServiceProgramTest, AMissingFileOrBadUsageExitsTwo) {
  // What each rule refuses is the configuration tests' concern (in-process).
  const std::string path = dir.File("none.ini");
  svc::ProgramResult r = svc::RunProgram(Dvrlink(), {"--config", path});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err, "dvrlink: " + path + ": cannot read the file: No such file or directory\n"
                   "dvrlink: not started: 1 configuration problem(s)\n");
}

TEST_F(ServiceProgramTest, NoInstanceStartedExitsOneAndSaysWhy) {
  // The configuration passes its check, but the host-client port is taken.
  ASSERT_EQ(::mkdir(dir.File("export").c_str(), 0755), 0);
  InitDatabase("Provider=SQLite;Data Source=" + dir.File("host.db"));
  uint16_t port = svc::FreeListenPort();
  net::UniqueFd taken(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_storage where = *net::ParseSocketAddress("127.0.0.1", port);
  ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&where), sizeof(sockaddr_in)), 0);
  ASSERT_EQ(::listen(taken.get(), 1), 0);
  WriteFile(dir.File("svc.ini"), HostSection(Sqlite(dir.path())) +
                                     DvrSection("dvr", {{"listen_port", std::to_string(port)}, {"address", "127.0.0.1"}}));
  svc::ProgramResult r = svc::RunProgram(Dvrlink(), {"--config", dir.File("svc.ini")});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("A-0-" + std::to_string(port) + ": Initialize returned False: ??? Dvrlink, Initialize-A-0-" +
                               std::to_string(port) + "() ??? ERROR, Line: "));
  EXPECT_THAT(r.err, HasSubstr("cannot listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use"));
  EXPECT_THAT(r.err, HasSubstr("no instance started"));
}

TEST_F(ServiceProgramTest, EveryEndingSignalClosesEveryInstanceAndExitsZeroAndSighupReopens) {
  for (int signal_number : {SIGTERM, SIGINT, SIGUSR1, SIGQUIT, SIGALRM}) {
    SCOPED_TRACE(::strsignal(signal_number));
    std::string folder = dir.File(std::to_string(signal_number));
    ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((folder + "/export").c_str(), 0755), 0);
    InitDatabase("Provider=SQLite;Data Source=" + folder + "/host.db");
    // The DVR is unreachable: nothing listens on its ports.
    uint16_t listen_port = svc::FreeListenPort();
    std::string ini = folder + "/svc.ini";
    WriteFile(ini, HostSection(Sqlite(folder)) +
                       DvrSection("dvr", {{"listen_port", std::to_string(listen_port)}, {"address", "127.0.0.1"},
                                          {"command_port", std::to_string(svc::FreeListenPort())},
                                          {"live_port", std::to_string(svc::FreeListenPort())},
                                          {"event_port", std::to_string(svc::FreeListenPort())}, {"name", "DVR0"}}));
    std::string id = "A-0-" + std::to_string(listen_port);
    // systemd's side of Type=notify: a datagram socket named by NOTIFY_SOCKET.
    net::UniqueFd notify(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un notify_address{};
    notify_address.sun_family = AF_UNIX;
    std::snprintf(notify_address.sun_path, sizeof notify_address.sun_path, "%s/notify", folder.c_str());
    ASSERT_EQ(::bind(notify.get(), reinterpret_cast<sockaddr*>(&notify_address), sizeof notify_address), 0);
    auto notice = [&] {
      char text[256] = {};
      svc::WaitUntil([&] { return ::recv(notify.get(), text, sizeof text - 1, 0) > 0; }, 3000);
      return std::string(text);
    };
    std::string events = folder + "/host-events.jsonl";
    {
      svc::ChildProcess service("/usr/bin/env", {"NOTIFY_SOCKET=" + folder + "/notify", Dvrlink(), "--config", ini},
                                folder + "/out", folder + "/err");
      ASSERT_TRUE(service.started());
      ASSERT_TRUE(svc::WaitUntil([&] { return ReadFile(folder + "/err").find("instance(s) started") != std::string::npos; }))
          << ReadFile(folder + "/err");
      EXPECT_EQ(notice(), "READY=1\nSTATUS=1 of 1 instance(s) started");
      svc::ProgramResult list = svc::RunProgram(svc::ProgramPath("dvrctl"), {"--socket", folder + "/s.sock", "list"});
      EXPECT_EQ(list.status, 0) << list.err;
      EXPECT_THAT(list.out, HasSubstr(id + "\t0\tDVR0\t127.0.0.1\t"));
      if (signal_number == SIGTERM) {
        // Rotated away: SIGHUP starts new files, and the service goes on.
        std::string title_log = folder + "/Dvrlink.log";
        ASSERT_EQ(std::rename(events.c_str(), (events + ".1").c_str()), 0);
        ASSERT_EQ(std::rename(title_log.c_str(), (title_log + ".1").c_str()), 0);
        service.Signal(SIGHUP);
        ASSERT_TRUE(svc::WaitUntil([&] { return ::access(events.c_str(), F_OK) == 0; }));
        svc::RunProgram(svc::ProgramPath("dvrctl"), {"--socket", folder + "/s.sock", "call", id, "IDVR_DVRSendEvent"});
        EXPECT_THAT(ReadFile(events), HasSubstr("\"kind\":\"host_event\""));
        EXPECT_THAT(ReadFile(folder + "/DebugIntegratedExtensionService.log"), HasSubstr("and the logs reopened"));
        EXPECT_THAT(ReadFile(title_log), HasSubstr("IDVR_DVRSendEvent"));
        events += ".1";
      }
      service.Signal(signal_number);
      EXPECT_EQ(service.Wait(10000), std::optional<int>(0));
      EXPECT_EQ(notice(), "STOPPING=1");
    }
    EXPECT_THAT(ReadFile(folder + "/Dvrlink.log"), HasSubstr("DeviceFormClose(" + id + ") DONE"));
    EXPECT_NE(::access((folder + "/s.sock").c_str(), F_OK), 0);
    // The connection error went to standard output and the events file.
    EXPECT_THAT(ReadFile(folder + "/out"), HasSubstr("\"code\":10320"));
    EXPECT_THAT(ReadFile(events), HasSubstr("\"code\":10320"));
  }
}

}  // namespace
}  // namespace dvrlink::testing
