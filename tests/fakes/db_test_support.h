// Helpers of the database tests: temporary folders, the debug log read back,
// and fresh databases of either provider with a few test procedures.
#pragma once

#include <string>
#include <vector>

#include "database/db_gateway.h"
#include "fakes/test_support.h"

namespace dvrlink::testing {

// Points the logs at folder, sets the module constants, the default level 8
// and enables it (lLogLevel = 128), and names the gateway's device ID.
void EnableDebugLog(const std::string& folder, const std::string& device_id);
// The lines of DebugDeviceAdm.log in folder, without their CR LF.
inline std::vector<std::string> DebugLogLines(const std::string& folder) {
  return ReadLines(folder + "/DebugDeviceAdm.log");
}

// A call of the gateway, its pairs in their slots (1..25).
struct GatewayCall {
  struct Pair {
    int slot;
    std::string name, value;
  };
  std::string procedure;
  int16_t cmd_index;
  std::vector<Pair> pairs;
  std::string output_name;
};
// Runs DBspCommandOutput as the callers do, with the module's outcome
// variables; lErrorCode is -1 before, so that a call that leaves it shows.
Ref<Recordset> RunGateway(const GatewayCall& call);

enum class Backend { kSqlite, kPostgres };
const char* BackendName(Backend backend);

// Opens ModAllConst2().oDBConnection on the database.
void OpenModuleConnection(const std::string& connection_string);

// DVRLINK_TEST_PG, or empty when the PostgreSQL tests are to be skipped.
std::string PgConnectionString();
inline constexpr const char* kPgSkipMessage =
    "PostgreSQL tests need DVRLINK_TEST_PG: start a server with "
    "`tests/pg/pg_server.sh start DIR` and export the connection string it prints";

// A fresh database made by dvrlink-db's InitDatabase, holding also the test
// procedures usp_Test_Echo (a row of what it received), usp_Test_Output
// (@Result = 2 * @In), usp_Test_Date (dvr_datetime(@Text)) and
// usp_Test_NoParams. SQLite: a file in a temporary folder. PostgreSQL: a
// schema of its own in the DVRLINK_TEST_PG database, dropped at the end.
class TestDatabase {
 public:
  explicit TestDatabase(Backend backend);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  const std::string& connection_string() const { return connection_string_; }
  // Opens ModAllConst2().oDBConnection on the database.
  void OpenModuleConnection() const;
  // Runs a script through the provider (for test set-up).
  void Execute(const std::string& sql) const;

 private:
  Backend backend_;
  TempDir dir_;
  std::string schema_;
  std::string connection_string_;
};

}  // namespace dvrlink::testing
