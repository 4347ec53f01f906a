// Handling of a block of text from a host client.
#include <string>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "support/debug_log.h"

namespace dvrlink {

// Logs the delivery. Splitting the block into frames and carrying out their
// commands is the command channel's work, not built yet: until then a block
// is logged and gets no reply.
void clsDvrlink::ProcessDataArrival(int16_t Index, const std::string& sData) {
  WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") BEGIN " + ", Index=" + std::to_string(Index) +
                    ", sData=" + sData + ";",
                ModAllConst().iLogLevelDefault);
}

}  // namespace dvrlink
