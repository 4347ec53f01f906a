// Helpers shared by the time-zone module's own files.
#pragma once

#include <exception>

#include "timezone/registry.h"

namespace dvrlink::tz_internal {

// The registry the module reads: ModTimeZone().registry, or the system's
// zones (BuildSystemRegistry) when that is nullptr.
const IRegistry& ActiveRegistry();

// The error handler of every procedure of the module: LogError with
// "modTimeZone, " & procedure, the error's description and its line.
void LogTzError(const char* procedure, const std::exception& error);

}  // namespace dvrlink::tz_internal
