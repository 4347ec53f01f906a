// The small public methods through which the host and its socket component
// reach the instance, the host-event message 44, and the status writers.
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

// Appends CR LF, the time and the text to a status box and puts the caret at
// the end, as both status writers do.
void AppendStatusLine(TextBox& box, const std::string& text) {
  box.SetText(box.Text() + "\r\n" + Loop().clock().LocalNow().FormatTime24() + " : " + text);
  box.SetSelStart(box.Text().size());
}

}  // namespace

void ShowStatus(const std::string& text) {
  ModDvrlinkState& d = ModDvrlink();
  auto& table = d.oFrmMainTemplate;
  if (d.iCurrentDVR < 0 || static_cast<size_t>(d.iCurrentDVR) >= table.size()) DVR_RAISE(kErrSubscript);
  const auto& form = table[static_cast<size_t>(d.iCurrentDVR)];
  if (!form) DVR_RAISE(kErrObjectNotSet);
  if (BitWiseAnd(ModAllConst().lDebugFlags, 1) > 0) {
    AppendStatusLine(form->txtStatus, text);
  } else {
    form->Hide();
  }
  WriteDebugLog(text, 0);
}

void clsDvrlink::ShowMessage(const std::string& text) {
  try {
    if (!ModAllConst().blnDebugMode) return;
    AppendStatusLine(MainForm().txtStatus, text);
  } catch (const RuntimeError& e) {
    LogError("TarvonWinSockClient, ShowMessage", e.Description(), e.Line());
  }
}

void clsDvrlink::Callback(int16_t iEventType, int16_t iEventID, const std::string& sEventDescription) {
  try {
    WriteDebugLog("Dvrlink, Callback(" + ID + ") iEventType=" + Str(iEventType) + ", iEventID=" + Str(iEventID) +
                      ", sEventDescription=" + sEventDescription,
                  ModAllConst().iLogLevelDefault);
    SetCurrentDVR();
    if (iEventType == 201) ProcessDataArrival(iEventID, sEventDescription);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, Callback-" + ID, e.Description(), e.Line());
  }
}

bool clsDvrlink::SetRecordRate(int16_t /*iVideoRate*/, int16_t /*iAlarmRate*/) {
  bool result = false;
  try {
    SetCurrentDVR();
    if (!m_oDvrRemote) {
      m_oDvrRemote = Platform().factory.Create<IDvrRemote>(kProgIdDvrRemote);
      m_oDvrRemote->SetEventSink(remoteSink_.get());
      std::string address = FirstAddress();
      if (iPortUnit.empty()) DVR_RAISE(kErrSubscript);
      m_lSessionRemote = DvrRemoteConnect(address, iPortUnit[0], "");
    }
    result = m_lSessionRemote > 0;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, SetRecordRate-" + ID, e.Description(), e.Line());
  }
  return result;
}

void clsDvrlink::IDVR_DVRSendEvent() {
  try {
    const ModAllConstState& s = ModAllConst();
    const UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
    const std::string& sep = s.sTokenSeparator;
    std::string message = s.sTokenStart + "44" + sep + Str(r.EventCode);
    for (const std::string* field : {&r.DataTime, &r.GlobalAddressID, &r.DVRName, &r.DVRAddress, &r.Detail1,
                                     &r.Detail2, &r.Detail3, &r.Detail4, &r.Detail5, &r.Detail6, &r.Detail7,
                                     &r.Detail8}) {
      message += sep + *field;
    }
    message += s.sTokenEnd;
    WriteDebugLog("Dvrlink, IDVR_DVRSendEvent(" + ID + ") sTemp=" + message, s.iLogLevelDefault);
    if (!oSocket) {
      WriteDebugLogAlways("Dvrlink, IDVR_DVRSendEvent(" + ID + ") oSocket Is Nothing");
    } else {
      oSocket->SendCommand(message);
    }
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, IDVR_DVRSendEvent-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::UpdateTimeSyncParameters(int16_t iTimeSyncInterval, bool blnTimeSyncEnabled) {
  try {
    WriteDebugLog("Dvrlink, UpdateTimeSyncParameters(" + ID + ") blnTimeSyncEnabled=" + BoolText(blnTimeSyncEnabled) +
                      ", iTimeSyncInterval=" + Str(iTimeSyncInterval),
                  ModAllConst().iLogLevelDefault);
    SetCurrentDVR();
    frmMainTemplate& form = MainForm();
    form.blnTimeSyncEnabled = blnTimeSyncEnabled;
    form.iTimeSyncInterval = iTimeSyncInterval;
    SynchronizeDVRClockPeriod();
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, UpdateTimeSyncParameters-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::UpdateExternalTriggerParameters(std::vector<bool>& blnLocalParameters,
                                                 std::vector<std::string>& /*sParameters*/) {
  try {
    WriteDebugLog("Dvrlink, UpdateExternalTriggerParameters(" + ID + ")" +
                      " blnTriggerExternalEnabled=" + BoolText(blnTriggerExternalEnabled),
                  ModAllConst().iLogLevelDefault);
    SetCurrentDVR();
    if (blnLocalParameters.empty()) DVR_RAISE(kErrSubscript);
    bool enabled = blnLocalParameters[0];
    if (enabled == blnTriggerExternalEnabled) return;
    blnTriggerExternalEnabled = enabled;
    UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
    r.EventCode = enabled ? 10314 : 10315;
    r.DataTime = Loop().clock().LocalNow().FormatYmd24();
    r.GlobalAddressID = m_sGlobalAddressID;
    r.DVRName = m_sDVRName;
    r.DVRAddress = DVRIP;
    r.Detail1.clear();
    r.Detail2.clear();
    r.Detail3.clear();
    IDVR_DVRSendEvent();
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, UpdateExternalTriggerParameters-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::ServerExtIDVR_Callback(int16_t iEventType, int16_t iEventID, const std::string& sDescription,
                                        std::optional<int16_t> iID) {
  try {
    int16_t ident = iID.value_or(0);
    WriteDebugLog("Dvrlink, ServerExtIDVR_Callback(" + ID + ")-" + Str(ident) + " BEGIN" + ", iEventType=" +
                      Str(iEventType) + ", iEventID=" + Str(iEventID) + ", sDescription=" + sDescription + ";",
                  ModAllConst().iLogLevelDefault);
    oExtension->IDVR_Callback(iEventType, iEventID, sDescription, Str(ident));
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, ServerExtIDVR_Callback-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::SetCurrentEventID(int32_t localEventID) {
  try {
    WriteDebugLog("Dvrlink, SetCurrentEventID(" + ID + ") BEGIN" + ", localEventID=" + Str(localEventID) + ";",
                  ModAllConst().iLogLevelDefault);
    m_CurrentEventID = localEventID;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, SetCurrentEventID-" + ID, e.Description(), e.Line());
  }
}

}  // namespace dvrlink
