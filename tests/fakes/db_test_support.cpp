#include "fakes/db_test_support.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>

#include "database/db_admin.h"
#include "database/db_state.h"
#include "database/ado_connection.h"
#include "platform/platform_state.h"
#include "support/mod_all_const.h"
#include "support/support_state.h"

namespace dvrlink::testing {
namespace {

const char* kSqliteTestProcedures = R"sql(
INSERT INTO dvrlink_procedures (name, body) VALUES
  ('usp_Test_Echo', 'SELECT @CmdIndex AS "CmdIndex", @A AS "A", @B AS "B"'),
  ('usp_Test_Output', 'SELECT @In * 2 AS "@Result"'),
  ('usp_Test_Date', 'SELECT dvr_datetime(@Text) AS "Value"'),
  ('usp_Test_NoParams', 'SELECT 1 AS "One"');
INSERT INTO dvrlink_procedure_parameters (procedure_name, ordinal, name, type, direction) VALUES
  ('usp_Test_Echo', 1, '@CmdIndex', 'INTEGER', 'IN'),
  ('usp_Test_Echo', 2, '@A', 'TEXT', 'IN'),
  ('usp_Test_Echo', 3, '@B', 'TEXT', 'IN'),
  ('usp_Test_Output', 1, '@CmdIndex', 'INTEGER', 'IN'),
  ('usp_Test_Output', 2, '@In', 'INTEGER', 'IN'),
  ('usp_Test_Output', 3, '@Result', 'INTEGER', 'OUT'),
  ('usp_Test_Date', 1, '@CmdIndex', 'INTEGER', 'IN'),
  ('usp_Test_Date', 2, '@Text', 'TEXT', 'IN');
)sql";

const char* kPostgresTestProcedures = R"sql(
CREATE FUNCTION "usp_Test_Echo"("@CmdIndex" integer DEFAULT NULL, "@A" text DEFAULT NULL,
                                "@B" text DEFAULT NULL)
RETURNS TABLE ("CmdIndex" integer, "A" text, "B" text)
LANGUAGE sql AS $$ SELECT "@CmdIndex", "@A", "@B" $$;
CREATE FUNCTION "usp_Test_Output"("@CmdIndex" integer DEFAULT NULL, "@In" integer DEFAULT NULL,
                                  OUT "@Result" integer)
LANGUAGE sql AS $$ SELECT "@In" * 2 $$;
CREATE FUNCTION "usp_Test_Date"("@CmdIndex" integer DEFAULT NULL, "@Text" text DEFAULT NULL)
RETURNS TABLE ("Value" timestamp)
LANGUAGE sql AS $$ SELECT dvr_datetime("@Text") $$;
CREATE FUNCTION "usp_Test_NoParams"() RETURNS TABLE ("One" integer)
LANGUAGE sql AS $$ SELECT 1 $$;
)sql";

std::string UniqueSchemaName() {
  static std::atomic<int> counter{0};
  std::random_device random;
  return "dvrlink_t_" + std::to_string(::getpid()) + "_" + std::to_string(counter++) + "_" +
         std::to_string(random() % 100000);
}

}  // namespace

void EnableDebugLog(const std::string& folder, const std::string& device_id) {
  Platform().program_folder = folder;
  InitModuleConstants();
  ModAllConst().iLogLevelDefault = 8;
  ModAllConst().lLogLevel = 128;
  ModAllConst2().sDBDeviceID = device_id;
}

Ref<Recordset> RunGateway(const GatewayCall& call) {
  DbParameterNames names;
  DbParameterValues values;
  for (const GatewayCall::Pair& p : call.pairs) {
    names[static_cast<size_t>(p.slot - 1)] = p.name;
    values[static_cast<size_t>(p.slot - 1)] = p.value;
  }
  ModAllConst2State& db = ModAllConst2();
  db.lErrorCode = -1;
  return DBspCommandOutput(db.lErrorCode, call.procedure, call.cmd_index, call.output_name, db.lOutputValue, names,
                           values);
}

const char* BackendName(Backend backend) { return backend == Backend::kSqlite ? "SQLite" : "PostgreSQL"; }

std::string PgConnectionString() {
  const char* value = std::getenv("DVRLINK_TEST_PG");
  return value ? value : "";
}

TestDatabase::TestDatabase(Backend backend) : backend_(backend) {
  if (backend == Backend::kSqlite) {
    connection_string_ = "Provider=SQLite;Data Source=" + dir_.path() + "/host.db";
    InitDatabase(connection_string_);
    Execute(kSqliteTestProcedures);
    return;
  }
  schema_ = UniqueSchemaName();
  OpenProvider(PgConnectionString())->ExecuteScript("CREATE SCHEMA " + schema_);
  connection_string_ = PgConnectionString() + ";Search Path=" + schema_;
  InitDatabase(connection_string_);
  Execute(kPostgresTestProcedures);
}

TestDatabase::~TestDatabase() {
  ModAllConst2().oDBConnection.Clear();
  if (!schema_.empty()) {
    try {
      OpenProvider(PgConnectionString())->ExecuteScript("DROP SCHEMA " + schema_ + " CASCADE");
    } catch (...) {
      // A server that went away takes the schema's cleanup with it.
    }
  }
}

void OpenModuleConnection(const std::string& connection_string) {
  auto connection = std::make_shared<AdoConnection>();
  connection->Open(connection_string, "", "", -1);
  ModAllConst2().oDBConnection = Ref<IAdoConnection>(std::static_pointer_cast<IAdoConnection>(connection));
}

void TestDatabase::OpenModuleConnection() const { testing::OpenModuleConnection(connection_string_); }

void TestDatabase::Execute(const std::string& sql) const { OpenProvider(connection_string_)->ExecuteScript(sql); }

}  // namespace dvrlink::testing
