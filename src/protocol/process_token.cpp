#include "protocol/process_token.h"

#include <cstdint>

#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/support_state.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

// A position kept in a 16-bit variable, as the splitter's positions are.
int16_t Position(int64_t p) {
  if (p > INT16_MAX) DVR_RAISE(kErrOverflow);
  return static_cast<int16_t>(p);
}

}  // namespace

bool ProcessToken(const std::string& sSource, const std::string& sTokenStart, const std::string& sTokenEnd,
                  const std::string& sTokenSeparator, FrameTable& sDataBack, bool blnDebug) {
  try {
    const int16_t level = ModAllConst().iLogLevelDefault;
    if (blnDebug) WriteDebugLog("modAllConst, ProcessToken() sSource=" + sSource + "---", level);
    sDataBack.clear();
    const int64_t length = static_cast<int64_t>(sSource.size());
    int16_t p = 1;
    size_t m = 0;
    for (;;) {
      if (p > length) return true;
      int16_t start = Position(InStr(p, sSource, sTokenStart));
      if (start == 0) return false;
      int16_t q = Position(start + static_cast<int64_t>(sTokenStart.size()));
      std::vector<std::string> fields;
      int16_t end = 0;
      for (;;) {
        end = Position(InStr(q, sSource, sTokenEnd));
        if (end == 0) return false;
        int16_t separator = Position(InStr(q, sSource, sTokenSeparator));
        if (separator > 0 && separator < end) {
          fields.push_back(Mid(sSource, q, separator - q));
          q = Position(separator + static_cast<int64_t>(sTokenSeparator.size()));
          continue;
        }
        fields.push_back(Mid(sSource, q, end - q));
        break;
      }
      if (fields.size() - 1 > m) m = fields.size() - 1;
      fields.resize(m + 1);
      sDataBack.push_back(std::move(fields));
      for (auto& row : sDataBack) row.resize(m + 1);
      if (blnDebug) {
        for (size_t f = 0; f < sDataBack.size(); ++f) {
          for (size_t k = 0; k <= m; ++k) {
            WriteDebugLog("modAllConst, ProcessToken() sDataBack(" + std::to_string(f) + ", " + std::to_string(k) +
                              ")=" + sDataBack[f][k],
                          level);
          }
        }
      }
      // Past the end of the block the scan is over, even for a block of the
      // full 32,767 characters.
      int64_t next = end + static_cast<int64_t>(sTokenEnd.size());
      if (next > length) return true;
      p = Position(next);
    }
  } catch (const RuntimeError& e) {
    WriteDebugLogAlways("modAllConst, ProcessToken() ??? ERROR Line : " + std::to_string(e.Line()) + "\r\n" +
                        e.Description());
    return false;
  }
}

}  // namespace dvrlink
