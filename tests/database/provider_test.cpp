// Opening the providers, a SQLite file locked by another process or deleted,
// and a PostgreSQL server that goes away, hangs or restarts during a run.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "database/db_admin.h"
#include "database/db_gateway.h"
#include "database/db_state.h"
#include "database/providers/libpq_library.h"
#include "fakes/db_test_support.h"
#include "fakes/e2e_service.h"

namespace dvrlink {
namespace {

using testing::TempDir;

TEST(ProviderOpenTest, OpenFailuresSayWhatWentWrong) {
  // PostgreSQL's client library, loaded by the first connection: one that
  // cannot be loaded is named, and is tried again next time.
  try {
    Pq("libpq-missing.so.5");
    ADD_FAILURE() << "loaded";
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.Number(), kAdoErrUnspecified);
    EXPECT_NE(e.Description().find("libpq-missing.so.5 cannot be loaded (Debian package libpq5): libpq-missing.so.5: "
                                   "cannot open shared object file"),
              std::string::npos)
        << e.Description();
  }
  EXPECT_NE(Pq()->PQconnectdbParams, nullptr);
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

// A released session serves the next Open of the same connection string in the same round, if idle and in place.
TEST(ProviderOpenTest, AReleasedSessionServesOnlyTheNextOpenOfTheSameDatabase) {
  TempDir dir;
  const std::string connection = "Provider=SQLite;Data Source=" + dir.File("a.db");
  OpenProvider(connection, true);
  OpenProvider("Provider=SQLite;Data Source=" + dir.File("b.db"), true);
  // Whether the session opened after `between` is the released one (only it has the temporary table).
  const auto reused = [&](const std::string& script, const std::function<void()>& between, const std::string& again) {
    {
      AdoConnection first;
      first.Open(connection, "", "", -1);
      first.provider()->ExecuteScript("CREATE TEMP TABLE IF NOT EXISTS mark(x);" + script);
    }
    between();
    AdoConnection second;
    second.Open(again, "", "", -1);
    try {
      second.provider()->ExecuteScript("INSERT INTO temp.mark VALUES (1)");
      return true;
    } catch (const RuntimeError&) {
      return false;
    }
  };
  EXPECT_TRUE(reused("", [] {}, connection));
  EXPECT_FALSE(reused("BEGIN", [] {}, connection)) << "released inside a transaction";
  EXPECT_FALSE(reused("", [] { Loop().RunOnce(0); }, connection)) << "the loop waited";
  EXPECT_FALSE(reused("", [] {}, connection + ";Busy Timeout=300")) << "another connection string";
  EXPECT_FALSE(reused("", [&] { std::filesystem::rename(dir.File("b.db"), dir.File("a.db")); }, connection))
      << "its file replaced";
}

// Another process holds the write lock, then the file is deleted: calls fail
// through the gateway's error path, soon, naming the procedure and the cause.
TEST(SqliteFaultsTest, ALockOfAnotherProcessFailsACallSoonAndAVanishedFileIsNamed) {
  TempDir dir, logs;
  const std::string file = dir.File("host.db");
  InitDatabase("Provider=SQLite;Data Source=" + file);
  testing::EnableDebugLog(logs.path(), "L-0-1");
  testing::OpenModuleConnection("Provider=SQLite;Data Source=" + file);
  auto insert = [] {
    DBspCommandOutput("usp_DVR_Alarms_Insert", 1,
                      {{"@ID_DVR_Config", "1"}, {"@CameraName", "2"}, {"@StartTime", "12/04/2026 10:00:00 AM"},
                       {"@EndTime", "12/04/2026 10:00:05 AM"}, {"@Frames", "0"}, {"@AlarmType", "MOTION"}});
    return ModAllConst2().sLastError;
  };
  auto select = [] {
    DBspCommandOutput("usp_DVR_Config_Select", 15, {{"@IP", "10.0.0.9"}});
    return ModAllConst2().lErrorCode;
  };
  int ready[2], done[2];
  ASSERT_TRUE(::pipe(ready) == 0 && ::pipe(done) == 0);
  pid_t holder = ::fork();
  if (holder == 0) {
    sqlite3* db = nullptr;
    char byte = 1;
    if (sqlite3_open(file.c_str(), &db) == SQLITE_OK && sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK &&
        ::write(ready[1], &byte, 1) == 1) {
      byte = static_cast<char>(::read(done[0], &byte, 1));
    }
    ::_exit(0);
  }
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  for (const char* read : {"first", "second"}) EXPECT_EQ(select(), 0) << read << " read: " << ModAllConst2().sLastError;
  auto start = std::chrono::steady_clock::now();
  std::string error = insert();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  EXPECT_EQ(ModAllConst2().lErrorCode, kAdoErrUnspecified);
  EXPECT_NE(error.find("procedure 'usp_DVR_Alarms_Insert': database is locked (another process held it for longer "
                       "than the 200 ms Busy Timeout)"),
            std::string::npos)
      << error;
  EXPECT_EQ(::write(done[1], &byte, 1), 1);
  ::waitpid(holder, nullptr, 0);

  // A copy moved over the open file (same folder and device, another file),
  // then the path deleted: both are named.
  std::filesystem::copy_file(file, file + ".copy");
  ASSERT_EQ(std::rename((file + ".copy").c_str(), file.c_str()), 0);
  for (bool deleted : {false, true}) {
    SCOPED_TRACE(deleted ? "deleted" : "replaced");
    if (deleted) {
      for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
    }
    error = insert();
    EXPECT_EQ(ModAllConst2().lErrorCode, kAdoErrUnspecified);
    EXPECT_NE(error.find("the database file '" + file + "' was deleted or replaced while open"), std::string::npos)
        << error;
  }
  EXPECT_NE(testing::DebugLogLines(logs.path()).back().find("??? modAllConst2, DBspCommandOutput-L-0-1()"),
            std::string::npos);
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

// A PostgreSQL server of its own, so that stopping it disturbs no other test.
class PrivateServer {
 public:
  PrivateServer(std::string script, const std::string& parent) : script_(std::move(script)), dir_(parent + "/pg") {
    ::chmod(parent.c_str(), 0755);  // the server runs as another user
    connection_ = Control("start");
  }
  ~PrivateServer() { Control("stop"); }
  PrivateServer(const PrivateServer&) = delete;
  PrivateServer& operator=(const PrivateServer&) = delete;
  const std::string& connection() const { return connection_; }
  // Runs the script's start, stop, pause, resume, freeze (SIGSTOP: a hung
  // server) or thaw; returns its first line of output, failing the test on an error.
  std::string Control(const char* verb) {
    const testing::svc::ProgramResult result = testing::svc::RunProgram(script_, {verb, dir_}, 60000);
    EXPECT_EQ(result.status, 0) << verb << ": " << result.err;
    return result.out.substr(0, result.out.find('\n'));
  }

 private:
  std::string script_, dir_, connection_;
};

// The server script of DVRLINK_TEST_PG_CTL; empty when the test is to be skipped.
std::string ServerScript() {
  const char* control = std::getenv("DVRLINK_TEST_PG_CTL");
  std::string script = control ? control : "";
  return script.substr(0, script.find(' '));
}
constexpr const char* kNoServerScript =
    "needs DVRLINK_TEST_PG_CTL=\"<tests/pg/pg_server.sh> <DIR>\" to stop and restart a server";

// The service's alarms while its PostgreSQL server hangs, restarts and stops:
// a hung server holds the loop no longer than the time limit, a restart
// between two alarms loses nothing, and an alarm lost to a real outage is
// logged with what the DVR said.
TEST(PostgresOutageTest, AlarmsWhileTheServerHangsRestartsAndStops) {
  if (ServerScript().empty()) GTEST_SKIP() << kNoServerScript;
  TempDir dir;
  PrivateServer server(ServerScript(), dir.path());
  // The service finds its server through the variable; the shared one's comes back afterwards.
  struct RestoreShared {
    bool had = std::getenv("DVRLINK_TEST_PG") != nullptr;
    std::string value = had ? std::getenv("DVRLINK_TEST_PG") : "";
    ~RestoreShared() { had ? ::setenv("DVRLINK_TEST_PG", value.c_str(), 1) : ::unsetenv("DVRLINK_TEST_PG"); }
  } restore;
  ASSERT_EQ(::setenv("DVRLINK_TEST_PG", (server.connection() + ";Command Timeout=1;Connect Timeout=2").c_str(), 1), 0);
  testing::e2e::E2eOptions options;
  options.backend = testing::Backend::kPostgres;
  options.dvrs[0].seeded = options.dvrs[0].external_trigger = true;
  testing::e2e::E2eService e2e(options);
  ASSERT_TRUE(e2e.Start());
  auto alarm = [&](int camera) {
    e2e.dvr(0).ControlFields("alarm pos " + std::to_string(camera) + " MOTION 2026120417050" +
                             std::to_string(camera) + " 20261204170539");
  };
  alarm(1);
  ASSERT_EQ(e2e.WaitForRows("dvr_alarms", 1).size(), 1u);

  server.Control("freeze");
  alarm(2);
  EXPECT_TRUE(e2e.WaitForLogLine({"??? modAllConst2, DBspCommandOutput-", "within 1 s (Command Timeout)"}));
  EXPECT_TRUE(e2e.WaitForLogLine({"alarm not recorded", "camera 2, DVR time 20261204170502, type MOTION"}));
  testing::svc::ProgramResult list = e2e.Dvrctl({"list"});
  EXPECT_EQ(list.status, 0) << "the service answers while the server hangs: " << list.err;
  server.Control("thaw");

  server.Control("pause");  // a restart between two alarms
  server.Control("resume");
  alarm(3);
  EXPECT_EQ(e2e.WaitForRows("dvr_alarms", 2).size(), 2u);

  server.Control("pause");
  alarm(4);
  EXPECT_TRUE(e2e.WaitForLogLine({"alarm not recorded", "camera 4, DVR time 20261204170504, type MOTION",
                                  "(alarms lost so far: 2)"}));
  server.Control("resume");
  EXPECT_EQ(e2e.StopService(), 0);
}

}  // namespace
}  // namespace dvrlink
