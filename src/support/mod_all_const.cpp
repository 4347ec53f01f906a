#include "support/mod_all_const.h"

#include "platform/platform_state.h"  // Delay pumps the message loop
#include "support/datetime.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/support_state.h"

namespace dvrlink {

void InitModuleConstants() {
  ModAllConstState& s = ModAllConst();
  s.sTokenStart = std::string(1, '\x18');
  s.sTokenEnd = std::string(1, '\x19');
  s.sTokenSeparator = std::string(1, '\x1A');
  s.lBitValue[0] = 0;
  for (size_t n = 1; n <= 31; ++n) s.lBitValue[n] = static_cast<int32_t>(uint32_t{1} << (n - 1));
  s.lBitValue[32] = 0;
}

void Delay(int32_t lMilliseconds) {
  try {
    EventLoop& loop = Loop();
    const int64_t end = loop.NowMicros() + int64_t{lMilliseconds} * 1000;
    for (;;) {
      if (loop.NowMicros() >= end || ModAllConst().blnClosing) return;
      // Five yields a round; only the last may wait, and only until the next
      // event or the end of the wait.
      for (int i = 0; i < 5 && !ModAllConst().blnClosing; ++i) {
        loop.PumpNested(i == 4 ? end : loop.NowMicros());
      }
    }
  } catch (const RuntimeError& e) {
    LogError("modAllConst, Delay", e.Description(), e.Line());
  }
}

std::string DateTimeUSFormat(const std::string& sDate) {
  try {
    return CDate(sDate).FormatUS12();
  } catch (const RuntimeError& e) {
    LogError("modAllConst, DateTimeUSFormat", e.Description(), e.Line());
    return std::string();
  }
}

std::string PadLeading(const std::string& sText, int16_t iLength, const std::string& sPad) {
  int64_t missing = int64_t{iLength} - static_cast<int64_t>(sText.size());
  if (missing <= 0) return sText;
  std::string result;
  for (int64_t i = 0; i < missing; ++i) result += sPad;
  return result + sText;
}

}  // namespace dvrlink
