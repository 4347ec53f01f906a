// Opening the providers, and a PostgreSQL server that goes away and comes
// back during a run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "database/db_admin.h"
#include "database/db_gateway.h"
#include "database/db_state.h"
#include "fakes/db_test_support.h"

namespace dvrlink {
namespace {

using testing::TempDir;

TEST(ProviderOpenTest, OpenFailuresSayWhatWentWrong) {
  TempDir dir;
  const std::string empty_file = dir.File("empty.db");
  testing::WriteFile(empty_file, "this is not a database file, just text long enough to look like a header....");
  const struct {
    const char* name;
    std::string connection;
    int32_t error;
    const char* text;
  } cases[] = {
      {"a SQLite file that does not exist", "Provider=SQLite;Data Source=" + dir.path() + "/missing.db",
       kAdoErrUnspecified, "does not exist (create it with dvrlink-db init)"},
      {"a file that is not a database", "Provider=SQLite;Data Source=" + empty_file, kAdoErrUnspecified,
       "is not usable"},
      {"no data source", "Provider=SQLite", kAdoErrUnspecified, "names no 'Data Source'"},
      {"an unknown provider", "Provider=Oracle;Data Source=x", kAdoErrProviderNotFound, "Provider='Oracle'"},
      {"an empty connection string", "", kAdoErrUnspecified, "empty"},
      {"a pair without '='", "Provider=SQLite;nonsense", kAdoErrInvalidArgument, "'nonsense'"},
      {"a PostgreSQL server that is not there", "Provider=PostgreSQL;Host=127.0.0.1;Port=1;Database=x;User ID=u",
       kAdoErrUnspecified, "cannot connect to 127.0.0.1:1/x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    AdoConnection connection;
    try {
      connection.Open(c.connection, "", "", -1);
      ADD_FAILURE() << "opened";
    } catch (const RuntimeError& e) {
      EXPECT_EQ(e.Number(), c.error);
      EXPECT_NE(e.Description().find(c.text), std::string::npos) << e.Description();
    }
    EXPECT_FALSE(connection.IsOpen());
  }
  EXPECT_FALSE(std::filesystem::exists(dir.File("missing.db"))) << "opening must not create the file";
}

TEST(ProviderOpenTest, DatabaseWithoutTheSchemaPointsToInit) {
  TempDir dir, logs;
  const std::string connection = "Provider=SQLite;Data Source=" + dir.path() + "/bare.db";
  OpenProvider(connection, true);  // an empty database file
  testing::EnableDebugLog(logs.path(), "C-2-7000");
  testing::OpenModuleConnection(connection);
  Ref<Recordset> rs = DBspCommandOutput("usp_DVR_Config_Select", 15, {{"@IP", "1.2.3.4"}});
  EXPECT_FALSE(rs);
  EXPECT_NE(ModAllConst2().lErrorCode, 0);
  EXPECT_NE(ModAllConst2().sLastError.find("run dvrlink-db init"), std::string::npos) << ModAllConst2().sLastError;
}

TEST(SqliteProcedureTest, BodyOfSeveralStatementsSucceedsOrFailsAsAWhole) {
  testing::TestDatabase db(testing::Backend::kSqlite);
  db.Execute(
      "INSERT INTO dvrlink_procedures (name, body) VALUES ('usp_Test_Two', "
      "'INSERT INTO alarm_active (alarm_date_time) VALUES (dvr_datetime(@dtDate)); "
      " INSERT INTO dvr_alarm_video (id) VALUES (@ID); "
      " SELECT count(*) AS \"Active\" FROM alarm_active');"
      "INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type) VALUES "
      "('usp_Test_Two', 1, '@dtDate', 'TEXT'), ('usp_Test_Two', 2, '@ID', 'INTEGER');");
  db.OpenModuleConnection();
  auto run = [](const char* id) {
    AdoCommand cmd;
    cmd.CommandType = adCmdStoredProc;
    cmd.CommandText = "usp_Test_Two";
    cmd.ActiveConnection = ModAllConst2().oDBConnection;
    cmd.Parameters.Refresh();
    cmd.Parameters.Item("@dtDate").Value = AdoValue::Text("2026/12/04 16:32:20");
    cmd.Parameters.Item("@ID").Value = AdoValue::Text(id);
    return cmd.Execute();
  };
  EXPECT_EQ(run("5")->Fields("Active").Value.ToLong(), 1);
  try {
    run("5");  // the second statement hits the key of the first call
    ADD_FAILURE() << "ran";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kDbErrIntegrityViolation);
  }
  EXPECT_EQ(run("6")->Fields("Active").Value.ToLong(), 2) << "the failed call's first insert was undone";
}

// Runs a command, returning its standard output; fails the test on a
// non-zero exit.
std::string RunCommand(const std::string& command) {
  std::string output;
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return output;
  }
  std::array<char, 512> buffer{};
  while (std::fgets(buffer.data(), static_cast<int>(buffer.size()), pipe) != nullptr) output += buffer.data();
  int status = ::pclose(pipe);
  EXPECT_EQ(status, 0) << command;
  while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
  return output;
}

// A PostgreSQL server of its own, so that stopping it disturbs no other test.
class PrivateServer {
 public:
  PrivateServer(std::string script, const std::string& parent) : script_(std::move(script)), dir_(parent + "/pg") {
    ::chmod(parent.c_str(), 0755);  // the server runs as another user
    connection_ = RunCommand(Verb("start"));
  }
  ~PrivateServer() {
    if (std::system(Verb("stop").c_str()) != 0) std::fprintf(stderr, "could not stop the server in %s\n", dir_.c_str());
  }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;
  const std::string& connection() const { return connection_; }
  void Pause() { RunCommand(Verb("pause")); }
  void Resume() { RunCommand(Verb("resume")); }

