#include "database/db_schema.h"

#include "database/ado_connection.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {

std::string SchemaScriptFor(const std::string& provider_name) {
  if (EqualsNoCase(provider_name, "SQLite")) return kSqliteSchemaScript;
  if (EqualsNoCase(provider_name, "PostgreSQL")) return kPostgresSchemaScript;
  DVR_RAISE_TEXT(kAdoErrProviderNotFound, "No schema script for provider '" + provider_name + "'");
}

const std::vector<DbProcedureDef>& DbProcedures() {
  static const std::vector<DbProcedureDef> procedures = {
      {"usp_AlarmActive_Select", 1, {"@CmdIndex", "@dtDate"}, false},
      {"usp_DVR_AlarmVideo_Update", 3, {"@CmdIndex", "@ID", "@AlarmDateTime"}, false},
      {"usp_DVR_Alarms_Insert",
       1,
       {"@CmdIndex", "@ID_DVR_Config", "@CameraName", "@StartTime", "@EndTime", "@Frames", "@AlarmType"},
       false},
      {"usp_DVR_Config_Select", 15, {"@CmdIndex", "@IP"}, false},
      {"usp_DVR_Cameras_Select", 2, {"@CmdIndex", "@ID_DVR_Config", "@CameraIndex"}, false},
      {"usp_DVR_Config_Save", 0, {"@CmdIndex", "@ID", "@IP", "@GlobalAddressID", "@Name"}, true},
      {"usp_DVR_Cameras_Save",
       0,
       {"@CmdIndex", "@ID_DVR_Config", "@CameraIndex", "@CameraName", "@GlobalAddressID"},
       true},
      {"usp_AlarmActive_Insert", 0, {"@CmdIndex", "@dtDate", "@EventCode", "@GlobalAddressID", "@Description"}, true},
  };
  return procedures;
}

std::vector<std::string> DbTables(const std::string& provider_name) {
  std::vector<std::string> tables = {"dvrlink_schema", "dvr_config",      "dvr_cameras",
                                     "dvr_alarms",     "dvr_alarm_video", "alarm_active"};
  if (EqualsNoCase(provider_name, "SQLite")) {
    tables.push_back("dvrlink_procedures");
    tables.push_back("dvrlink_procedure_parameters");
  }
  return tables;
}

}  // namespace dvrlink
