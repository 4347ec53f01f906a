// The configuration check (dvrlink --check-config FILE): each broken value is
// the one line an operator reads, with exit status 2; a good file passes; DVRs
// the host database lacks are reported for SQLite and PostgreSQL.
#include "service/config_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sstream>
#include <string>
#include <vector>

#include "database/db_admin.h"
#include "fakes/db_test_support.h"
#include "fakes/e2e_service.h"
#include "fakes/test_support.h"
#include "service/service.h"
#include "timezone/tz_state.h"

namespace dvrlink::testing {
namespace {

using ::testing::ElementsAre;

// The good file for a connection string: [host] on lines 1-7, [dvr] from line 8.
std::string Good(const std::string& connection) {
  return e2e::HostSection(connection) + e2e::DvrSection("dvr", {{"time_sync", "1"}, {"external_trigger", "1"}});
}

class ConfigCheckTest : public ::testing::Test {
 protected:
  // A folder with export/, a seeded database and the good file's text for it.
  void Prepare(const std::string& connection) {
    ASSERT_EQ(::mkdir(dir.File("export").c_str(), 0755), 0);
    text = Good(connection);
    WriteFile(Path(), text);
    InitDatabase(connection);
    SeedDatabase(connection, ReadDvrSeeds(IniFile::Load(Path())));
  }
  std::string Path() const { return dir.File("t.ini"); }
  // The file with one line replaced.
  std::string Edit(const std::string& from, const std::string& to) const {
    std::string edited = text;
    size_t at = edited.find(from + "\n");
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) edited.replace(at, from.size(), to);
    return edited;
  }
  int Check(const std::string& file_text, std::string& out, std::string& err) {
    WriteFile(Path(), file_text);
    std::ostringstream o, e;
    int status = RunService({"--check-config", Path()}, o, e);
    out = o.str();
    err = e.str();
    return status;
  }

