// dvrlink-db: reading the DVR sections, the command line, and the schema
// scripts it carries.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "database/db_admin.h"
#include "database/db_schema.h"
#include "fakes/db_test_support.h"

namespace dvrlink {
namespace {

using testing::TempDir;

TEST(DvrSeedTest, SeedsEveryDvrSectionByTheRule) {
  IniFile ini = IniFile::Parse(
      "[host]\nconnection_string = x\n"
      "[dvr]\nconfig_id = 3\naddress = 127.0.0.2\nglobal_address_id = $123456789012345678\nname = Front\n"
      "camera.0 = Lobby\nCAMERA.15 = Yard\ntime_zone = Eastern Standard Time\n"
      "[dvr.7]\nconfig_id = 4\naddress = 127.0.0.3\nglobal_address_id = G9\n",
      "demo.ini");
  std::vector<DvrSeed> seeds = ReadDvrSeeds(ini);
  ASSERT_EQ(seeds.size(), 2u);
  EXPECT_EQ(seeds[0].section, "dvr");
  EXPECT_EQ(seeds[0].config_id, 3);
  EXPECT_EQ(seeds[0].address, "127.0.0.2");
  EXPECT_EQ(seeds[0].global_address_id, "$123456789012345678");
  EXPECT_EQ(seeds[0].name, "Front");
  EXPECT_EQ(seeds[0].camera_names[0], "Lobby");
  EXPECT_EQ(seeds[0].camera_names[1], "Camera 2");
  EXPECT_EQ(seeds[0].camera_names[15], "Yard");
  EXPECT_EQ(seeds[0].camera_global_address_ids[0], "12345678901234001");
  EXPECT_EQ(seeds[0].camera_global_address_ids[15], "12345678901234016");
  EXPECT_EQ(seeds[1].section, "dvr.7");
  EXPECT_EQ(seeds[1].name, "");
  EXPECT_EQ(seeds[1].camera_global_address_ids[9], "G9010");
}

TEST(DvrSeedTest, ConfigurationErrorsNameFileLineAndKey) {
  const std::string base = "[dvr]\nconfig_id = 1\naddress = 10.0.0.1\nglobal_address_id = G\n";
  const struct {
    const char* name;
    std::string text;
    const char* message;
  } cases[] = {
      {"missing config_id", "[dvr]\naddress = a\nglobal_address_id = G\n",
       "c.ini:1: section [dvr] needs a value for key 'config_id'"},
      {"config_id not a number", "[dvr]\nconfig_id = 1x\naddress = a\nglobal_address_id = G\n",
       "c.ini:2: section [dvr] key 'config_id': '1x' is not a whole number"},
      {"the same config_id twice", base + "[dvr.1]\nconfig_id = 1\naddress = 10.0.0.2\nglobal_address_id = G\n",
       "c.ini:6: section [dvr.1] key 'config_id': 1 is also the config_id of [dvr]"},
      {"the same address twice", base + "[dvr.1]\nconfig_id = 2\naddress = 10.0.0.1\nglobal_address_id = G\n",
       "c.ini:7: section [dvr.1] key 'address': 10.0.0.1 is also the address of [dvr]"},
      {"camera out of range", base + "camera.16 = X\n", "c.ini:5: section [dvr] key 'camera.16'"},
      {"camera with a sign", base + "camera.-0 = X\n", "c.ini:5: section [dvr] key 'camera.-0'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      ReadDvrSeeds(IniFile::Parse(c.text, "c.ini"));
      ADD_FAILURE() << "accepted";
    } catch (const DbConfigError& e) {
      EXPECT_EQ(std::string(e.what()).rfind(c.message, 0), 0u) << e.what();
    }
  }
}

class DbToolTest : public ::testing::Test {
 protected:
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_.path() + "/" + name) << text;
  }
  int Run(const std::vector<std::string>& args) {
    out_.str("");
    err_.str("");
    return RunDbTool(args, out_, err_);
  }
  bool Exists(const std::string& name) const {
    struct stat st {};
    return ::stat((dir_.path() + "/" + name).c_str(), &st) == 0;
  }

  TempDir dir_;
  std::ostringstream out_, err_;
};

TEST_F(DbToolTest, CommandLine) {
  const std::string db = "Provider=SQLite;Data Source=" + dir_.path() + "/host.db";
  Write("good.ini", "[dvr]\nconfig_id = 9\naddress = 127.0.0.9\nglobal_address_id = G\n");
  Write("bad.ini", "[dvr]\nconfig_id = 9\nconfig_id = 10\n");
  // The connection from the file's [host], relative to its folder.
  Write("host.ini", "[host]\nconnection_string = Provider=SQLite;Data Source=host.db\n"
                    "[dvr]\nconfig_id = 9\naddress = 127.0.0.9\nglobal_address_id = G\n");
  Write("other.ini", "[host]\nconnection_string = Provider=SQLite;Data Source=host.db\n"
                     "[dvr.2]\nconfig_id = 8\naddress = 127.0.0.8\nglobal_address_id = G\n");
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char *out, *err;  // parts of standard output and standard error
  } cases[] = {
      {"help", {"--help"}, 0, "Usage: dvrlink-db", ""},
      {"init without --connection", {"init"}, 2, "", "init needs --connection STRING or --config FILE"},
      {"unknown option", {"check", "--connection", db, "--frames", "x"}, 2, "", "unknown option '--frames'"},
      {"check before init", {"check", "--connection", db}, 1, "", "does not exist"},
      {"bad configuration", {"init", "--connection", db, "--config", dir_.path() + "/bad.ini"}, 2, "",
       "bad.ini:3: duplicate key 'config_id'"},
      {"init", {"init", "--connection=" + db, "--config=" + dir_.path() + "/good.ini"}, 0,
       "seeded [dvr]: DVR 9 at 127.0.0.9 with 16 cameras", ""},
      {"check after init", {"check", "--connection", db}, 0, "complete", ""},
      {"check a configuration's DVRs", {"check", "--config", dir_.path() + "/host.ini"}, 0, "complete", ""},
      {"check a DVR not seeded", {"check", "--config", dir_.path() + "/other.ini"}, 1,
       "missing: [dvr.2] DVR 127.0.0.8 (config_id 8): no DVR configuration row\n", ""},
      {"schema", {"schema", "postgresql"}, 0, "CREATE FUNCTION \"usp_DVR_Config_Select\"", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Run(c.args), c.status) << err_.str();
    EXPECT_NE(out_.str().find(c.out), std::string::npos) << out_.str();
    EXPECT_NE(err_.str().find(c.err), std::string::npos) << err_.str();
    const std::string err = err_.str();
    if (c.status != 0 && *c.err != 0) { EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "one line: " << err; }
    if (std::string(c.name) == "bad configuration") { EXPECT_FALSE(Exists("host.db")); }
  }
}

// db/*.sql must be the same text as the scripts the programs carry.
TEST(SchemaTest, EmbeddedScriptsMatchTheFilesInDb) {
  const std::filesystem::path root = DVRLINK_SOURCE_DIR;
  for (const auto& [file, embedded] : {std::pair<const char*, const char*>{"db/sqlite.sql", kSqliteSchemaScript},
                                       {"db/postgresql.sql", kPostgresSchemaScript}}) {
    SCOPED_TRACE(file);
    ASSERT_TRUE(std::filesystem::exists(root / file)) << root / file;
    EXPECT_TRUE(testing::ReadFile((root / file).string()) == embedded)
        << root / file << " differs from the embedded script: run db/embed.sh and rebuild";
  }
}

}  // namespace
}  // namespace dvrlink
