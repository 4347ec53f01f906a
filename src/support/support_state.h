// Process-wide settings of the support module: the protocol characters, the
// level bit table, the log settings, the debug settings and the closing flag.
// Part of the one module-state object (component/module_state.h).
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace dvrlink {

struct ModAllConstState {
  // Protocol characters of the host command channel.
  std::string sTokenStart;
  std::string sTokenEnd;
  std::string sTokenSeparator;
  // lBitValue(0) = 0, lBitValue(n) = 2^(n-1) for n = 1..31, lBitValue(32) = 0.
  std::array<int32_t, 33> lBitValue{};

  int32_t lLogLevel = 0;          // bit mask of the enabled levels
  int16_t iLogLevelDefault = 0;   // the level most log calls pass (8 once created)
  int32_t lDebugFlags = 0;        // 1 = status window, 2 = log every level
  bool blnLogAll = false;
  bool blnLogLocation = false;
  std::string sLogLocation;       // full path of the debug log when set
  bool blnNoUserInterface = false;
  bool blnErrorToServiceLog = false;
  bool blnDebugMode = false;
  bool blnClosing = false;        // set by DeviceFormClose for every instance
};

ModAllConstState& ModAllConst();

}  // namespace dvrlink
