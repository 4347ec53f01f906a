#include "database/db_gateway.h"

#include <exception>

#include "database/db_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/support_state.h"

namespace dvrlink {

// The line recorded for a failure is the line of the gateway statement that
// was running, like the line number the original error handler reported.
Ref<Recordset> DBspCommandOutput(int32_t& lReturnCode, const std::string& sStoredProcedure, int16_t CmdIndex,
                                 const std::string& OutputName, int32_t& lOutputValue,
                                 const DbParameterNames& Name, const DbParameterValues& Value) {
  ModAllConst2State& db = ModAllConst2();
  Ref<Recordset> result;
  std::string sLastName, sLastValue, sName, sValue;
  int32_t line = __LINE__;

  WriteDebugLog("DBspCommandOutput(" + db.sDBDeviceID + ")" + " sStoredProcedure=" + sStoredProcedure +
                    ", CmdIndex=" + std::to_string(CmdIndex) + ", Name1=" + Name[0] + ", Value1=" + Value[0] +
                    ", Name2=" + Name[1] + ", Value2=" + Value[1] + ", Name3=" + Name[2] + ", Value3=" + Value[2],
                ModAllConst().iLogLevelDefault);

  int32_t number = 0;
  std::string description;
  try {
    line = __LINE__;
    AdoCommand cmd;
    cmd.CommandType = adCmdStoredProc;
    cmd.CommandText = sStoredProcedure;
    cmd.ActiveConnection = db.oDBConnection;
    cmd.NamedParameters = true;

    line = __LINE__;
    cmd.Parameters.Refresh();
    const bool declared = cmd.Parameters.Count() > 0;

    if (CmdIndex >= 0) {
      line = __LINE__;
      if (!declared) cmd.Parameters.Append(AdoCommand::CreateParameter("@CmdIndex", adInteger, adParamInput, 4));
      line = __LINE__;
      cmd.Parameters.Item("@CmdIndex").Value = AdoValue::Integer(CmdIndex);
    }

    for (size_t k = 0; k < Name.size(); ++k) {
      sLastName = sName;
      sLastValue = sValue;
      sName = Name[k];
      sValue = Value[k];
      if (Name[k].empty()) continue;
      line = __LINE__;
      if (!declared) {
        int32_t size = Value[k].empty() ? 1 : static_cast<int32_t>(Value[k].size());
        cmd.Parameters.Append(AdoCommand::CreateParameter(Name[k], adVarChar, adParamInput, size));
      }
      line = __LINE__;
      cmd.Parameters.Item(Name[k]).Value = AdoValue::Text(Value[k]);
    }

    if (!OutputName.empty() && !declared) {
      line = __LINE__;
      cmd.Parameters.Append(AdoCommand::CreateParameter(OutputName, adInteger, adParamOutput, 4));
    }

    line = __LINE__;
    result = cmd.Execute();

    lReturnCode = 0;

    if (!OutputName.empty()) {
      for (int32_t i = 0; i < cmd.Parameters.Count(); ++i) {
        AdoParameter& p = cmd.Parameters.Item(i);
        if (p.Name != OutputName) continue;
        line = __LINE__;
        if (!p.Value.IsNull()) lOutputValue = p.Value.ToLong();
      }
    }
    if (db.gateway_call_done) db.gateway_call_done(sStoredProcedure, 0);
    return result;
  } catch (const RuntimeError& e) {
    number = e.Number();
    description = e.Description();
  } catch (const std::exception& e) {
    number = kAdoErrUnspecified;
    description = e.what();
  }

  db.lErrorCode = number;
  db.lLastErrorLine = line;
  std::string text = "(" + std::to_string(number) + ") " + description + ", sStoredProcedure=" + sStoredProcedure +
                     ", CmdIndex=" + std::to_string(CmdIndex) + ", OutputName=" + OutputName +
                     ", sLastName=" + sLastName + ", sLastValue=" + sLastValue + ", sName=" + sName +
                     ", sValue=" + sValue + ", lErrorCode=" + std::to_string(db.lErrorCode) +
                     ", lReturnCode=" + std::to_string(lReturnCode);
  for (size_t k = 0; k < Name.size(); ++k) {
    text += ", Name" + std::to_string(k + 1) + "=" + Name[k] + ", Value" + std::to_string(k + 1) + "=" + Value[k];
  }
  text += "---";
  db.sLastError = text;

  if (number == kDbErrIntegrityViolation) {
    db.lErrorCode = 0;
    WriteDebugLog("modAllConst2, DBspCommandOutput(" + db.sDBDeviceID + ") ??? " + db.sLastError,
                  ModAllConst().iLogLevelDefault);
  } else {
    LogError("modAllConst2, DBspCommandOutput-" + db.sDBDeviceID, db.sLastError, db.lLastErrorLine);
  }
  if (db.gateway_call_done) db.gateway_call_done(sStoredProcedure, db.lErrorCode);
  return result;
}

Ref<Recordset> DBspCommandOutput(const std::string& sStoredProcedure, int16_t CmdIndex,
                                 std::initializer_list<std::pair<std::string, std::string>> pairs) {
  if (pairs.size() > DbParameterNames().size()) {
    DVR_RAISE_TEXT(kErrWrongArgs, "Wrong number of arguments or invalid property assignment (" +
                                      std::to_string(pairs.size()) + " parameters for " + sStoredProcedure +
                                      "; at most 25)");
  }
  DbParameterNames names;
  DbParameterValues values;
  size_t k = 0;
  for (const auto& [name, value] : pairs) {
    names[k] = name;
    values[k] = value;
    ++k;
  }
  ModAllConst2State& db = ModAllConst2();
  return DBspCommandOutput(db.lErrorCode, sStoredProcedure, CmdIndex, std::string(), db.lOutputValue, names, values);
}

}  // namespace dvrlink
