// The one module-state object of the process: everything the component and
// its platform keep process-wide, in one place. Each module reaches its own
// part through its accessor (Platform(), ModAllConst(), ModAllConst2(),
// DbReach(), ModTimeZone(), ModDvrlink()). Tests reset it between cases.
#pragma once

#include "component/dvrlink_state.h"
#include "database/db_state.h"
#include "platform/platform_state.h"
#include "support/support_state.h"
#include "timezone/tz_state.h"

namespace dvrlink {

struct ModuleState {
  // Declared first so it is destroyed last: forms and objects below hold
  // timers and watches of its loop.
  PlatformState platform;
  ModAllConstState modAllConst;
  // Before everything that may hold a PostgreSQL connection: closing one
  // calls into the library.
  LibPqState libpq;
  // Before the connections below: they leave their session here when
  // destroyed.
  AdoPoolState adoPool;
  ModAllConst2State modAllConst2;
  DbReachState dbReach;
  ModTimeZoneState modTimeZone;
  ModDvrlinkState modDvrlink;
};

ModuleState& M();
// Replaces the whole state with a fresh one (a new loop on the system clock,
// an empty factory, no forms). For tests.
void ResetModuleState();

}  // namespace dvrlink
