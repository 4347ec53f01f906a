// The stored-procedure gateway of the database module (modAllConst2): every
// database access of the component runs one procedure through it, on the
// module's connection ModAllConst2().oDBConnection, which it never opens or
// closes.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

#include "database/ado_connection.h"
#include "platform/object_ref.h"

namespace dvrlink {

// The 25 parameter slots of a call: names with their leading "@", and values.
using DbParameterNames = std::array<std::string, 25>;
using DbParameterValues = std::array<std::string, 25>;

// Runs sStoredProcedure with "@CmdIndex" = CmdIndex (none when negative) and
// each pair whose name is not empty, every value passed as text; reads the
// integer output parameter OutputName (none when empty) into lOutputValue.
// On success sets lReturnCode to 0 and returns the procedure's result set
// (a closed recordset when it returned none), which the caller owns.
// On failure nothing is raised: ModAllConst2().lErrorCode holds the error
// number, sLastError and lLastErrorLine describe it, the error is logged
// (LogError), and the result is empty unless the failure came after
// execution. An integrity violation (0x80040E2F, a duplicate key) counts as
// success: lErrorCode is 0 and the error text goes to the debug log at the
// default level instead. Callers pass ModAllConst2().lErrorCode as
// lReturnCode and ModAllConst2().lOutputValue as lOutputValue.
Ref<Recordset> DBspCommandOutput(int32_t& lReturnCode, const std::string& sStoredProcedure, int16_t CmdIndex,
                                 const std::string& OutputName, int32_t& lOutputValue,
                                 const DbParameterNames& Name, const DbParameterValues& Value);

// Convenience form for the callers: the pairs fill slots 1, 2, ... in order
// and the rest stay empty; no output parameter; the outcome goes to
// ModAllConst2().lErrorCode. More than 25 pairs raise 450 to the caller
// before anything runs.
Ref<Recordset> DBspCommandOutput(const std::string& sStoredProcedure, int16_t CmdIndex,
                                 std::initializer_list<std::pair<std::string, std::string>> pairs);

}  // namespace dvrlink