  TempDir dir;
  std::string text;
};

TEST_F(ConfigCheckTest, EachBrokenValueIsOneLineWithWhatIsAllowedAndExitTwo) {
  ASSERT_NO_FATAL_FAILURE(Prepare("Provider=SQLite;Data Source=" + dir.File("host.db")));
  TestDatabase partial(Backend::kSqlite);  // a database that lost one of the host's tables
  partial.Execute("DROP TABLE alarm_active");
  const std::string port_rule = "allowed: a whole number from 1 to 32767 (the component keeps ports in 16-bit signed "
                                "integers)";
  const std::string flag_rule = "allowed: 1 (on) or 0 (off) (the component takes only the exact text 1 as on)";
  const std::string global_rule =
      "allowed: a global address such as $10000000000001 (the alarm handling cuts the 14 characters after the "
      "\"$\" for the cameras' addresses)";
  struct Case {
    std::string from, to;
    std::string message;  // after "FILE:"
  };
  const std::vector<Case> cases = {
      {"listen_port = 5000", "listen_port = 40000", "14: key 'listen_port' in [dvr]: 40000 is out of range; " + port_rule},
      {"live_port = 7001", "live_port = 7001.0",
       "12: key 'live_port' in [dvr]: '7001.0' is not a whole number; " + port_rule},
      {"vendor = 1", "vendor = abc",
       "9: key 'vendor' in [dvr]: 'abc' is not a whole number; allowed: a whole number from 0 to 32767 (the component "
       "keeps it in a 16-bit signed integer)"},
      {"number = 0", "number = 1.5",
       "16: key 'number' in [dvr]: '1.5' is not a whole number; allowed: a whole number from 0 to 32767 (the DVR "
       "number indexes the main forms and is kept in a 16-bit signed integer)"},
      {"time_sync_hours = 24", "time_sync_hours = 0",
       "20: key 'time_sync_hours' in [dvr]: 0 is out of range; allowed: a whole number from 1 to 9999 (hours between "
       "two clock synchronisations)"},
      {"config_id = 1", "config_id = hello",
       "24: key 'config_id' in [dvr]: 'hello' is not a whole number; allowed: a whole number from 1 to 2147483647 "
       "(the key of the DVR's row in the host database)"},
      {"debug = 0", "debug = yes", "15: key 'debug' in [dvr]: 'yes' is neither 1 nor 0; allowed: 1 (on) or 0 (off)"},
      {"time_sync = 1", "time_sync = yes", "19: key 'time_sync' in [dvr]: 'yes' is neither 1 nor 0; " + flag_rule},
      {"external_trigger = 1", "external_trigger = 01",
       "23: key 'external_trigger' in [dvr]: '01' is neither 1 nor 0; " + flag_rule},
      {"global_address_id = $10000000000001", "global_address_id = $1000000000000",
       "18: key 'global_address_id' in [dvr]: '$1000000000000' is not \"$\" followed by 14 characters or more; " +
           global_rule},
      {"time_zone = Eastern Standard Time", "time_zone = Eastern Time",
       "21: key 'time_zone' in [dvr]: 'Eastern Time' is not a key of the time-zone table (DVR times would stay "
       "unconverted); nearest: Eastern Standard Time, SA Eastern Standard Time, US Eastern Standard Time"},
      {"address = 127.0.0.2", "address =", "10: key 'address' in [dvr]: the value is empty; allowed: the DVR's address"},
      {"address = 127.0.0.2", "address = 127.0.0.9",
       "10: key 'address' in [dvr]: DVR 127.0.0.9 (config_id 1) is not seeded in the host database (no DVR "
       "configuration row); seed it with: dvrlink-db init --config " + Path()},
      {"export_folder = export", "export_folder = gone",
       "5: key 'export_folder' in [host]: the folder " + dir.File("gone") +
           " does not exist; allowed: an existing folder the service's user can write to (the service creates no "
           "folders)"},
      {"connection_string = Provider=SQLite;Data Source=" + dir.File("host.db"),
       "connection_string = Provider=SQLite;Data Source=" + dir.File("none.db"),
       "3: key 'connection_string' in [host]: the database cannot be opened: SQLite: database file '" +
           dir.File("none.db") + "' does not exist (create it with dvrlink-db init); create it with: dvrlink-db init "
           "--config " + Path()},
      {"connection_string = Provider=SQLite;Data Source=" + dir.File("host.db"),
       "connection_string = " + partial.connection_string(),
       "3: key 'connection_string' in [host]: the database lacks table alarm_active; create it with: dvrlink-db init "
       "--config " + Path()},
      {"listen_address = 127.0.0.1", "console = localhost:8080",
       "7: key 'console' in [host]: 'localhost:8080' is not ADDRESS:PORT; allowed: a numeric IPv4 address or [IPv6 "
       "address] and a port from 0 to 65535 (0: any free port), such as 127.0.0.1:8080"},
      {"listen_address = 127.0.0.1", "console = 127.0.0.1:http",
       "7: key 'console' in [host]: '127.0.0.1:http' is not ADDRESS:PORT; allowed: a numeric IPv4 address or [IPv6 "
       "address] and a port from 0 to 65535 (0: any free port), such as 127.0.0.1:8080"},
      {"listen_address = 127.0.0.1", "console_token = short",
       "7: key 'console_token' in [host]: the token is 5 characters long or holds blanks; allowed: 16 characters or "
       "more without blanks"},
      {"automation_socket = s.sock", "automation_socket = run/s.sock",
       "6: key 'automation_socket' in [host]: the folder " + dir.File("run") +
           " does not exist; allowed: an existing folder the service's user can write to (the service creates no "
           "folders)"},
      {"listen_address = 127.0.0.1", "registry = zones.reg",
       "7: key 'registry' in [host]: " + dir.File("zones.reg") +
           ": cannot open the registry file; allowed: a readable .reg export of the time zones"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    std::string out, err;
    EXPECT_EQ(Check(Edit(c.from, c.to), out, err), 2);
    EXPECT_EQ(err, Path() + ":" + c.message + "\n");
    EXPECT_EQ(out, "");
  }
  // Names only: the service builds the table later, during its first waits.
  EXPECT_FALSE(ModTimeZone().systemRegistry);
}

TEST_F(ConfigCheckTest, AGoodFilePassesAndEveryProblemOfABadOneIsListed) {
  ASSERT_NO_FATAL_FAILURE(Prepare("Provider=SQLite;Data Source=" + dir.File("host.db")));
  std::string out, err;
  EXPECT_EQ(Check(text, out, err), 0) << err;
  EXPECT_EQ(out, Path() + ": configuration OK (1 DVR section(s))\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(Check(Edit("listen_port = 5000", "listen_port = 32767"), out, err), 0) << err;  // the largest port

  std::string bad = Edit("listen_port = 5000", "listen_port = 40000");
  bad.replace(bad.find("debug = 0"), 9, "debug = on");
  EXPECT_EQ(Check(bad, out, err), 2);
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 2) << err;
  EXPECT_EQ(err.find(Path() + ":14: key 'listen_port'"), 0u) << err;
  EXPECT_NE(err.find("\n" + Path() + ":15: key 'debug'"), std::string::npos) << err;

  // The same problems stop a start, before any instance.
  std::ostringstream o, e;
  EXPECT_EQ(RunService({"--config", Path()}, o, e), 2);
  EXPECT_NE(e.str().find("dvrlink: " + Path() + ":14: key 'listen_port'"), std::string::npos) << e.str();
  EXPECT_NE(e.str().find("dvrlink: not started: 2 configuration problem(s)\n"), std::string::npos) << e.str();
}

TEST_F(ConfigCheckTest, ADvrTheDatabaseLacksIsReportedForEachProvider) {
  for (Backend backend : {Backend::kSqlite, Backend::kPostgres}) {
    SCOPED_TRACE(backend == Backend::kSqlite ? "SQLite" : "PostgreSQL");
    if (backend == Backend::kPostgres && PgConnectionString().empty()) {
      std::cout << "PostgreSQL case skipped: " << kPgSkipMessage << "\n";
      continue;
    }
    TestDatabase database(backend);
    ::rmdir(dir.File("export").c_str());
    ASSERT_NO_FATAL_FAILURE(Prepare(database.connection_string()));
    // A second DVR that was never seeded, and the first one's cameras gone.
    std::string two = text + "[dvr.1]\n" + Good("").substr(Good("").find("vendor"));
    for (auto [from, to] : {std::pair<std::string, std::string>{"address = 127.0.0.2\ncommand", "address = 127.0.0.3\ncommand"},
                            {"listen_port = 5000\ndebug = 0\nnumber = 0", "listen_port = 5001\ndebug = 0\nnumber = 1"},
                            {"config_id = 1\n", "config_id = 2\n"}}) {
      size_t at = two.rfind(from);
      two.replace(at, from.size(), to);
    }
    database.Execute("DELETE FROM dvr_cameras WHERE camera_index IN (3, 15)");
    std::string out, err;
    EXPECT_EQ(Check(two, out, err), 2);
    std::vector<std::string> lines;
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string fix = "; seed it with: dvrlink-db init --config " + Path();
    EXPECT_THAT(lines, ElementsAre(Path() + ":10: key 'address' in [dvr]: DVR 127.0.0.2 (config_id 1) is not seeded in "
                                            "the host database (no rows for cameras 3,15)" + fix,
                                   Path() + ":27: key 'address' in [dvr.1]: DVR 127.0.0.3 (config_id 2) is not seeded "
                                            "in the host database (no DVR configuration row)" + fix));
  }
}

}  // namespace
}  // namespace dvrlink::testing
