// Ending a host-raised alarm early.
#include <string>

#include "component/clsDvrlink.h"
#include "component/dvr_sinks.h"
#include "component/module_state.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {

bool clsDvrlink::StopAlarm(const std::string& Camera) {
  try {
    SetCurrentDVR();
    const std::string sCamera = Camera.empty() ? std::string("0") : Camera;
    int16_t camera = CInt(sCamera);
    if (!m_oDvrRemote) {
      m_oDvrRemote = Platform().factory.Create<IDvrRemote>(kProgIdDvrRemote);
      m_oDvrRemote->SetEventSink(remoteSink_.get());
      if (camera < 0 || static_cast<size_t>(camera) >= sIP.size()) DVR_RAISE(kErrSubscript);
      m_lSessionRemote = DvrRemoteConnect(sIP[static_cast<size_t>(camera)], iPortUnit[static_cast<size_t>(camera)], "");
    }
    if (m_lSessionRemote < 1) {
      ShowStatus("StopAlarm(" + ID + ") Error");
      return false;
    }
    m_oDvrRemote->StopAlarm(m_lSessionRemote, camera);
    ModDvrlink().iAlarmTimerTicks = 0;
    WriteDebugLog("Dvrlink, StopAlarm() DONE, Camera=" + sCamera, 9);
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, StopAlarm-" + ID, e.Description(), e.Line());
    return false;
  }
}

}  // namespace dvrlink
