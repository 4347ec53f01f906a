// Process-wide state of the database module: the component's connection and
// the outcome of the last stored-procedure call. Part of the one module-state
// object (component/module_state.h).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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
  // Told of every gateway call's outcome (0 = success, as lErrorCode), for
  // the service's metrics; empty: nobody is told.
  std::function<void(const std::string& procedure, int32_t error_code)> gateway_call_done;
};

ModAllConst2State& ModAllConst2();

// Kept by the database stand-ins, not by the component: how many calls
// failed because the host database could not be reached (a lost, refused or
// timed-out connection; a locked or vanished SQLite file: error 0x80004005),
// and how many DVR alarms such failures kept from the host. The DVR link
// compares the count before and after handing on an alarm.
struct DbReachState {
  uint64_t failures = 0;
  uint64_t alarms_lost = 0;
};

DbReachState& DbReach();

struct LibPq;
// libpq's functions once loaded (providers/libpq_library.h); nothing before
// the first PostgreSQL connection.
struct LibPqState {
  std::shared_ptr<const LibPq> functions;
};

LibPqState& LibPqLoaded();

// The ADO stand-in's one idle session (see AdoConnection).
struct AdoPoolState {
  std::string connection_string;
  std::unique_ptr<DbProvider> idle;
};

AdoPoolState& AdoPool();

}  // namespace dvrlink
