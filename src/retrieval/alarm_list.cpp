// Alarm lists: the grant of a queued request (notice 46) and the progress of
// an alarm-list retrieval reported by the DVR (notice 35).
#include <string>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

}  // namespace

bool clsDvrlink::GetAlarmList(int16_t iIndex, int16_t Client, const std::string& Camera,
                              const std::string& BeginTime, const std::string& EndTime,
                              const std::string& Filename) {
  try {
    SetCurrentDVR();
    WriteDebugLog("Dvrlink, GetAlarmList(" + ID + ")" + " iIndex=" + Str(iIndex) + ", Client=" + Str(Client) +
                      ", Camera=" + Camera + ", BeginTime=" + BeginTime + ", EndTime=" + EndTime,
                  9);
    ShowMessage("GetAlarmList(" + ID + ") iIndex=" + Str(iIndex));
    ModDvrlink().blnAlarmListIdle = false;
    MainForm().blnVideoRequestGranted = false;
    m_iGetAlarmListClient = Client;
    const std::string& sep = ModAllConst().sTokenSeparator;
    oSocket->CommandDone(Client, "46" + sep + Camera + sep + BeginTime + sep + EndTime + sep + Filename);
    ShowMessage("GetAlarmList(" + ID + ") Camera=" + Camera + ", EndTime=" + EndTime);
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, GetAlarmList-" + ID, e.Description(), e.Line());
    return false;
  }
}

void clsDvrlink::m_oDvrGetAlarmList_OnGetAlarmEvent(int32_t lSessionID, int32_t eReason, int32_t lData1,
                                                    int32_t lData2) {
  try {
    SetCurrentDVR();
    std::string line = "m_oDvrGetAlarmList_OnGetAlarmEvent(" + ID + ") lSessionID=" + Str(lSessionID) +
                       ", eReason=" + Str(eReason) + ", lData1=" + Str(lData1) + ", lData2=" + Str(lData2);
    WriteDebugLog("Dvrlink, " + line, 2);
    ShowMessage(line);
    if (lSessionID != m_lSessionGetAlarmList) return;
    ++m_lGetAlarmListEvents;
    const std::string& sep = ModAllConst().sTokenSeparator;
    oSocket->GetAlarmListProgress(m_iGetAlarmListClient, "35" + sep + Str(eReason) + sep + Str(lData1) + sep +
                                                             Str(lData2) + sep + Str(m_lGetAlarmListEvents));
    WriteDebugLog("Dvrlink, m_oDvrGetAlarmList_OnGetAlarmEvent(" + ID + ") eReason=" + Str(eReason) +
                      ", eAlarmProgress=" + "1",
                  2);
    if (eReason != 1) {
      ModDvrlink().blnAlarmListIdle = true;
      WriteDebugLog("Dvrlink, m_oDvrGetAlarmList_OnGetAlarmEvent(" + ID + ") Close Connection", 2);
    }
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, m_oDvrGetAlarmList_OnGetAlarmEvent-" + ID, e.Description(), e.Line());
  }
}

}  // namespace dvrlink
