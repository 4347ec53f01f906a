// Process-wide state of the time-zone module. Part of the one module-state
// object (component/module_state.h).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "timezone/time_zone_entry.h"

namespace dvrlink {

class IRegistry;

struct ModTimeZoneState {
  std::vector<TimeZoneEntry> aTimeZoneList;
  int16_t indexLocalMachineTimeZone = 0;
  int16_t indexToTimeZone = 0;
  bool blnWindowsMajor6 = false;
  // Where GetTimeZoneList reads the zones from; nullptr: the system's zones.
  std::shared_ptr<IRegistry> registry;
  // The system's zones (BuildSystemRegistry) while `registry` is nullptr: built
  // on first need, then kept for every later table.
  std::shared_ptr<IRegistry> systemRegistry;
};

ModTimeZoneState& ModTimeZone();

}  // namespace dvrlink
