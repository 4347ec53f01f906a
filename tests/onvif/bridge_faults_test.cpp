// dvrlink-onvif against a device that answers badly, and its TLS checks.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "fakes/onvif_bridge_process.h"
#include "fakes/test_support.h"
#include "link/dvr_link.h"
#include "link/dvr_remote_client.h"
#include "platform/platform_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kPassword = "Zq-7uw-Pass";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(BridgeFaultsTest, EachBadAnswerIsLoggedAndTheLinkKeepsAnswering) {
  TempDir dir;
  DvrsimProcess sim({"--onvif", "0", "--onvif-password", kPassword});
  ASSERT_TRUE(sim.Started());
  OnvifBridgeProcess bridge(dir.File("bridge"), sim, "UTC", "UTC",
                            std::string("password = ") + kPassword +
                                "\nrequest_timeout_ms = 300\npull_seconds = 1\nretry_seconds = 1\n");
  ASSERT_TRUE(bridge.Started());
  ASSERT_TRUE(bridge.WaitForLog(" answers: "));
  struct Case {
    const char* mode;
    const char* logged;
  };
  const Case cases[] = {
      {"fault", "SOAP fault s:Receiver/ter:Action: the device is out of order"},
      {"unauthorized", "HTTP 401: the device refused the credentials"},
      {"stall", "no answer within 1300 ms"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    const size_t answered = Count(bridge.Log(), " answers: ");
    sim.ControlFields(std::string("onvif fail ") + c.mode);
    ASSERT_TRUE(bridge.WaitForLog(c.logged, 4000)) << bridge.Log();
    EXPECT_TRUE(bridge.WaitForLog("device unavailable (")) << bridge.Log();

    DvrRemoteClient remote(Loop(), DvrLinkOptions());
    int32_t session = 0;
    remote.Connect(sim.address, static_cast<int16_t>(bridge.command_port), "", session);
    ASSERT_GT(session, 0);
    EXPECT_THAT(remote.Version(), HasSubstr("Dvrlink dvrsim ONVIF"));
    svc::TestClient events = svc::TestClient::Tcp(bridge.event_port);
    events.SendLine(R"({"op":"connect","id":1,"session":5,"subscribe":"alarms"})");
    EXPECT_THAT(events.ReceiveUntil([](const std::string& r) { return r.find("disconnected") != std::string::npos; }),
                HasSubstr("does not answer"));

    sim.ControlFields("onvif fail none");
    EXPECT_TRUE(svc::WaitUntil([&] { return Count(bridge.Log(), " answers: ") > answered; }, 4000)) << bridge.Log();
  }
  EXPECT_EQ(bridge.Stop(), 0);
  EXPECT_THAT(bridge.Log(), Not(HasSubstr(kPassword)));
}

// A self-signed https device: refused by default, taken with its pinned key only.
TEST(BridgeTlsTest, CertificatesAreVerifiedUnlessTrustedOrPinned) {
  TempDir dir;
  const std::string cert = dir.File("cert.pem"), key = dir.File("key.pem"), pub = dir.File("pub.pem");
  const std::string other = dir.File("other.pem");
  const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 "
                           "-addext subjectAltName=IP:127.0.0.1 -keyout ";
  ASSERT_EQ(std::system((make + key + " -out " + cert + " 2>/dev/null").c_str()), 0);
  ASSERT_EQ(std::system(("openssl x509 -in " + cert + " -pubkey -noout > " + pub).c_str()), 0);
  ASSERT_EQ(std::system(("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 2>/dev/null | "
                         "openssl pkey -pubout > " + other).c_str()),
            0);
  DvrsimProcess sim({"--onvif", "0", "--onvif-cert", cert, "--onvif-key", key});
  ASSERT_TRUE(sim.Started());
  struct Case {
    std::string lines;
    const char* logged;
  };
  const Case cases[] = {
      {"", "SSL certificate problem"},
      {"tls_pinned_key = " + pub + "\ntls_allow_self_signed = true\n", " answers: "},
      {"tls_pinned_key = " + other + "\ntls_allow_self_signed = true\n", "pinned"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines);
    OnvifBridgeProcess bridge(dir.File("bridge" + std::to_string(++n)), sim, "UTC", "UTC",
                              "request_timeout_ms = 2000\n" + c.lines, "https");
    ASSERT_TRUE(bridge.Started());
    EXPECT_TRUE(bridge.WaitForLog(c.logged)) << bridge.Log();
  }
}

}  // namespace
}  // namespace dvrlink::testing
