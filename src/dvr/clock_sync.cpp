// DVR clock synchronisation: arming the period counted by the main form's
// minute timer, the host's trigger, and the call that sets the DVR clock to
// this computer's local time.
#include <string>

#include "component/clsDvrlink.h"
#include "component/dvr_sinks.h"
#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }
int16_t Level() { return ModAllConst().iLogLevelDefault; }

}  // namespace

void clsDvrlink::SynchronizeDVRClockPeriod() {
  try {
    frmMainTemplate& form = MainForm();
    WriteDebugLog("Dvrlink, SynchronizeDVRClockPeriod() oFrmMainTemplate(" + Str(m_DVRCurrent) +
                      ").blnTimeSyncEnabled=" + BoolText(form.blnTimeSyncEnabled) +
                      ", iTimeSyncInterval=" + Str(form.iTimeSyncInterval),
                  Level());
    SetCurrentDVR();
    if (!form.blnTimeSyncEnabled) {
      form.TimerMinute.SetEnabled(false);
      return;
    }
    if (form.iTimeSyncInterval >= 10000 || form.iTimeSyncInterval <= 0) return;
    // Minutes are computed in 16 bits: an interval above 546 hours overflows.
    form.m_Minutes = CheckedMul16(form.iTimeSyncInterval, 60);
    form.m_MinutesCycle = form.m_Minutes;
    form.TimerMinute.SetEnabled(true);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, SynchronizeDVRClockPeriod", e.Description(), e.Line());
  }
}

std::optional<bool> clsDvrlink::TimeSyncTrigger() {
  try {
    SetCurrentDVR();
    std::shared_ptr<frmMainTemplate> form = MainForm().shared_from_this();
    return form->TimeSyncTrigger();
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, TimeSyncTrigger-" + ID, e.Description(), e.Line());
    return std::nullopt;
  }
}

bool clsDvrlink::TimeSync() {
  try {
    SetCurrentDVR();
    blnTimeSyncInProcess = true;
    if (!m_oDvrRemote) {
      m_oDvrRemote = Platform().factory.Create<IDvrRemote>(kProgIdDvrRemote);
      m_oDvrRemote->SetEventSink(remoteSink_.get());
      if (iPortUnit.empty()) DVR_RAISE(kErrSubscript);
      m_lSessionRemote = DvrRemoteConnect(FirstAddress(), iPortUnit[0], "");
    }
    if (m_lSessionRemote <= 0) {
      // Released so that the next synchronisation connects anew.
      ReleaseRemote(m_oDvrRemote);
      blnTimeSyncInProcess = false;
      return false;
    }
    std::string sTime = Loop().clock().LocalNow().FormatUS12();
    WriteDebugLog("Dvrlink, TimeSync(" + ID + ") Call m_oDvrRemote.TimeSync(" + Str(m_lSessionRemote) + ", '" +
                      sTime + "'), (m_oDvrRemote Is Nothing)=" + BoolText(false),
                  Level());
    m_oDvrRemote->TimeSync(m_lSessionRemote, CDate(sTime));
    WriteDebugLog("Dvrlink, TimeSync(" + ID + ") Call m_oDvrRemote.TimeSync() at " + m_sDVRName + "(" +
                      FirstAddress() + ") on " + sTime,
                  Level());
    TextBox& status = MainForm().txtStatus;
    status.SetText(status.Text() + "\r\n" + Loop().clock().LocalNow().FormatTime24() + " : TimeSync() At " + sTime);
    status.SetSelStart(status.Text().size());
    blnTimeSyncInProcess = false;
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, TimeSync-" + ID,
             e.Description() + " at " + m_sDVRName + "(" + FirstAddress() + ")" + ", m_lSessionRemote=" +
                 Str(m_lSessionRemote),
             e.Line());
    blnTimeSyncInProcess = false;
    return false;
  }
}

void clsDvrlink::m_oDvrRemote_OnTimeSyncEvent(int32_t /*lSessionID*/, int32_t /*eReason*/, int32_t /*lData1*/,
                                              int32_t /*lData2*/) {
  SetCurrentDVR();
}

}  // namespace dvrlink
