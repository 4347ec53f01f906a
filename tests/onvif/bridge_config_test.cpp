// The bridge's configuration: a complete file, and each broken rule's line.
#include "dvrlink-onvif/bridge_config.h"

#include <gtest/gtest.h>

#include <string>

#include "fakes/test_support.h"

namespace dvrlink::onvif {
namespace {

const std::string kLink = "[link]\ncommand_port = 7000\nevent_port = 7002\nlive_port = 7001\n";

TEST(BridgeConfigTest, ACompleteFileIsRead) {
  testing::TempDir dir;
  testing::WriteFile(dir.File("pass"), "from-file\nsecond line\n");
  BridgeConfig c = ParseBridgeConfig(
      "[device]\nurl = https://cam.example/onvif/device_service\nuser = op\npassword_file = pass\nauth = Digest\n"
      "time_zone = Europe/Paris\ntls_ca_file = ca.pem\ntls_pinned_key = sha256//AbC=\ntls_allow_self_signed = yes\n"
      "request_timeout_ms = 1500\npull_seconds = 2\nsubscription_seconds = 30\nretry_seconds = 3\n"
      "[Link]\nbind = 0.0.0.0\ncommand_port = 17000\nevent_port = 17002\nlive_port = 17001\n"
      "computer_time_zone = UTC\n"
      "[map]\ncamera.0 = VS_A\nprofile.0 = P_A\nrelay.3 = R_3\ninput.255 = DI_X\n"
      "alarm_topic.1 = VMD tns1:RuleEngine/X\nsystem_event.1 = 0xC00407D9 v:Disk/Full\n",
      "b.ini", dir.path());
  EXPECT_EQ(c.password, "from-file");
  EXPECT_EQ(c.auth, AuthMode::kDigest);
  EXPECT_EQ(c.tls_ca_file, dir.File("ca.pem"));
  EXPECT_EQ(c.tls_pinned_key, "sha256//AbC=");
  EXPECT_TRUE(c.tls_allow_self_signed);
  EXPECT_EQ(c.request_timeout_ms + c.pull_seconds + c.subscription_seconds + c.retry_seconds, 1500 + 2 + 30 + 3);
  EXPECT_EQ(c.bind, "0.0.0.0");
  EXPECT_EQ(c.command_port + c.event_port + c.live_port, 17000 + 17002 + 17001);
  EXPECT_EQ(c.cameras.at(0) + c.profiles.at(0) + c.relays.at(3) + c.inputs.at(255), "VS_AP_AR_3DI_X");
  ASSERT_EQ(c.alarm_topics.size(), 1u);
  EXPECT_EQ(c.alarm_topics[0].word, "VMD");
  ASSERT_EQ(c.system_events.size(), 1u);
  EXPECT_EQ(c.system_events[0].code, 0xC00407D9u);
}

TEST(BridgeConfigTest, EachBrokenRuleIsOneLineNamingTheKey) {
  const std::string device = "[device]\nurl = http://cam/onvif/device_service\n";
  struct Case {
    std::string text;
    const char* message;
  };
  const Case cases[] = {
      {kLink, "b.ini: the section [device] is missing"},
      {"[device]\nuser = x\n" + kLink, "b.ini:1: [device] needs the key 'url'"},
      {"[device]\nurl = ftp://cam/\n" + kLink,
       "b.ini:2: key 'url' in [device]: the device URL must start with http:// or https://"},
      {device + "password = a\npassword_file = b\n" + kLink,
       "b.ini:4: key 'password_file' in [device]: give either password or password_file"},
      {device + "pull_seconds = 0\n" + kLink, "b.ini:3: key 'pull_seconds' in [device]: '0' is not a whole number from 1 to 600"},
      {device + "colour = red\n" + kLink, "b.ini:3: key 'colour' in [device]: unknown key"},
      {device + kLink + "[map]\ncamera.256 = VS\n", "b.ini:8: key 'camera.256' in [map]: N must be from 0 to 255"},
      {device + kLink + "[map]\nalarm_topic.1 = tns1:X\n", "b.ini:8: key 'alarm_topic.1' in [map]: expected WORD TOPIC"},
      {device + kLink + "[cameras]\n", "b.ini:7: unknown section [cameras] (expected [device], [link], [map])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      ParseBridgeConfig(c.text, "b.ini", "/tmp");
      ADD_FAILURE() << "accepted";
    } catch (const BridgeConfigError& e) {
      EXPECT_EQ(std::string(e.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace dvrlink::onvif
