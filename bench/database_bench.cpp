// Gateway calls per second against each provider's own C API running the
// same statement, in the same run:
//   usp_DVR_Config_Select  (look a DVR up by address, read two fields)
//   usp_DVR_Alarms_Insert  (record a new alarm)
// SQLite: a fresh file under /tmp; the direct path prepares, binds, steps and
// finalizes the procedure's body each call, or reuses one prepared statement
// (as the provider does with the bodies it has run).
// PostgreSQL (loopback, only with DVRLINK_TEST_PG): the direct path is one
// PQexecParams of the function call (parsed and planned each call); the
// gateway prepares each call text once per connection.
// The gateway's figures include its per-call title-log line (the log kept
// open, as in the service); both SQLite paths run with synchronous NORMAL.
//
// Run: build with -DDVRLINK_BENCH=ON, then
//   export DVRLINK_TEST_PG="$(tests/pg/pg_server.sh start /tmp/pgbench)"
//   build/bench/database_bench --benchmark_repetitions=3
//   tests/pg/pg_server.sh stop /tmp/pgbench
// The last lines give calls per second and each gateway/direct ratio (the
// medians when repeated).
#include <benchmark/benchmark.h>
#include <libpq-fe.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "database/db_admin.h"
#include "database/db_gateway.h"
#include "database/db_state.h"
#include "platform/platform_state.h"
#include "support/datetime.h"
#include "support/debug_log.h"
#include "support/mod_all_const.h"
#include "support/support_state.h"

namespace dvrlink {
namespace {

constexpr const char* kAddress = "127.0.0.2";
constexpr const char* kSeed = "[dvr]\nconfig_id = 42\naddress = 127.0.0.2\nglobal_address_id = $12345678901234567\n";
constexpr const char* kSelectBody =
    "SELECT id AS \"ID\", ip AS \"IP\", global_address_id AS \"GlobalAddressID\", name AS \"Name\" "
    "FROM dvr_config WHERE ip = @IP";
constexpr const char* kInsertBody =
    "INSERT INTO dvr_alarms (dvr_config_id, camera_name, start_time, end_time, frames, alarm_type) "
    "VALUES (@ID_DVR_Config, @CameraName, @StartTime, @EndTime, @Frames, @AlarmType)";

// Alarm n starts n seconds after a fixed moment, so every insert is new.
DateTime AlarmStart(int64_t n) { return DateTime::FromParts(2026, 1, 1).AddSeconds(n); }

Ref<IAdoConnection> Connect(const std::string& connection_string) {
  auto connection = std::make_shared<AdoConnection>();
  connection->Open(connection_string, "", "", -1);
  return Ref<IAdoConnection>(std::static_pointer_cast<IAdoConnection>(connection));
}

void SetUpModule(const std::string& folder) {
  static bool done = false;
  if (done) return;
  done = true;
  Platform().program_folder = folder;
  InitModuleConstants();
  ModAllConst().iLogLevelDefault = 8;
  ModAllConst2().sDBDeviceID = "BENCH-0-1";
  SetLogFileMode(LogFileMode::kKeptOpen);  // as the service writes its logs
}

struct SqliteSetup {
  std::string folder;
  std::string file;
  std::string connection_string;
  Ref<IAdoConnection> gateway;
  sqlite3* direct = nullptr;
  int64_t next_alarm = 0;

