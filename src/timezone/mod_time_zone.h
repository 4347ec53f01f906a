// The time-zone table read from the registry and the conversions of DVR
// times to this computer's zone.
#pragma once

namespace dvrlink {

// Builds, sorts and locates the table (aTimeZoneList,
// indexLocalMachineTimeZone). True on success.
bool GetTimeZoneList();

}  // namespace dvrlink
