// Process-wide state of the database module: the component's connection and
// the outcome of the last stored-procedure call. Part of the one module-state
// object (component/module_state.h).
#pragma once

#include <cstdint>
#include <string>

#include "database/ado_connection.h"
#include "platform/object_ref.h"

namespace dvrlink {

struct ModAllConst2State {
  int32_t lErrorCode = 0;
  int32_t lOutputValue = 0;
  std::string sLastError;
  int32_t lLastErrorLine = 0;
  Ref<IAdoConnection> oDBConnection;
  std::string sDBDeviceID;  // copy of the component's ID for the gateway's log lines
};

ModAllConst2State& ModAllConst2();

}  // namespace dvrlink
