// Alerts: alarms the DVR raised itself, classified by their alarm-type word,
// reported to the host and recorded in the host database.
#include <string>

#include "alarms/alarm_text.h"
#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "database/db_gateway.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/mod_all_const.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

// Alarm-type words in the order they are compared (first match wins); an
// empty database text means the word itself. Three words arrive cut at 15
// characters and are listed so.
struct AlertKind {
  const char* word;
  int32_t alert_id;
  const char* database_text;
};
constexpr AlertKind kAlertKinds[] = {
    {"MOTION", 10309, "Motion Detection"},
    {"ALARMIN", 10312, ""},  // "AlarmIn" + camera number, below
    {"VIDEOLOSS", 10370, ""},
    {"OVERRIDE", 10325, "Gen. Alarm"},
    {"LIGHT", 10328, ""},
    {"PERIMETER", 10330, ""},
    {"ADVANCED", 10332, ""},
    {"TEXT", 10342, "Text Exception"},
    {"UNKNOWN", 10344, ""},
    {"MUSEUM", 10348, ""},
    {"NO REFERENCE FO", 10350, ""},
    {"VMD", 10352, ""},
    {"STATIC OBJECT", 10354, ""},
    {"PATH DETECTION", 10356, ""},
    {"PRESENCE", 10358, ""},
    {"OBJECT REMOVAL", 10360, ""},
    {"OBJECT STARTED", 10362, ""},
    {"DIRECTIONAL MOT", 10364, ""},
    {"LEARNING REFERE", 10366, ""},
    {"SPEED", 10368, ""},
    {"VIDEO LOSS", 10370, ""},
    {"NO ACTIVE MSF", 10372, ""},
    {"LOITERING", 10374, ""},
    {"TAILGATING DETECTION", 10376, ""},
    {"PEOPLE COUNTING", 10378, ""},
    {"CAR COUNTING", 10380, ""},
};
constexpr int32_t kUnlistedAlert = 10340;

struct Alert {
  int32_t id = kUnlistedAlert;
  std::string description;
  std::string database_text;
  bool unlisted = true;
};

Alert Classify(const std::string& word, int16_t camera, const std::string& camera_name) {
  // The input's number as the host counts it (16-bit), for alarm inputs only.
  const std::string n = word == "ALARMIN" ? Str(CheckedAdd16(camera, 1)) : std::string();
  Alert alert;
  alert.database_text = word;
  for (const AlertKind& kind : kAlertKinds) {
    if (word != kind.word) continue;
    alert.id = kind.alert_id;
    alert.unlisted = false;
    if (word == "ALARMIN") {
      alert.database_text = "AlarmIn" + n;
    } else if (*kind.database_text != '\0') {
      alert.database_text = kind.database_text;
    }
    break;
  }
  alert.description = word == "ALARMIN" ? "input " + n : "camera " + camera_name;
  return alert;
}

}  // namespace

bool clsDvrlink::GenerateAlert(int16_t Camera, const std::string& sStartTime, int16_t Duration,
                               const std::string& CameraName, const std::string& sAlarmType,
                               const std::string& sHostTime) {
  const std::string prefix = "Dvrlink, GenerateAlert(" + ID + ") ";
  try {
    LogDefault(prefix + "BEGIN" + ", m_CurrentEventID=" + Str(m_CurrentEventID) + ", Camera=" + Str(Camera) +
        ", Duration=" + Str(Duration) + ", CameraName=" + CameraName + ", sAlarmType=" + sAlarmType +
        ", sStartTime=" + sStartTime + ", sHostTime=" + sHostTime + ";");
    SetCurrentDVR();
    ModDvrlinkState& d = ModDvrlink();
    d.iDuration = Duration;
    d.iAlarmTimerTicks = Duration;
    if (Left(m_sGlobalAddressID, 1) == "$") m_sGlobalAddressID = Mid(m_sGlobalAddressID, 2);
    const Alert alert = Classify(sAlarmType, Camera, CameraName);
    LogDefault(prefix + ", m_blnGenerateAlarm=" + BoolText(m_blnGenerateAlarm) + ", lAlertID=" + Str(alert.id) + ";");
    if (m_blnGenerateAlarm) {
      m_blnGenerateAlarm = false;
    } else {
      UDTDVREventRecord& r = d.UDTDVREvent;
      r.EventCode = alert.id;
      r.DataTime = MdyToYmd(sStartTime);
      r.GlobalAddressID = CameraGlobalAddressID;
      r.DVRName = m_sDVRName;
      r.DVRAddress = DVRIP;
      r.Detail1 = alert.description;
      r.Detail2 = Str(d.iDuration);
      r.Detail3 = alert.unlisted ? sAlarmType : std::string();
      r.Detail4 = r.Detail3;
      LogDefault(prefix + "Generate Trigger Alert" + ", lAlertID=" + Str(alert.id) + ", UDTDVREvent.DataTime=" +
          r.DataTime + ", sStartTime=" + sStartTime + ", sHostTime=" + sHostTime + ";");
      IDVR_DVRSendEvent();
    }
    LogDefault(prefix + ", ID_DVR_Config=" + Str(ID_DVR_Config) + ", CameraName=" + CameraName + ", sStartTime=" +
        sStartTime + ", Duration=" + Str(Duration) + ", lAlertID=" + Str(alert.id) + ", sAlarmType=" + sAlarmType +
        ", sAlarmType2=" + alert.database_text + ";");
    const std::string sStart = DateTimeUSFormat(sStartTime);
    const std::string sEnd = DateTimeUSFormat(CDate(sStartTime).AddSeconds(Duration).FormatGeneral());
    DBspCommandOutput("usp_DVR_Alarms_Insert", 1,
                      {{"@ID_DVR_Config", Str(ID_DVR_Config)},
                       {"@CameraName", Str(Camera)},
                       {"@StartTime", sStart},
                       {"@EndTime", sEnd},
                       {"@Frames", "0"},
                       {"@AlarmType", alert.database_text}});
    if (ModAllConst2().lErrorCode != 0) {
      LogDefault("Dvrlink, GenerateAlert() ??? Database access error 8");
      return false;
    }
    SetCurrentEventID(alert.id);
    LogDefault(prefix + "*** DONE" + ", Camera=" + Str(Camera) + ", Duration=" + Str(Duration) + ", CameraName=" +
        CameraName + ", sAlarmType=" + sAlarmType + ", lAlertID=" + Str(alert.id) +
        ", CameraGlobalAddressID=" + CameraGlobalAddressID + ";");
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, GenerateAlert-" + ID, e.Description(), e.Line());
    return false;
  }
}

}  // namespace dvrlink
