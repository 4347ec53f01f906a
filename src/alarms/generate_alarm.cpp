// Host-raised alarms: the DVR raises the alarm, the DVR's alarm begin gives
// its start time, the host hears of it and its confirmation is queued.
#include <string>

#include "alarms/alarm_text.h"
#include "component/clsDvrlink.h"
#include "component/dvr_sinks.h"
#include "component/module_state.h"
#include "database/db_gateway.h"
#include "mainform/frmMainTemplate.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/mod_all_const.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"
#include "timezone/mod_time_zone.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

}  // namespace

bool clsDvrlink::GenerateAlarm(int16_t Camera, int16_t Duration, const std::string& CameraName,
                               const std::string& sUserName, const std::string& sWorkstationName,
                               const std::string& sDVR_AlarmVideoID, const std::string& sDVR_AlarmVideo2ID) {
  const std::string prefix = "Dvrlink, GenerateAlarm(" + ID + ") ";
  try {
    LogDefault(prefix + "BEGIN" + ", Camera=" + Str(Camera) + ", Duration=" + Str(Duration) +
               ", CameraName=" + CameraName +
        ", sUserName=" + sUserName + ", sWorkstationName=" + sWorkstationName +
        ", sDVR_AlarmVideoID=" + sDVR_AlarmVideoID + ", sDVR_AlarmVideo2ID=" + sDVR_AlarmVideo2ID + ";");
    SetCurrentDVR();
    ModDvrlinkState& d = ModDvrlink();
    m_AlarmCamera = Camera;
    d.iDuration = Duration;
    if (!m_oDvrRemote) {
      m_oDvrRemote = Platform().factory.Create<IDvrRemote>(kProgIdDvrRemote);
      m_oDvrRemote->SetEventSink(remoteSink_.get());
      if (Camera < 0 || static_cast<size_t>(Camera) >= sIP.size()) DVR_RAISE(kErrSubscript);
      const size_t c = static_cast<size_t>(Camera);
      LogDefault(prefix + "Connect, sIP(" + Str(Camera) + ")=" + sIP[c] + ", iPortUnit(" + Str(Camera) +
          ")=" + Str(iPortUnit[c]));
      m_lSessionRemote = DvrRemoteConnect(sIP[c], iPortUnit[c], "");
    }
    if (m_lSessionRemote < 1) {
      WriteDebugLogAlways(prefix + "ERROR, Can't m_oDvrRemote.Connect");
      return false;
    }
    m_blnGenerateAlarm = false;
    d.iAlarmTimerTicks = d.iDuration;
    MainForm().TimerGenerateAlarm.SetEnabled(true);
    Ref<IDvrRemote> remote = m_oDvrRemote;  // alive through the waits below
    std::string version = remote->Version();
    LogDefault(prefix + ", Call m_oDvrRemote.GenerateAlarm" + ", DvrAPIVersion=" + version +
        ", m_lSessionRemote=" + Str(m_lSessionRemote) + ", iCamera=" + Str(Camera) + ", iDuration=" +
        Str(d.iDuration) + ", m_StartTime=" + m_StartTime + ";");
    remote->GenerateAlarm(m_lSessionRemote, Camera, d.iDuration);
    Delay(100);
    LogDefault(prefix + ", After Call m_oDvrRemote.GenerateAlarm()" + ", m_StartTime=" + m_StartTime + ";");
    if (Left(m_sGlobalAddressID, 1) == "$") m_sGlobalAddressID = Mid(m_sGlobalAddressID, 2);
    const int32_t lEventID = sUserName.empty() ? 10318 : 10317;
    for (int iWait = 5; m_StartTime.empty() && iWait > 0;) {
      --iWait;
      Delay(1000);
      LogDefault(prefix + ", iWait_Alarm=" + Str(iWait) + ";");
    }
    DateTime dtStartDateTime = CDate(m_StartTime);
    DateTime hostTime = dtStartDateTime;
    FindAlarmTimeZone("Dvrlink, GenerateAlarm(" + ID, dtStartDateTime);
    ConvertToLocalTimeZone(hostTime);
    std::string sHostTime = hostTime.FormatGeneral();
    auto camera_address = [&] {
      return Left(m_sGlobalAddressID, 14) + PadLeading(Str(CheckedAdd16(Camera, 1)), 3, "0");
    };
    std::string sCameraAddress = camera_address();
    LogDefault(prefix + ", m_StartTime=" + m_StartTime + ", dtStartDateTime=" + dtStartDateTime.FormatGeneral() +
        ", sHostTime=" + sHostTime + ";");
    UDTDVREventRecord& r = d.UDTDVREvent;
    r.EventCode = lEventID;
    r.DataTime = MdyToYmd(m_StartTime);
    r.GlobalAddressID = sCameraAddress;
    r.DVRName = m_sDVRName;
    r.DVRAddress = DVRIP;
    r.Detail1 = CameraName;
    r.Detail2 = Str(d.iDuration);
    r.Detail3 = sUserName;
    r.Detail4 = sWorkstationName;
    LogDefault(prefix + ", UDTDVREvent.DataTime=" + r.DataTime + ", m_StartTime=" + m_StartTime + ", sHostTime=" +
        sHostTime + ", sCameraAddress=" + sCameraAddress + ", lEventID=" + Str(lEventID) + ";");
    IDVR_DVRSendEvent();
    MainForm().QueueUDTAlarmGenerated(r.DataTime, sDVR_AlarmVideo2ID);
    if (IsNumeric(sDVR_AlarmVideoID)) {
      sCameraAddress = camera_address();
      std::string sFormatted = DateTimeUSFormat(dtStartDateTime.FormatGeneral());
      LogDefault(prefix.substr(0, prefix.size() - 1) + " Update 3" + ", sDVR_AlarmVideoID=" + sDVR_AlarmVideoID +
          ", UDTDVREvent.DataTime=" + sFormatted + ", sDVR_AlarmVideo2ID=" + sDVR_AlarmVideo2ID +
          ", ID_DVR_Config=" + Str(ID_DVR_Config) + ", GlobalAddressID=" + m_sGlobalAddressID +
          ", EventID=" + Str(lEventID) + ", sCameraAddress=" + sCameraAddress);
      DBspCommandOutput("usp_DVR_AlarmVideo_Update", 3, {{"@ID", sDVR_AlarmVideoID}, {"@AlarmDateTime", sFormatted}});
      if (ModAllConst2().lErrorCode != 0) {
        LogDefault(prefix + "??? Database access error 4");
        return false;
      }
      MainForm().TimerSyncData.SetEnabled(true);
    }
    SetCurrentEventID(lEventID);
    m_blnGenerateAlarm = true;
    LogDefault(prefix + "*** DONE" + ", lEventID=" + Str(lEventID) + ", m_blnGenerateAlarm=" + "True" +
        ", Camera=" + Str(Camera) + ", Duration=" + Str(Duration) + ", CameraName=" + CameraName + ";");
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, GenerateAlarm-" + ID, e.Description(), e.Line());
    return false;
  }
}

}  // namespace dvrlink
