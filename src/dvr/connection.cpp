// The DVR connection: Connect, the control-session and event-session
// connects, and the handlers of the session events, which tell the host of
// connects (10322), connection errors (10320) and disconnects (10321).
#include <string>

#include "component/clsDvrlink.h"
#include "component/dvr_sinks.h"
#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/mod_all_const.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }
int16_t Level() { return ModAllConst().iLogLevelDefault; }

constexpr size_t kTableEntries = 17;  // entries 0..16; Connect fills 0..15
constexpr size_t kFilledEntries = 16;

}  // namespace

bool clsDvrlink::Connect(const std::string& IP, const std::string& portComm, const std::string& PortLive) {
  bool result = false;
  try {
    WriteDebugLog("Dvrlink, Connect(" + ID + ") Begin, IP=" + IP + ", portComm=" + portComm, Level());
    SetCurrentDVR();
    sIP.assign(kTableEntries, std::string());
    iPortUnit.assign(kTableEntries, 0);
    iPortLive.assign(kTableEntries, 0);
    iIndexUnit.assign(kTableEntries, 0);
    for (size_t i = 0; i < kFilledEntries; ++i) {
      sIP[i] = IP;
      iPortUnit[i] = CInt(portComm);
      iPortLive[i] = CInt(PortLive);
      iIndexUnit[i] = static_cast<int16_t>(i);
    }
    if (!m_oDvrRemote) {
      m_oDvrRemote = Platform().factory.Create<IDvrRemote>(kProgIdDvrRemote);
      m_oDvrRemote->SetEventSink(remoteSink_.get());
      m_lSessionRemote = DvrRemoteConnect(sIP[0], iPortUnit[0], "");
      std::string version = m_oDvrRemote->Version();
      WriteDebugLogAlways("Dvrlink, Connect(" + ID + ") " + m_sDVRName + "(" + DVRIP +
                          ") DVR SDK API Current Version=" + version);
      WriteDebugLog("Dvrlink, Connect(" + ID + ") m_lSessionRemote=" + Str(m_lSessionRemote), Level());
    }
    MainForm().SetCaption("DVR Server (" + Version + "),  " + IP + " (" + Str(ServerPort) + ")");
    if (blnDvrEventCtrlDisconnected) DvrEventCtrlConnect();
    WriteDebugLog("Dvrlink, Connect(" + ID + ") Done, m_lSessionRemote=" + Str(m_lSessionRemote) + ", sIP(" +
                      Str(0) + ")=" + FirstAddress() + ", m_IDSession=" + Str(m_IDSession),
                  Level());
    result = true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, Connect-" + ID, e.Description(), e.Line());
  }
  return result;
}

int32_t clsDvrlink::DvrRemoteConnect(const std::string& address, int16_t port, const std::string& extra) {
  try {
    int32_t session = 0;
    Ref<IDvrRemote> remote = m_oDvrRemote;  // alive through the wait
    remote->Connect(address, port, extra, session);
    Delay(50);
    return session;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, DvrRemoteConnect-" + ID, e.Description(), e.Line());
    return 0;
  }
}

