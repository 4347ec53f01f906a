// The DVR's alarm events: begin and end (video loss reported to the host),
// the XML form (logged) and the position event, which makes DVR alarms host
// alerts when external triggering is on.
#include <string>

#include "alarms/alarm_text.h"
#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "database/db_gateway.h"
#include "mainform/frmMainTemplate.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"
#include "timezone/mod_time_zone.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

bool IsVideoLoss(const std::string& type) { return !type.empty() && UCase(type) == "VIDEOLOSS"; }

// The camera's begin-time slot; raises 9 outside cameras 0..15.
std::string& StartTimeSlot(std::array<std::string, 16>& table, int16_t camera) {
  if (camera < 0 || camera >= static_cast<int16_t>(table.size())) DVR_RAISE(kErrSubscript);
  return table[static_cast<size_t>(camera)];
}

// The value of one element of the DVR's alarm XML: the text between the ">"
// that follows the opening text and the closing text; empty when any of the
// three is missing.
std::string XmlValue(const std::string& xml, const std::string& opening, const std::string& closing) {
  size_t open = xml.find(opening);
  if (open == std::string::npos) return "";
  size_t gt = xml.find('>', open);
  if (gt == std::string::npos) return "";
  size_t close = xml.find(closing, gt);
  if (close == std::string::npos) return "";
  return xml.substr(gt + 1, close - gt - 1);
}

}  // namespace

bool clsDvrlink::LookUpAlarmCamera(const std::string& prefix, const std::string& bstrURL,
                                   int16_t nCamera, std::string& sCameraName, std::string& sCameraGlobalAddressID) {
  int32_t& lErrorCode = ModAllConst2().lErrorCode;
  std::string config_id;
  {
    Ref<Recordset> rs = DBspCommandOutput("usp_DVR_Config_Select", 15, {{"@IP", bstrURL}});
    if (lErrorCode != 0) {
      LogDefault(prefix + ") ??? Database access error " + "1");
      return false;
    }
    if (!rs || rs->State() != adStateOpen) return false;
    m_sGlobalAddressID = rs->Text("GlobalAddressID");
    config_id = rs->Text("ID");
    rs->Close();
  }
  Ref<Recordset> rs =
      DBspCommandOutput("usp_DVR_Cameras_Select", 2, {{"@ID_DVR_Config", config_id}, {"@CameraIndex", Str(nCamera)}});
  if (lErrorCode != 0) {
    LogDefault(prefix + ") ??? Database access error " + "2");
    return false;
  }
  if (!rs || rs->State() != adStateOpen) return false;
  sCameraName = rs->Text("CameraName");
  sCameraGlobalAddressID = rs->Text("GlobalAddressID");
  rs->Close();
  return true;
}

void clsDvrlink::FindAlarmTimeZone(const std::string& prefix, DateTime dtStartDateTime) {
  ModTimeZoneState& tz = ModTimeZone();
  const std::string& zone = MainForm().TimeZone;
  tz.indexToTimeZone = FindDVRTimeZoneIndex(zone);
  LogDefault(prefix + ") " + ", dtStartDateTime=" + dtStartDateTime.FormatGeneral() + ", indexToTimeZone=" +
      Str(tz.indexToTimeZone) + ", oFrmMainTemplate(" + Str(m_DVRCurrent) + ").TimeZone=" + zone +
      ", indexLocalMachineTimeZone=" + Str(tz.indexLocalMachineTimeZone) + ";");
}

