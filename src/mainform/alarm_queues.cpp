// The host-raised alarm side of the main form: the generate-alarm queue
// worked one request per tick, the alarm-duration countdown that marks it
// ready again when an alarm has run its time, and the confirmation of
// generated alarms against the host's active alarms.
#include <stdexcept>
#include <string>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "database/db_gateway.h"
#include "mainform/frmMainTemplate.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

int16_t NextSlot(int16_t index, int16_t bound) { return index + 1 > bound ? 0 : static_cast<int16_t>(index + 1); }

}  // namespace

void frmMainTemplate::TimerGenerateAlarmQueue_Timer() {
  try {
    TimerGenerateAlarmQueue.SetEnabled(false);
    ModDvrlinkState& d = ModDvrlink();
    if (d.blnGenerateAlarmQueueReady && GenerateAlarmQueue.at(static_cast<size_t>(iGenerateAlarmQueueNext)).iClient != 0) {
      const int16_t index = iGenerateAlarmQueueNext;
      UDTGenerateAlarm request = GenerateAlarmQueue[static_cast<size_t>(index)];
      WriteDebugLog("Dvrlink, frmMainTemplate, TimerGenerateAlarmQueue_Timer(" + ID + ") " +
                        ", Execute Alarm List(" + Str(index) + "), Duration=" + Str(request.iDuration) +
                        ", CameraName=" + request.sCameraName + ";",
                    8);
      Ref<clsDvrlink> instance = oDvrlink;
      instance->GenerateAlarm(request.iCamera, request.iDuration, request.sCameraName, request.sUserName,
                              request.sWorkstationName, request.sDVR_AlarmVideoID, request.sDVR_AlarmVideo2ID);
      // The index is read again: a reset during the call may have moved it.
      GenerateAlarmQueue.at(static_cast<size_t>(iGenerateAlarmQueueNext)).iClient = 0;
      iGenerateAlarmQueueNext = NextSlot(iGenerateAlarmQueueNext, iGenerateAlarmQueueSize);
    }
    if (!ModAllConst().blnClosing) TimerGenerateAlarmQueue.SetEnabled(true);
  } catch (const std::out_of_range&) {
    LogError("Dvrlink, frmMainTemplate, TimerGenerateAlarmQueue_Timer", StandardDescription(kErrSubscript), __LINE__);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, TimerGenerateAlarmQueue_Timer", e.Description(), e.Line());
  }
}

void frmMainTemplate::TimerGenerateAlarm_Timer() {
  try {
    TimerGenerateAlarm.SetEnabled(false);
    ModDvrlinkState& d = ModDvrlink();
    d.iAlarmTimerTicks = CheckedAdd16(d.iAlarmTimerTicks, -1);
    if (d.iAlarmTimerTicks >= 1) {
      TimerGenerateAlarm.SetEnabled(true);
    } else {
      d.blnGenerateAlarmQueueReady = true;
    }
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, TimerGenerateAlarm_Timer", e.Description(), e.Line());
  }
}

void frmMainTemplate::QueueUDTAlarmGenerated(const std::string& localAlarmDateTime,
                                             const std::string& localDVR_AlarmVideo2ID) {
  try {
    if (iAlarmGeneratedIndex > kGeneratedAlarmBound) iAlarmGeneratedIndex = 0;
    UDTAlarmGenerated& slot = AlarmGeneratedList.at(static_cast<size_t>(iAlarmGeneratedIndex));
    slot.sAlarmDateTime = localAlarmDateTime;
    slot.sDVR_AlarmVideo2ID = localDVR_AlarmVideo2ID;
    ++iAlarmGeneratedIndex;
  } catch (const std::out_of_range&) {
    LogError("Dvrlink, frmMainTemplate, QueueUDTAlarmGenerated-", StandardDescription(kErrSubscript), __LINE__);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, QueueUDTAlarmGenerated-", e.Description(), e.Line());
  }
}

