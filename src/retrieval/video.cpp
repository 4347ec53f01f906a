// Recorded video: the grant of a queued request, the start of the retrieval
// on the DVR's video session, its progress notices, and CancelRetrieval.
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

template <class T>
const T& Entry(const std::vector<T>& table, int16_t index) {
  if (index < 0 || static_cast<size_t>(index) >= table.size()) DVR_RAISE(kErrSubscript);
  return table[static_cast<size_t>(index)];
}

}  // namespace

bool clsDvrlink::GetVideoRecorded(int16_t iIndex, int16_t Client, int16_t Camera, const std::string& BeginTime,
                                  const std::string& EndTime, const std::string& Filename) {
  try {
    SetCurrentDVR();
    WriteDebugLog("Dvrlink, GetVideoRecorded(" + ID + ") GRANT Permission," + " iIndex=" + Str(iIndex) +
                      ", Client=" + Str(Client) + ", Camera=" + Str(Camera) + ", BeginTime=" + BeginTime +
                      ", EndTime=" + EndTime,
                  9);
    ShowMessage("GetVideoRecorded(" + ID + ") iIndex=" + Str(iIndex));
    frmMainTemplate& form = MainForm();
    form.blnVideoRequestGranted = false;
    form.blnRetrieveVideo = false;
    const std::string& sep = ModAllConst().sTokenSeparator;
    oSocket->CommandDone(Client, "45" + sep + Str(Camera) + sep + BeginTime + sep + EndTime + sep + Filename);
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, GetVideoRecorded-" + ID, e.Description(), e.Line());
    return false;
  }
}

bool clsDvrlink::GetVideoRecorded2(int16_t iIndex, int16_t Client, int16_t Camera, const std::string& BeginTime,
                                   const std::string& EndTime, const std::string& Filename) {
  try {
    SetCurrentDVR();
    ShowMessage("GetVideoRecorded(" + ID + ") iIndex=" + Str(iIndex));
    MainForm().blnRetrieveVideo = false;
    if (!m_oDvrGetVideo) {
      m_oDvrGetVideo = Platform().factory.Create<IDvrRemote>(kProgIdDvrRemote);
      m_oDvrGetVideo->SetEventSink(getVideoSink_.get());
      int32_t session = 0;
      m_oDvrGetVideo->Connect(Entry(sIP, Camera), Entry(iPortUnit, Camera), "", session);
      m_lSessionGetVideo = session;
    }
    if (m_lSessionGetVideo < 1) {
      ReleaseRemote(m_oDvrGetVideo);
      return false;
    }
    m_lGetVideoEvents = 0;
    m_iGetVideoClient = Client;
    m_iGetVideoCamera = Camera;
    m_oDvrGetVideo->GetVideo(m_lSessionGetVideo, Camera, CDate(BeginTime), CDate(EndTime), Filename);
    if (ModAllConst().blnClosing) return false;
    oSocket->CurrentVideoFile(m_iGetVideoClient, "42" + ModAllConst().sTokenSeparator + Filename);
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, GetVideoRecorded-" + ID, e.Description(), e.Line());
    return false;
  }
}

void clsDvrlink::m_oDvrGetVideo_OnGetVideoEvent(int32_t lSessionID, int32_t eReason, int32_t lData1,
                                                int32_t lData2) {
  try {
    SetCurrentDVR();
    ShowMessage("m_oDvrGetVideo_OnGetVideoEvent(" + ID + ") lSessionID=" + Str(lSessionID) + ", eReason=" +
                Str(eReason) + ", lData1=" + Str(lData1) + ", lData2=" + Str(lData2));
    if (lSessionID != m_lSessionGetVideo) return;
    ++m_lGetVideoEvents;
    const std::string& sep = ModAllConst().sTokenSeparator;
    oSocket->GetVideoProgress(m_iGetVideoClient, "33" + sep + Str(eReason) + sep + Str(lData1) + sep + Str(lData2) +
                                                     sep + Str(m_iGetVideoCamera) + sep + Str(m_lGetVideoEvents));
    if (eReason != 1) {
      MainForm().blnRetrieveVideo = true;
      WriteDebugLog("Dvrlink, m_oDvrGetVideo_OnGetVideoEvent(" + ID + ") Close Connection", 2);
    }
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, m_oDvrGetVideo_OnGetVideoEvent-" + ID, e.Description(), e.Line());
  }
}

bool clsDvrlink::CancelRetrieval(int16_t iVideoRequestClient) {
  try {
    const int16_t level = ModAllConst().iLogLevelDefault;
    WriteDebugLog("Dvrlink, CancelRetrieval(" + ID + ")" + " m_lSessionGetVideo=" + Str(m_lSessionGetVideo) +
                      " m_lSessionGetAlarmList=" + Str(m_lSessionGetAlarmList) +
                      ", iVideoRequestClient=" + Str(iVideoRequestClient),
                  level);
    SetCurrentDVR();
    // Both 1 and 2 address the alarm-list session; nothing else has one.
    bool alarm_list = iVideoRequestClient == 1 || iVideoRequestClient == 2;
    const Ref<IDvrRemote>& remote = alarm_list ? m_oDvrGetAlarmList : Ref<IDvrRemote>();
    int32_t lSessionRemote = alarm_list ? m_lSessionGetAlarmList : 0;
    WriteDebugLog("Dvrlink, CancelRetrieval(" + ID + ") lSessionRemote=" + Str(lSessionRemote) +
                      ", (oDvrRemote Is Nothing)=" + BoolText(!remote),
                  level);
    if (remote && lSessionRemote > 0) {
      WriteDebugLog("Dvrlink, CancelRetrieval(" + ID + ") oDvrRemote.CancelRetrieval, lSessionRemote=" +
                        Str(lSessionRemote),
                    level);
    }
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, CancelRetrieval-" + ID, e.Description(), e.Line());
    return false;
  }
}

}  // namespace dvrlink