 private:
  std::string Verb(const char* verb) const { return "'" + script_ + "' " + verb + " '" + dir_ + "'"; }
  std::string script_, dir_, connection_;
};

TEST(PostgresOutageTest, CallFailsWhileTheServerIsDownAndTheNextCallAfterItsReturnWorks) {
  const char* control = std::getenv("DVRLINK_TEST_PG_CTL");
  if (control == nullptr || *control == '\0') {
    GTEST_SKIP() << "needs DVRLINK_TEST_PG_CTL=\"<tests/pg/pg_server.sh> <DIR>\" to stop and restart a server";
  }
  std::string script = control;
  script = script.substr(0, script.find(' '));
  TempDir dir, logs;
  PrivateServer server(script, dir.path());
  ASSERT_FALSE(server.connection().empty());
  InitDatabase(server.connection());
  SeedDatabase(server.connection(),
               ReadDvrSeeds(IniFile::Parse("[dvr]\nconfig_id=5\naddress=127.0.0.5\nglobal_address_id=G\n", "t.ini")));
  testing::EnableDebugLog(logs.path(), "P-0-1");
  testing::OpenModuleConnection(server.connection());

  auto look_up = [] { return DBspCommandOutput("usp_DVR_Config_Select", 15, {{"@IP", "127.0.0.5"}}); };
  ASSERT_TRUE(look_up());
  ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;

  server.Pause();
  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    EXPECT_FALSE(look_up());
    EXPECT_EQ(ModAllConst2().lErrorCode, kAdoErrUnspecified);
    EXPECT_NE(ModAllConst2().sLastError.find("PostgreSQL: "), std::string::npos) << ModAllConst2().sLastError;
  }
  server.Resume();

  Ref<Recordset> rs = look_up();
  ASSERT_EQ(ModAllConst2().lErrorCode, 0) << ModAllConst2().sLastError;
  ASSERT_TRUE(rs);
  EXPECT_EQ(rs->Text("ID"), "5");
}

}  // namespace
}  // namespace dvrlink