void clsDvrlink::DvrEventCtrlConnect() {
  try {
    WriteDebugLog("Dvrlink, DvrEventCtrlConnect(" + ID + ") BEGIN" + ", DVRIP=" + DVRIP + ", lPortEvent=" +
                      Str(lPortEvent) + ", blnDvrEventCtrlDisconnected=" + BoolText(blnDvrEventCtrlDisconnected) +
                      ";",
                  Level());
    if (blnDvrEventCtrlDisconnected) {
      m_IDSession = m_oDvrEventCtrl->Connect(DVRIP, lPortEvent);
      m_oDvrAlmEvtCtrl = m_oDvrEventCtrl->AlarmEventCtrl();
      m_oDvrAlmEvtCtrl->SetEventSink(alarmSink_.get());
      m_oDvrEventCtrl->Start();
    }
    if (!oSystemEventControl) {
      oSystemEventControl = Platform().factory.Create<ISystemEventControl>(kProgIdSystemEventControl);
      oSystemEventControl->set_sID(ID);
      std::string address = DVRIP;
      int32_t port = lPortEvent;
      oSystemEventControl->Connect(this, address, port);
    }
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, DvrEventCtrlConnect-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::NotifySessionEvent(int32_t code, const std::string& bstrURL) {
  UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
  r.EventCode = code;
  r.DataTime = Loop().clock().LocalNow().FormatYmd24();
  r.GlobalAddressID = m_sGlobalAddressID;
  r.DVRName = m_sDVRName;
  r.DVRAddress = bstrURL;
  r.Detail1.clear();
  r.Detail2.clear();
  r.Detail3.clear();
  r.Detail4.clear();
  IDVR_DVRSendEvent();
}

void clsDvrlink::m_oDvrEventCtrl_OnConnected(int32_t lSessionID, const std::string& bstrURL) {
  try {
    DateTime now = Loop().clock().LocalNow();
    WriteDebugLog("Dvrlink, m_oDvrEventCtrl_OnConnected() BEGIN" + std::string(", bstrURL=") + bstrURL +
                      ", m_IDSession=" + Str(m_IDSession) + ", lSessionID=" + Str(lSessionID) +
                      ", Now=" + now.FormatGeneral() + ", dtLastTimeConnected=" +
                      dtLastTimeConnected.FormatGeneral() + ";",
                  Level());
    m_oDvrEventCtrl->Acknowledge();
    if (DateTime::DiffSeconds(dtLastTimeConnected, now) > 2 && lSessionID == m_IDSession) {
      NotifySessionEvent(10322, bstrURL);
    }
    dtLastTimeConnected = now;
    blnDvrEventCtrlDisconnected = false;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, m_oDvrEventCtrl_OnConnected-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::m_oDvrEventCtrl_OnConnectError(int32_t lSessionID, const std::string& bstrURL,
                                                const std::string& bstrError) {
  try {
    if (lSessionID != m_IDSession) return;
    WriteDebugLogAlways("Dvrlink, m_oDvrEventCtrl_OnConnectError() ??? ERROR" + std::string(", bstrError=") +
                        bstrError + ", DVRName=" + m_sDVRName + ", bstrURL=" + bstrURL + ";");
    blnDvrEventCtrlConnectError = true;
    blnDvrEventCtrlDisconnected = true;
    NotifySessionEvent(10320, bstrURL);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, m_oDvrEventCtrl_OnConnectError-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::m_oDvrEventCtrl_OnDisconnected(int32_t lSessionID, const std::string& bstrURL) {
  try {
    if (lSessionID == m_IDSession) {
      blnDvrEventCtrlDisconnected = true;
      if (!blnDvrEventCtrlConnectError) {
        if (oSystemEventControl) oSystemEventControl->Disconnect();
        WriteDebugLogAlways("Dvrlink, m_oDvrEventCtrl_OnDisconnected() ###" + std::string(", DVRName=") +
                            m_sDVRName + ", bstrURL=" + bstrURL + ";");
        NotifySessionEvent(10321, bstrURL);
      }
    }
    blnDvrEventCtrlConnectError = false;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, m_oDvrEventCtrl_OnDisconnected-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::m_oDvrEventCtrl_OnUnexpectedEvent(int32_t lSessionID, const std::string& bstrURL,
                                                   const std::string& bstrXML) {
  WriteDebugLog("Dvrlink, m_oDvrEventCtrl_OnUnexpectedEvent() " + std::string(", m_IDSession=") + Str(m_IDSession) +
                    ", lSessionID=" + Str(lSessionID) + ", bstrURL=" + bstrURL + ", bstrXML=" + bstrXML + ";",
                Level());
}

void clsDvrlink::m_oDvrRemote_OnGetAlarmEvent(int32_t lSessionID, int32_t eReason, int32_t lData1,
                                              int32_t lData2) {
  WriteDebugLog("Dvrlink, m_oDvrRemote_OnGetAlarmEvent() lSessionID=" + Str(lSessionID) + ", eReason=" +
                    Str(eReason) + ", lData1=" + Str(lData1) + ", lData2=" + Str(lData2),
                Level());
}

void clsDvrlink::m_oDvrRemote_OnGetVideoEvent(int32_t lSessionID, int32_t eReason, int32_t lData1,
                                              int32_t lData2) {
  WriteDebugLog("Dvrlink, m_oDvrRemote_OnGetVideoEvent() lSessionID=" + Str(lSessionID) + ", eReason=" +
                    Str(eReason) + ", lData1=" + Str(lData1) + ", lData2=" + Str(lData2),
                Level());
}

void clsDvrlink::m_oDvrRemote_OnGetStatusEvent(int32_t lSessionID, int32_t eReason) {
  WriteDebugLog("Dvrlink, m_oDvrRemote_OnGetStatusEvent() lSessionID=" + Str(lSessionID) + ", eReason=" +
                    Str(eReason),
                Level());
}

void clsDvrlink::m_oDvrRemote_OnGetUnitInfoEvent(int32_t lSessionID, int32_t eReason) {
  WriteDebugLog("Dvrlink, m_oDvrRemote_OnGetUnitInfoEvent() lSessionID=" + Str(lSessionID) + ", eReason=" +
                    Str(eReason),
                Level());
}

}  // namespace dvrlink