  SqliteSetup() {
    char pattern[] = "/tmp/dvrlink-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder = pattern;
    file = folder + "/host.db";
    connection_string = "Provider=SQLite;Data Source=" + file;
    SetUpModule(folder);
    InitDatabase(connection_string);
    SeedDatabase(connection_string, ReadDvrSeeds(IniFile::Parse(kSeed, "bench.ini")));
    gateway = Connect(connection_string);
    sqlite3_open_v2(file.c_str(), &direct, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(direct, 2000);
    sqlite3_exec(direct, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);  // as the provider
  }
  ~SqliteSetup() {
    sqlite3_close_v2(direct);
    gateway.Clear();
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

SqliteSetup& Sqlite() {
  static SqliteSetup setup;
  return setup;
}

struct PostgresSetup {
  std::string schema;
  std::string connection_string;
  Ref<IAdoConnection> gateway;
  PGconn* direct = nullptr;
  int64_t next_alarm = 0;

  explicit PostgresSetup(const std::string& base) {
    SetUpModule(Sqlite().folder);
    schema = "dvrlink_bench_" + std::to_string(::getpid());
    OpenProvider(base)->ExecuteScript("CREATE SCHEMA " + schema);
    connection_string = base + ";Search Path=" + schema;
    InitDatabase(connection_string);
    SeedDatabase(connection_string, ReadDvrSeeds(IniFile::Parse(kSeed, "bench.ini")));
    gateway = Connect(connection_string);
    auto settings = ParseConnectionString(base);
    std::string options = "-c search_path=" + schema;
    const char* keys[] = {"host", "port", "dbname", "user", "options", nullptr};
    const char* values[] = {settings["host"].c_str(), settings["port"].c_str(), settings["database"].c_str(),
                            settings["user id"].c_str(), options.c_str(), nullptr};
    direct = PQconnectdbParams(keys, values, 0);
    if (PQstatus(direct) != CONNECTION_OK) throw std::runtime_error(PQerrorMessage(direct));
  }
  ~PostgresSetup() {
    PQfinish(direct);
    gateway.Clear();
    try {
      OpenProvider(std::getenv("DVRLINK_TEST_PG"))->ExecuteScript("DROP SCHEMA " + schema + " CASCADE");
    } catch (...) {
    }
  }
};

PostgresSetup* Postgres(benchmark::State& state) {
  const char* base = std::getenv("DVRLINK_TEST_PG");
  if (base == nullptr || *base == '\0') {
    state.SkipWithError("skipped: set DVRLINK_TEST_PG to a PostgreSQL connection string");
    return nullptr;
  }
  static PostgresSetup setup(base);
  return &setup;
}

void CheckGatewayOutcome(benchmark::State& state) {
  if (ModAllConst2().lErrorCode != 0) state.SkipWithError(ModAllConst2().sLastError.c_str());
}

// --- usp_DVR_Config_Select ----------------------------------------------------------

void GatewayConfigSelect(benchmark::State& state) {
  for (auto _ : state) {
    Ref<Recordset> rs = DBspCommandOutput("usp_DVR_Config_Select", 15, {{"@IP", kAddress}});
    CheckGatewayOutcome(state);
    std::string global = rs->Text("GlobalAddressID");
    std::string id = rs->Text("ID");
    benchmark::DoNotOptimize(global);
    benchmark::DoNotOptimize(id);
    rs->Close();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SQLite_ConfigSelect_Gateway(benchmark::State& state) {
  ModAllConst2().oDBConnection = Sqlite().gateway;
  GatewayConfigSelect(state);
}

void SqliteSelectOnce(sqlite3* db, sqlite3_stmt* stmt, benchmark::State& state) {
  sqlite3_bind_text(stmt, sqlite3_bind_parameter_index(stmt, "@IP"), kAddress, -1, SQLITE_STATIC);
  if (sqlite3_step(stmt) != SQLITE_ROW) state.SkipWithError(sqlite3_errmsg(db));
  std::string global(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2)));
  std::string id = std::to_string(sqlite3_column_int64(stmt, 0));
  benchmark::DoNotOptimize(global);
  benchmark::DoNotOptimize(id);
}

void BM_SQLite_ConfigSelect_Direct(benchmark::State& state) {
  sqlite3* db = Sqlite().direct;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kSelectBody, -1, &stmt, nullptr);
    SqliteSelectOnce(db, stmt, state);
    sqlite3_finalize(stmt);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SQLite_ConfigSelect_DirectPrepared(benchmark::State& state) {
  sqlite3* db = Sqlite().direct;
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, kSelectBody, -1, &stmt, nullptr);
  for (auto _ : state) {
    SqliteSelectOnce(db, stmt, state);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations());
}

void BM_PostgreSQL_ConfigSelect_Gateway(benchmark::State& state) {
  PostgresSetup* pg = Postgres(state);
  if (pg == nullptr) return;
  ModAllConst2().oDBConnection = pg->gateway;
  GatewayConfigSelect(state);
}

void BM_PostgreSQL_ConfigSelect_Direct(benchmark::State& state) {
  PostgresSetup* pg = Postgres(state);
  if (pg == nullptr) return;
  const char* values[] = {"15", kAddress};
  for (auto _ : state) {
    PGresult* r = PQexecParams(pg->direct, "SELECT * FROM \"usp_DVR_Config_Select\"(\"@CmdIndex\" => $1, \"@IP\" => $2)",
                               2, nullptr, values, nullptr, nullptr, 0);
    if (PQresultStatus(r) != PGRES_TUPLES_OK || PQntuples(r) != 1) state.SkipWithError(PQerrorMessage(pg->direct));
    std::string global = PQgetvalue(r, 0, PQfnumber(r, "\"GlobalAddressID\""));
    std::string id = PQgetvalue(r, 0, PQfnumber(r, "\"ID\""));
    benchmark::DoNotOptimize(global);
    benchmark::DoNotOptimize(id);
    PQclear(r);
  }
  state.SetItemsProcessed(state.iterations());
}

// --- usp_DVR_Alarms_Insert ----------------------------------------------------------

void GatewayAlarmsInsert(benchmark::State& state, int64_t& next_alarm) {
  for (auto _ : state) {
    DateTime start = AlarmStart(next_alarm++);
    DBspCommandOutput("usp_DVR_Alarms_Insert", 1,
                      {{"@ID_DVR_Config", "42"},
                       {"@CameraName", "3"},
                       {"@StartTime", start.FormatUS12()},
                       {"@EndTime", start.AddSeconds(10).FormatUS12()},
                       {"@Frames", "0"},
                       {"@AlarmType", "Motion Detection"}});
    CheckGatewayOutcome(state);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SQLite_AlarmsInsert_Gateway(benchmark::State& state) {
  ModAllConst2().oDBConnection = Sqlite().gateway;
  GatewayAlarmsInsert(state, Sqlite().next_alarm);
}

void SqliteInsertOnce(sqlite3* db, sqlite3_stmt* stmt, int64_t n, benchmark::State& state) {
  std::string start = AlarmStart(n).FormatIso();
  std::string end = AlarmStart(n).AddSeconds(10).FormatIso();
  start[10] = ' ';
  end[10] = ' ';
  sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, "@ID_DVR_Config"), 42);
  sqlite3_bind_text(stmt, sqlite3_bind_parameter_index(stmt, "@CameraName"), "3", -1, SQLITE_STATIC);
  sqlite3_bind_text(stmt, sqlite3_bind_parameter_index(stmt, "@StartTime"), start.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(stmt, sqlite3_bind_parameter_index(stmt, "@EndTime"), end.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(stmt, sqlite3_bind_parameter_index(stmt, "@Frames"), 0);
  sqlite3_bind_text(stmt, sqlite3_bind_parameter_index(stmt, "@AlarmType"), "Motion Detection", -1, SQLITE_STATIC);
  if (sqlite3_step(stmt) != SQLITE_DONE) state.SkipWithError(sqlite3_errmsg(db));
}

void BM_SQLite_AlarmsInsert_Direct(benchmark::State& state) {
  sqlite3* db = Sqlite().direct;
  for (auto _ : state) {
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, kInsertBody, -1, &stmt, nullptr);
    SqliteInsertOnce(db, stmt, Sqlite().next_alarm++, state);
    sqlite3_finalize(stmt);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SQLite_AlarmsInsert_DirectPrepared(benchmark::State& state) {
  sqlite3* db = Sqlite().direct;
  sqlite3_stmt* stmt = nullptr;
  sqlite3_prepare_v2(db, kInsertBody, -1, &stmt, nullptr);
  for (auto _ : state) {
    SqliteInsertOnce(db, stmt, Sqlite().next_alarm++, state);
    sqlite3_reset(stmt);
  }
  sqlite3_finalize(stmt);
  state.SetItemsProcessed(state.iterations());
}

void BM_PostgreSQL_AlarmsInsert_Gateway(benchmark::State& state) {
  PostgresSetup* pg = Postgres(state);
  if (pg == nullptr) return;
  ModAllConst2().oDBConnection = pg->gateway;
  GatewayAlarmsInsert(state, pg->next_alarm);
}

void BM_PostgreSQL_AlarmsInsert_Direct(benchmark::State& state) {
  PostgresSetup* pg = Postgres(state);
  if (pg == nullptr) return;
  for (auto _ : state) {
    DateTime start = AlarmStart(pg->next_alarm++);
    std::string start_text = start.FormatUS12();
    std::string end_text = start.AddSeconds(10).FormatUS12();
    const char* values[] = {"1", "42", "3", start_text.c_str(), end_text.c_str(), "0", "Motion Detection"};
    PGresult* r = PQexecParams(pg->direct,
                               "SELECT \"usp_DVR_Alarms_Insert\"(\"@CmdIndex\" => $1, \"@ID_DVR_Config\" => $2, "
                               "\"@CameraName\" => $3, \"@StartTime\" => $4, \"@EndTime\" => $5, "
                               "\"@Frames\" => $6, \"@AlarmType\" => $7)",
                               7, nullptr, values, nullptr, nullptr, 0);
    if (PQresultStatus(r) != PGRES_TUPLES_OK) state.SkipWithError(PQerrorMessage(pg->direct));
    PQclear(r);
  }
  state.SetItemsProcessed(state.iterations());
}

// The one line every gateway call writes (the title log, whatever the level),
// to tell how much of a gateway call it is.
void BM_GatewayLogLine(benchmark::State& state) {
  Sqlite();
  for (auto _ : state) {
    WriteDebugLog("DBspCommandOutput(BENCH-0-1) sStoredProcedure=usp_DVR_Config_Select, CmdIndex=15, Name1=@IP, "
                  "Value1=127.0.0.2, Name2=, Value2=, Name3=, Value3=",
                  ModAllConst().iLogLevelDefault);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_GatewayLogLine)->UseRealTime();
BENCHMARK(BM_SQLite_ConfigSelect_Gateway)->UseRealTime();
BENCHMARK(BM_SQLite_ConfigSelect_Direct)->UseRealTime();
BENCHMARK(BM_SQLite_ConfigSelect_DirectPrepared)->UseRealTime();
BENCHMARK(BM_SQLite_AlarmsInsert_Gateway)->UseRealTime();
BENCHMARK(BM_SQLite_AlarmsInsert_Direct)->UseRealTime();
BENCHMARK(BM_SQLite_AlarmsInsert_DirectPrepared)->UseRealTime();
BENCHMARK(BM_PostgreSQL_ConfigSelect_Gateway)->UseRealTime();
BENCHMARK(BM_PostgreSQL_ConfigSelect_Direct)->UseRealTime();
BENCHMARK(BM_PostgreSQL_AlarmsInsert_Gateway)->UseRealTime();
BENCHMARK(BM_PostgreSQL_AlarmsInsert_Direct)->UseRealTime();

// The console report, then calls per second and the gateway/direct ratios
// of this run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With --benchmark_repetitions the median stands for the benchmark.
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      std::string name = run.benchmark_name();
      name = name.substr(0, name.find('/'));
      if (!median && medians_.count(name) != 0) continue;
      if (median) medians_.insert(name);
      const double seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      if (seconds > 0) rates_[name] = 1.0 / seconds;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    if (auto line = rates_.find("BM_GatewayLogLine"); line != rates_.end()) {
      std::printf("\ngateway log line: %.1f us each\n", 1e6 / line->second);
    }
    std::printf("\n%-48s %10s %10s %7s\n", "calls per second", "gateway", "direct", "ratio");
    for (const char* provider : {"SQLite", "PostgreSQL"}) {
      for (const char* procedure : {"ConfigSelect", "AlarmsInsert"}) {
        for (const char* direct : {"Direct", "DirectPrepared"}) {
          std::string base = std::string("BM_") + provider + "_" + procedure + "_";
          auto gateway = rates_.find(base + "Gateway");
          auto other = rates_.find(base + direct);
          if (gateway == rates_.end() || other == rates_.end()) continue;
          std::printf("%-48s %10.0f %10.0f %7.3f\n", (base + "Gateway vs " + direct).c_str() + 3, gateway->second,
                      other->second, gateway->second / other->second);
        }
      }
    }
  }

 private:
  std::map<std::string, double> rates_;
  std::set<std::string> medians_;
};

}  // namespace
}  // namespace dvrlink

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  dvrlink::RatioReporter reporter;  // plain text: the figures go into notes
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
