// The service's configuration file: what it accepts, how it resolves paths,
// and the one-line error for each rule it refuses.
#include "service/service_config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/e2e_service.h"

namespace dvrlink {
namespace {

using testing::e2e::DvrSection;

const std::string kValid =
    "[host]\nprogram_folder = run\nconnection_string = Provider=SQLite;Data Source=run/host.db\n"
    "component_id = DVRLINK\nexport_folder = /var/tmp/export\nreconnect_seconds = 5\nrecord_active_alarms = true\n" +
    DvrSection("dvr", {{"global_address_id", "$12345678901234"}, {"time_sync", "1"}, {"config_id", "42"},
                       {"camera.0", "Door"}}) +
    DvrSection("dvr.1", {{"address", "127.0.0.3"}, {"listen_port", "5001"}, {"debug", "1"}, {"number", "1"},
                         {"name", "Yard"}, {"global_address_id", "$22345678901234"}, {"time_sync_hours", "12"},
                         {"time_zone", "AUS Eastern Standard Time"}, {"external_trigger", "1"}, {"config_id", "43"}});

// The valid text with `from` replaced by `to` (first occurrence).
std::string Edit(const std::string& from, const std::string& to) {
  std::string text = kValid;
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(ServiceConfigTest, ReadsHostSettingsAndStartupParameters) {
  ServiceConfig c = ParseServiceConfig(kValid, "/etc/dvrlink/site.ini");
  EXPECT_EQ(c.folder, "/etc/dvrlink");
  EXPECT_EQ(c.program_folder, "/etc/dvrlink/run");
  EXPECT_EQ(c.connection_string, "Provider=SQLite;Data Source=/etc/dvrlink/run/host.db");
  EXPECT_EQ(c.export_folder, "/var/tmp/export");
  EXPECT_EQ(c.automation_socket, "/etc/dvrlink/run/dvrlink.sock");
  EXPECT_EQ(c.reconnect_seconds, 5);
  EXPECT_TRUE(c.record_active_alarms);
  ASSERT_EQ(c.dvrs.size(), 2u);
  const std::vector<std::string> expected = {"1", "127.0.0.2", "7000", "7001", "5000", "0",
                                             "0", "Lobby", "$12345678901234", "", "", "1",
                                             "24", "Eastern Standard Time", "A", "7002", "0", "42"};
  EXPECT_EQ(c.dvrs[0].parameters, expected);
  EXPECT_EQ(c.dvrs[0].camera_names.at(0), "Door");
  EXPECT_EQ(c.dvrs[1].section, "dvr.1");
  EXPECT_EQ(c.dvrs[1].parameters[13], "AUS Eastern Standard Time");
  // Keys in any letter case; an absolute program folder stays as it is.
  EXPECT_EQ(ParseServiceConfig(Edit("program_folder = run", "PROGRAM_Folder = /opt/dvr/"), "t.ini").program_folder,
            "/opt/dvr");
}

TEST(ServiceConfigTest, EachBrokenRuleIsOneLineNamingFileAndKey) {
  std::string long_folder(120, 'x');
  struct Case {
    const char* name;
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"a missing host key", Edit("component_id = DVRLINK\n", ""), "t.ini:1: missing key 'component_id' in [host]"},
      {"an unknown host key", Edit("component_id", "colour = blue\ncomponent_id"), "t.ini:4: unknown key 'colour' in [host]"},
      {"a camera out of range", Edit("camera.0 = Door", "camera.16 = Door"), "t.ini:25: key 'camera.16' in [dvr]: cameras are 0 to 15"},
      {"a duplicate DVR number", Edit("number = 1", "number = 0"), "t.ini:34: key 'number' in [dvr.1]: number 0 is already used by [dvr] (line 8)"},
      {"a duplicate listen port, written differently", Edit("listen_port = 5001", "listen_port = 5000.0"),
       "t.ini:32: key 'listen_port' in [dvr.1]: listen_port 5000.0 is already used by [dvr] (line 8)"},
      {"a duplicate key", Edit("debug = 0", "debug = 0\nDEBUG = 1"), "t.ini:16: duplicate key 'DEBUG' in section [dvr]"},
      {"an unknown section", Edit("[dvr.1]", "[camera]"), "t.ini:26: unknown section [camera]"},
      {"no DVR section", kValid.substr(0, kValid.find("[dvr]")), "t.ini: no DVR section"},
      {"an allow-list naming nobody", Edit("component_id", "allowed_clients = , \ncomponent_id"),
       "t.ini:4: allowed_clients is empty: list the addresses or ranges allowed, or remove the key"},
      {"a half-frame time-out that is no number", Edit("component_id", "half_frame_timeout_seconds = -1\ncomponent_id"),
       "t.ini:4: half_frame_timeout_seconds must be a whole number of seconds from 0 to 86400"},
      {"an automation socket path too long",
       Edit("component_id", "automation_socket = /tmp/" + long_folder + "/s\ncomponent_id"),
       "t.ini:4: automation_socket: the path /tmp/" + long_folder + "/s is 127 bytes, longer than the 107"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ParseServiceConfig(c.text, "t.ini");
      ADD_FAILURE() << "accepted";
    } catch (const ConfigError& e) {
      // Each problem is one line; a case may break a second rule too.
      for (const std::string& problem : e.problems()) EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
      EXPECT_THAT(e.problems(), ::testing::Contains(::testing::StartsWith(c.message))) << e.what();
    }
  }
}

}  // namespace
}  // namespace dvrlink
