// Text helpers shared by the alarm and system-event handlers.
#pragma once

#include <string>

#include "component/module_state.h"
#include "support/debug_log.h"
#include "support/vbstring.h"

namespace dvrlink {

// A debug-log line at the module's default level.
inline void LogDefault(const std::string& text) { WriteDebugLog(text, ModAllConst().iLogLevelDefault); }

// The DVR's 14 digits YYYYMMDDhhmmss as "MM/DD/YYYY hh:mm:ss", by position
// only (a shorter text gives shorter pieces, never an error).
inline std::string DvrTimeToMdy(const std::string& t) {
  return Mid(t, 5, 2) + "/" + Mid(t, 7, 2) + "/" + Mid(t, 1, 4) + " " + Mid(t, 9, 2) + ":" + Mid(t, 11, 2) + ":" +
         Mid(t, 13, 2);
}

// "MM/DD/YYYY hh:mm:ss" as "YYYY/MM/DD hh:mm:ss", by position only.
inline std::string MdyToYmd(const std::string& t) { return Mid(t, 7, 4) + "/" + Left(t, 5) + Mid(t, 11); }

}  // namespace dvrlink