void clsDvrlink::m_oDvrAlmEvtCtrl_OnAlarmBegin2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                                                const std::string& bstrTime, const std::string& bstrAlarmType) {
  try {
    if (lSessionID != m_IDSession) return;
    const std::string prefix = "Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmBegin2(" + ID;
    LogDefault(prefix + ") " + ", bstrURL=" + bstrURL + ", nCamera=" + Str(nCamera) + ", bstrTime=" + bstrTime +
        ", m_blnGenerateAlarm=" + BoolText(m_blnGenerateAlarm) + ", bstrAlarmType=" + bstrAlarmType + ";");
    std::string sStartTime = DvrTimeToMdy(bstrTime);
    m_StartTime = sStartTime;
    if (!IsVideoLoss(bstrAlarmType)) return;
    LogDefault(prefix + ") VideoLoss" + ", bstrURL=" + bstrURL + ", nCamera=" + Str(nCamera) +
               ", bstrTime=" + bstrTime +
        ";");
    std::string sCameraName, sCameraGlobalAddressID;
    if (!LookUpAlarmCamera(prefix, bstrURL, nCamera, sCameraName, sCameraGlobalAddressID)) return;
    std::string& slot = StartTimeSlot(sStartTimes, nCamera);
    slot = sStartTime;
    LogDefault(prefix + ") " + ", sStartTimes(" + Str(nCamera) + ")=" + slot + ", sStartTime=" + sStartTime +
        ", sCameraName=" + sCameraName + ";");
    DateTime dtStartDateTime = CDate(sStartTime);
    FindAlarmTimeZone(prefix, dtStartDateTime);
    ConvertToLocalTimeZone(dtStartDateTime);
    std::string sHostTime = dtStartDateTime.FormatYmd12();
    UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
    r.EventCode = 10323;
    r.DataTime = sHostTime;
    r.GlobalAddressID = sCameraGlobalAddressID;
    r.DVRName = m_sDVRName;
    r.DVRAddress = bstrURL;
    r.Detail1 = sCameraName;
    r.Detail2.clear();
    r.Detail3.clear();
    r.Detail4.clear();
    IDVR_DVRSendEvent();
    LogDefault(prefix + ") " + ", UDTDVREvent.DataTime=" + r.DataTime + ", sStartTime=" + sStartTime + ", sHostTime=" +
        sHostTime + ", nCamera=" + Str(nCamera) + ", sStartTimes(" + Str(nCamera) + ")=" + slot +
        ", CameraGlobalAddressID=" + sCameraGlobalAddressID + ";");
  } catch (const RuntimeError& e) {
    LogError("m_oDvrAlmEvtCtrl_OnAlarmBegin2-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::m_oDvrAlmEvtCtrl_OnAlarmEnd2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                                              const std::string& bstrTime, const std::string& bstrAlarmType) {
  try {
    if (lSessionID != m_IDSession) return;
    const std::string prefix = "Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmEnd2(" + ID;
    LogDefault(prefix + ") " + ", bstrURL=" + bstrURL + ", nCamera=" + Str(nCamera) + ", bstrTime=" + bstrTime +
        ", m_blnGenerateAlarm=" + BoolText(m_blnGenerateAlarm) + ", bstrAlarmType=" + bstrAlarmType + ";");
    if (!IsVideoLoss(bstrAlarmType)) return;
    LogDefault(prefix + ") VideoLoss" + ", bstrURL=" + bstrURL + ", nCamera=" + Str(nCamera) +
               ", bstrTime=" + bstrTime +
        ";");
    std::string sCameraName, sCameraGlobalAddressID;
    if (!LookUpAlarmCamera(prefix, bstrURL, nCamera, sCameraName, sCameraGlobalAddressID)) return;
    std::string sEndTime = DvrTimeToMdy(bstrTime);
    const std::string& begin = StartTimeSlot(sStartTimes, nCamera);
    LogDefault(prefix + ") " + ", sStartTimes(" + Str(nCamera) + ")=" + begin + ", sEndTime=" + sEndTime + ";");
    int32_t lDuration = 0;
    if (!begin.empty()) {
      int64_t seconds = DateTime::DiffSeconds(CDate(begin), CDate(sEndTime));
      if (seconds > INT32_MAX || seconds < INT32_MIN) DVR_RAISE(kErrOverflow);
      lDuration = static_cast<int32_t>(seconds);
    }
    LogDefault(prefix + ") " + ", sEndTime=" + sEndTime + ", sCameraName=" + sCameraName +
               ", lDuration=" + Str(lDuration) +
        ";");
    DateTime dtStartDateTime = CDate(sEndTime);
    FindAlarmTimeZone(prefix, dtStartDateTime);
    ConvertToLocalTimeZone(dtStartDateTime);
    std::string sHostTime = dtStartDateTime.FormatGeneral();
    LogDefault(prefix + ") " + ", sEndTime=" + sEndTime + ", sHostTime=" + sHostTime + ", nCamera=" + Str(nCamera) +
        ", GlobalAddressID=" + m_sGlobalAddressID + ";");
  } catch (const RuntimeError& e) {
    LogError("m_oDvrAlmEvtCtrl_OnAlarmEnd2-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::m_oDvrAlmEvtCtrl_OnAlarmXml(int32_t lSessionID, const std::string& bstrURL,
                                             const std::string& bstrXML) {
  try {
    LogDefault("Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmXml() BEGIN" + std::string(", lSessionID=") + Str(lSessionID) +
        ", m_IDSession=" + Str(m_IDSession) + ", bstrURL=" + bstrURL + ", bstrXML=" + bstrXML + ";");
    if (lSessionID != m_IDSession) return;
    std::string sCamera = XmlValue(bstrXML, "<Camera>", "</Camera>");
    std::string sState = XmlValue(bstrXML, "<State>", "</State>");
    std::string sPreAlarmTime = XmlValue(bstrXML, "<PreAlarmTime Ver = ", "</PreAlarmTime>");
    std::string sStartTime = XmlValue(bstrXML, "<StartTime Ver = ", "</StartTime>");
    std::string sEndTime = XmlValue(bstrXML, "<EndTime Ver = ", "</EndTime>");
    std::string sAlarmType = XmlValue(bstrXML, "<Type>", "</Type>");
    std::string sOverrideIndex = XmlValue(bstrXML, "<OverrideIndex>", "</OverrideIndex>");
    std::string sOverrideText = XmlValue(bstrXML, "<OverrideText>", "</OverrideText>");
    std::string sAlarmID = XmlValue(bstrXML, "<AlarmID>", "</AlarmID>");
    if (sState == "End") {
      sEndTime = sStartTime;
      sStartTime.clear();
    }
    LogDefault("Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmXml() " + std::string(", sCamera=") + sCamera + ", sState=" + sState +
        ", sPreAlarmTime=" + sPreAlarmTime + ", sStartTime=" + sStartTime + ", sEndTime=" + sEndTime +
        ", sAlarmType=" + sAlarmType + ", sOverrideIndex=" + sOverrideIndex + ", sOverrideText=" + sOverrideText +
        ", sAlarmID=" + sAlarmID + ";");
  } catch (const RuntimeError& e) {
    LogError("m_oDvrAlmEvtCtrl_OnAlarmXml-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::m_oDvrAlmEvtCtrl_OnAlarmPosInfo2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                                                  const std::string& bstrPreAlarmTime,
                                                  const std::string& bstrStartTime, const std::string& bstrEndTime,
                                                  int32_t lPreAlarmPos, int32_t lStartPos, int32_t lEndPos,
                                                  const std::string& bstrAlarmType, int16_t nOverrideIndex,
                                                  const std::string& bstrOverrideText) {
  try {
    if (lSessionID != m_IDSession) return;
    const std::string prefix = "Dvrlink, m_oDvrAlmEvtCtrl_OnAlarmPosInfo2(" + ID;
    const AlarmPosition event{lSessionID,    bstrURL,   nCamera, bstrPreAlarmTime, bstrStartTime,
                              bstrEndTime,   lPreAlarmPos, lStartPos, lEndPos,    bstrAlarmType};
    if (blnTriggerExternalEnabled) {
      const AlarmPosition& last = lastPosition_;
      LogDefault(prefix + ") " + ", lSessionID_Last=" + Str(last.lSessionID) + ", lSessionID=" + Str(lSessionID) +
          ", bstrURL_Last=" + last.bstrURL + ", bstrURL=" + bstrURL + ", nCamera_Last=" + Str(last.nCamera) +
          ", nCamera=" + Str(nCamera) + ", bstrPreAlarmTime_Last=" + last.bstrPreAlarmTime +
          ", bstrPreAlarmTime=" + bstrPreAlarmTime + ", bstrStartTime_Last=" + last.bstrStartTime +
          ", bstrStartTime=" + bstrStartTime + ", bstrEndTime_Last=" + last.bstrEndTime +
          ", bstrEndTime=" + bstrEndTime + ", lPreAlarmPos_Last=" + Str(last.lPreAlarmPos) +
          ", lPreAlarmPos=" + Str(lPreAlarmPos) + ", lStartPos_Last=" + Str(last.lStartPos) +
          ", lStartPos=" + Str(lStartPos) + ", lEndPos_Last=" + Str(last.lEndPos) + ", lEndPos=" + Str(lEndPos) +
          ", bstrAlarmType_Last=" + last.bstrAlarmType + ", bstrAlarmType=" + bstrAlarmType + ";");
      if (event == last) {
        LogDefault(prefix + ") OFF, m_IDSession=" + Str(m_IDSession) + ", lSessionID=" + Str(lSessionID) +
            ", blnTriggerExternalEnabled=" + BoolText(blnTriggerExternalEnabled));
      } else {
        LogDefault(prefix + ") GOT" + ", m_blnGenerateAlarm=" + BoolText(m_blnGenerateAlarm) +
            ", m_CurrentEventID=" + Str(m_CurrentEventID) + ", bstrAlarmType=" + bstrAlarmType +
            ", nCamera=" + Str(nCamera) + ", bstrURL=" + bstrURL + ", bstrStartTime=" + bstrStartTime +
            ", bstrEndTime=" + bstrEndTime + ", DVRIP=" + DVRIP + ", bstrPreAlarmTime=" + bstrPreAlarmTime + ";");
        if (bstrURL == DVRIP && !m_blnGenerateAlarm && !bstrAlarmType.empty()) {
          std::string sCameraName;
          if (!LookUpAlarmCamera(prefix, bstrURL, nCamera, sCameraName, CameraGlobalAddressID)) return;
          std::string sStartTime = DvrTimeToMdy(bstrStartTime);
          std::string sEndTime = DvrTimeToMdy(bstrEndTime);
          int64_t seconds = DateTime::DiffSeconds(CDate(sStartTime), CDate(sEndTime));
          if (seconds > INT16_MAX || seconds < INT16_MIN) DVR_RAISE(kErrOverflow);
          DateTime dtStartDateTime = CDate(sStartTime);
          FindAlarmTimeZone(prefix, dtStartDateTime);
          ConvertToLocalTimeZone(dtStartDateTime);
          std::string sHostTime = dtStartDateTime.FormatGeneral();
          std::string sAlarmType2 = bstrAlarmType;
          if (nOverrideIndex >= 10 && !bstrOverrideText.empty()) sAlarmType2 = bstrOverrideText;
          LogDefault(prefix + ") " + ", sStartTime=" + sStartTime + ", sHostTime=" + sHostTime +
              ", sAlarmType2=" + sAlarmType2 + ";");
          GenerateAlert(nCamera, sStartTime, static_cast<int16_t>(seconds), sCameraName, UCase(sAlarmType2),
                        sHostTime);
        }
      }
    }
    lastPosition_ = event;
    if (m_AlarmCamera == nCamera && (m_CurrentEventID == 10317 || m_CurrentEventID == 10318)) {
      m_blnGenerateAlarm = false;
    }
    LogDefault(prefix + ") Current DONE" + ", m_CurrentEventID=" + Str(m_CurrentEventID) +
        ", m_AlarmCamera=" + Str(m_AlarmCamera) + ", nCamera=" + Str(nCamera) +
        ", m_blnGenerateAlarm=" + BoolText(m_blnGenerateAlarm) + ", lSessionID=" + Str(lSessionID) + ";");
  } catch (const RuntimeError& e) {
    LogError("m_oDvrAlmEvtCtrl_OnAlarmPosInfo2-" + ID, e.Description(), e.Line());
  }
}

}  // namespace dvrlink
