// Process-wide state of the time-zone module. Part of the one module-state
// object (component/module_state.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
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
  // SortList's last input (each entry's Display, in table order) and where
  // it put each entry (position i took entry sortedFrom[i]), kept when it
  // ran without an error: every instance's start sorts the same table, and
  // the order depends on the Display texts alone.
  std::vector<std::string> sortedDisplays;
  std::vector<size_t> sortedFrom;
  // The table EnumSubKeys last read from the system's zones, in the order
  // read, kept when the read logged no error: those zones never change once
  // built, so every later read of the same key gives this table again.
  std::shared_ptr<const IRegistry> readFrom;
  uint32_t readRoot = 0;
  std::string readKey;
  std::vector<TimeZoneEntry> readTable;
  uint64_t errorsLogged = 0;  // by the module's procedures, counted to see a read that logged none
};

ModTimeZoneState& ModTimeZone();

}  // namespace dvrlink