void frmMainTemplate::TimerSyncData_Timer() {
  const std::string prefix = "Dvrlink, frmMainTemplate, TimerSyncData_Timer(" + ID + ")";
  try {
    TimerSyncData.SetEnabled(false);
    UDTAlarmGenerated& entry = AlarmGeneratedList.at(static_cast<size_t>(iAlarmGeneratedNext));
    if (entry.sAlarmDateTime.empty()) return;
    int32_t& lErrorCode = ModAllConst2().lErrorCode;
    Ref<Recordset> rs = DBspCommandOutput("usp_AlarmActive_Select", 1, {{"@dtDate", entry.sAlarmDateTime}});
    if (lErrorCode != 0) {
      WriteDebugLog(prefix + " ??? Database access error 1", 8);
      return;
    }
    if (!rs) DVR_RAISE(kErrObjectNotSet);
    if (rs->Eof()) {
      TimerSyncData.SetEnabled(true);
      WriteDebugLog(prefix + " End of File, iTryCounter=" + Str(iTryCounter) + ";", 8);
      ++iTryCounter;
      if (iTryCounter > 10) {
        iTryCounter = 0;
        WriteDebugLogAlways(prefix + " ??? Can't find this data in table AlarmActive" + ", UDTAlarmGenerated(" +
                            Str(iAlarmGeneratedNext) + ").sAlarmDateTime=" + entry.sAlarmDateTime +
                            ", sDVR_AlarmVideo2ID=" + entry.sDVR_AlarmVideo2ID + ";");
        iAlarmGeneratedNext = NextSlot(iAlarmGeneratedNext, kGeneratedAlarmBound);
      }
      return;
    }
    rs->Close();
    WriteDebugLog(prefix + " Execute" + ", UDTAlarmGenerated(" + Str(iAlarmGeneratedNext) +
                      ").sDVR_AlarmVideo2ID=" + entry.sDVR_AlarmVideo2ID + ", iGenerateAlarmDone=" + "207" + ";",
                  8);
    UDTAlarmGenerated confirmed = entry;
    Ref<clsDvrlink> instance = oDvrlink;
    instance->ServerExtIDVR_Callback(207, 1, confirmed.sDVR_AlarmVideo2ID, 104);
    WriteDebugLog(prefix + " Execute" + ", UDTAlarmGenerated(" + Str(iAlarmGeneratedNext) +
                      ").sAlarmDateTime=" + confirmed.sAlarmDateTime +
                      ", .sDVR_AlarmVideo2ID=" + confirmed.sDVR_AlarmVideo2ID + ";",
                  8);
    UDTAlarmGenerated& done = AlarmGeneratedList.at(static_cast<size_t>(iAlarmGeneratedNext));
    done.sAlarmDateTime.clear();
    done.sDVR_AlarmVideo2ID.clear();
    iTryCounter = 0;
    iAlarmGeneratedNext = NextSlot(iAlarmGeneratedNext, kGeneratedAlarmBound);
    TimerSyncData.SetEnabled(true);
  } catch (const std::out_of_range&) {
    LogSyncDataError(StandardDescription(kErrSubscript), __LINE__);
  } catch (const RuntimeError& e) {
    LogSyncDataError(e.Description(), e.Line());
  }
}

void frmMainTemplate::LogSyncDataError(const std::string& description, int32_t line) {
  std::string video2;
  if (iAlarmGeneratedNext >= 0 && static_cast<size_t>(iAlarmGeneratedNext) < AlarmGeneratedList.size()) {
    video2 = AlarmGeneratedList[static_cast<size_t>(iAlarmGeneratedNext)].sDVR_AlarmVideo2ID;
  }
  LogError("Dvrlink, frmMainTemplate, TimerSyncData_Timer-" + std::string(", iGenerateAlarmDone=") + "207" +
               ", UDTAlarmGenerated(" + Str(iAlarmGeneratedNext) + ").sDVR_AlarmVideo2ID=" + video2,
           description, line);
}

}  // namespace dvrlink
