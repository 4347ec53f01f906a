// The dvrctl program as a host workstation against a real dvrlink service
// (dvrsim as its DVR): replies and notices as printed, scripts, usage errors
// and the round-trip benchmark.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/e2e_service.h"
#include "fakes/test_support.h"

namespace dvrlink::testing {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using Words = std::vector<std::string>;

svc::ProgramResult Dvrctl(const Words& args) { return svc::RunProgram(svc::ProgramPath("dvrctl"), args); }

// dvrsim and one dvrlink instance listening for host clients on loopback;
// grants need the DVR session, which Start waits for.
class DvrctlHostTest : public e2e::E2eTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(Start());
    address = "127.0.0.1:" + std::to_string(e2e->listen_port(0));
  }
  std::string address;
};

TEST_F(DvrctlHostTest, EachFrameIsSentAfterTheReplyBeforeAndRepliesPrintOnePerLine) {
  const std::string version = "39|OK|Dvrlink.clsDvrlink\\t" + std::to_string(DVRLINK_VERSION_MAJOR) + "." +
                              std::to_string(DVRLINK_VERSION_MINOR) + "." +
                              std::to_string(DVRLINK_VERSION_REVISION) + "\\r\\n\n";
  svc::ProgramResult r = Dvrctl({address, "99", ",", "39", ",", "047"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "99|NK\n" + version + "47|OK\n");
}

TEST_F(DvrctlHostTest, AScriptWaitsForTheGrantNoticeAndAMissedExpectExitsOne) {
  WriteFile(e2e->File("grant.txt"),
            "# ask for a recording; the grant follows the reply\n"
            "33 2 \"12/04/2026 10:00:00\" \"12/04/2026 10:05:00\" \"C:\\clips\\a clip.dvr\"\n"
            "expect notice 45|\n"
            "wait 0.2\n"
            "47\n");
  svc::ProgramResult r = Dvrctl({"--timeout", "5", "--script", e2e->File("grant.txt"), address});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, ::testing::StartsWith("33|OK\n"
                                           "notice 45|2|12/04/2026 10:00:00|12/04/2026 10:05:00|C:\\clips\\a clip.dvr\n"));
  EXPECT_THAT(r.out, ::testing::EndsWith("\n47|OK\n"));

  WriteFile(e2e->File("miss.txt"), "39\nexpect notice 46|\n");
  r = Dvrctl({"--timeout", "0.3", "--script", e2e->File("miss.txt"), address});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("miss.txt:2: 'notice 46|' did not come within 0.3 s"));
}

TEST_F(DvrctlHostTest, TheBenchmarkReportsItsRoundTripsRateAndLatency) {
  svc::ProgramResult r = Dvrctl({"--bench", "50", "--clients", "2", address});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("round trips: 100 (2 client(s) x 50, frame 39, " + address + ")\n"));
  EXPECT_THAT(r.out, ContainsRegex("\nrate: [0-9]+\\.[0-9] round trips/s\n"));
  EXPECT_THAT(r.out, ContainsRegex("\nlatency: p50 [0-9.]+ ms, p99 [0-9.]+ ms\n"));
}

TEST(DvrctlHostProgramTest, BadUsageAndUnreachableAddressesExitTwoWithAClearMessage) {
  const std::string nobody = "127.0.0.1:" + std::to_string(svc::FreeTcpPort());
  svc::ProgramResult r = Dvrctl({nobody});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("dvrctl: no frame given after " + nobody));
  r = Dvrctl({nobody, "39"});
  EXPECT_EQ(r.status, 2);
  EXPECT_THAT(r.err, HasSubstr("dvrctl: cannot connect to " + nobody + " (" + nobody + ": Connection refused)"));
  EXPECT_EQ(r.out, "");
}

}  // namespace
}  // namespace dvrlink::testing
