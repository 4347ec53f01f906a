// The video and alarm-list request queues: filled by the host-client
// commands, worked off one grant at a time by their timers. Also the storage
// side of the generate-alarm queue.
#include <string>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

// The alarm-list bound is 16-bit: 25,600 cannot be doubled again.
constexpr int16_t kAlarmListQueueLimit = 25600;

int16_t NextSlot(int16_t index, int16_t bound) { return index + 1 > bound ? 0 : static_cast<int16_t>(index + 1); }

}  // namespace

void frmMainTemplate::QueueRetrieveVideoCommand(int16_t iClient, int16_t iCamera, const std::string& BeginTime,
                                                const std::string& EndTime, const std::string& sFilename) {
  try {
    WriteDebugLog("Dvrlink, frmMainTemplate, QueueRetrieveVideoCommand(" + ID + ")(" + Str(iVideoQueueIndex) + ")" +
                      " iCamera=" + Str(iCamera) + ", BeginTime=" + BeginTime + ", EndTime=" + EndTime +
                      ", iClient=" + Str(iClient) + ", sFilename=" + sFilename,
                  8);
    if (BeginTime.empty()) {
      WriteDebugLogAlways("Dvrlink, frmMainTemplate, QueueRetrieveVideoCommand(" + ID + ")" +
                          "??? ERROR, empty BeginTime, request of client " + Str(iClient) + " refused");
      return;
    }
    UDTVideoRequest& slot = VideoQueue.at(static_cast<size_t>(iVideoQueueIndex));
    if (!slot.BeginTime.empty()) {
      WriteDebugLogAlways("Dvrlink, frmMainTemplate, QueueRetrieveVideoCommand(" + ID + ")" +
                          "??? ERROR, OVERFLOW, iVideoQueueIndex=" + Str(iVideoQueueIndex) +
                          ", iVideoQueueSize=" + Str(iVideoQueueSize));
    }
    slot.iClient = iClient;
    slot.iCamera = iCamera;
    slot.BeginTime = BeginTime;
    slot.EndTime = EndTime;
    slot.sFilename = sFilename;
    iVideoQueueIndex = NextSlot(iVideoQueueIndex, iVideoQueueSize);
  } catch (const std::out_of_range&) {
    LogError("Dvrlink, frmMainTemplate, QueueRetrieveVideoCommand", StandardDescription(kErrSubscript), __LINE__);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, QueueRetrieveVideoCommand", e.Description(), e.Line());
  }
}

void frmMainTemplate::TimerVideoQueue_Timer() {
  try {
    TimerVideoQueue.SetEnabled(false);
    if (blnVideoRequestGranted && static_cast<size_t>(iVideoQueueNext) < VideoQueue.size() &&
        !VideoQueue[static_cast<size_t>(iVideoQueueNext)].BeginTime.empty()) {
      UDTVideoRequest& slot = VideoQueue[static_cast<size_t>(iVideoQueueNext)];
      WriteDebugLog("Dvrlink, frmMainTemplate, TimerVideoQueue_Timer(" + ID + ")" + "(" + Str(iVideoQueueNext) +
                        ") Camera=" + Str(slot.iCamera) + ", BeginTime=" + slot.BeginTime +
                        ", Client=" + Str(slot.iClient),
                    0);
      UDTVideoRequest request = slot;
      Ref<clsDvrlink> instance = oDvrlink;
      instance->GetVideoRecorded(iVideoQueueNext, request.iClient, request.iCamera, request.BeginTime,
                                 request.EndTime, request.sFilename);
      UDTVideoRequest& done = VideoQueue.at(static_cast<size_t>(iVideoQueueNext));
      done.BeginTime.clear();
      done.iCamera = -1;
      iVideoQueueNext = NextSlot(iVideoQueueNext, iVideoQueueSize);
    }
    if (!ModAllConst().blnClosing) TimerVideoQueue.SetEnabled(true);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, TimerVideoQueue_Timer", e.Description(), e.Line());
  }
}

void frmMainTemplate::QueueAlarmListCommand(int16_t iClient, const std::string& BeginTime,
                                            const std::string& EndTime, const std::string& sFilename,
                                            const std::string& sCamera) {
  try {
    if (BeginTime.empty()) {
      WriteDebugLogAlways("Dvrlink, frmMainTemplate, QueueAlarmListCommand(" + ID + ")" +
                          " ??? ERROR, empty BeginTime, request of client " + Str(iClient) + " refused");
      return;
    }
    if (!AlarmListQueue.at(static_cast<size_t>(iAlarmListQueueIndex)).BeginTime.empty()) {
      if (iAlarmListQueueSize >= kAlarmListQueueLimit) {
        WriteDebugLogAlways("Dvrlink, frmMainTemplate, QueueAlarmListCommand(" + ID + ")" +
                            " ??? ERROR, alarm-list queue full, iAlarmListQueueSize=" + Str(iAlarmListQueueSize) +
                            ", request of client " + Str(iClient) + " refused, Camera=" + sCamera +
                            ", BeginTime=" + BeginTime);
        return;
      }
      WriteDebugLogAlways("Dvrlink, frmMainTemplate, QueueAlarmListCommand(" + ID + ") ??? ATTENTION " +
                          "The size of " + "\"" + "iAlarmListQueueSize=" + Str(iAlarmListQueueSize) + "\"" +
                          " is double");
      int16_t old_bound = iAlarmListQueueSize;
      iAlarmListQueueIndex = CheckedAdd16(old_bound, 1);
      iAlarmListQueueSize = CheckedMul16(old_bound, 2);
      AlarmListQueue.resize(static_cast<size_t>(iAlarmListQueueSize) + 1);
    }
    UDTAlarmList& slot = AlarmListQueue.at(static_cast<size_t>(iAlarmListQueueIndex));
    slot.iClient = iClient;
    slot.sCamera = sCamera;
    slot.BeginTime = BeginTime;
    slot.EndTime = EndTime;
    slot.sFilename = sFilename;
    iAlarmListQueueIndex = NextSlot(iAlarmListQueueIndex, iAlarmListQueueSize);
  } catch (const std::out_of_range&) {
    LogError("Dvrlink, frmMainTemplate, QueueAlarmListCommand", StandardDescription(kErrSubscript), __LINE__);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, QueueAlarmListCommand", e.Description(), e.Line());
  }
}

void frmMainTemplate::TimerAlarmListQueue_Timer() {
  try {
    TimerAlarmListQueue.SetEnabled(false);
    if (blnVideoRequestGranted && static_cast<size_t>(iAlarmListQueueNext) < AlarmListQueue.size() &&
        !AlarmListQueue[static_cast<size_t>(iAlarmListQueueNext)].BeginTime.empty()) {
      const std::string index = Str(iAlarmListQueueNext);
      UDTAlarmList request = AlarmListQueue[static_cast<size_t>(iAlarmListQueueNext)];
      WriteDebugLog("Dvrlink, frmMainTemplate, TimerAlarmListQueue_Timer(" + ID + ") Execute GetAlarmList(" + index +
                        ")=" + " UDTAlarmList(" + index + ").Camera=" + request.sCamera + " UDTAlarmList(" +
                        index + ").BeginTime=" + request.BeginTime,
                    0);
      Ref<clsDvrlink> instance = oDvrlink;
      instance->GetAlarmList(iAlarmListQueueNext, request.iClient, request.sCamera, request.BeginTime,
                             request.EndTime, request.sFilename);
      AlarmListQueue.at(static_cast<size_t>(iAlarmListQueueNext)).BeginTime.clear();
      iAlarmListQueueNext = NextSlot(iAlarmListQueueNext, iAlarmListQueueSize);
    }
    if (!ModAllConst().blnClosing) TimerAlarmListQueue.SetEnabled(true);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, TimerAlarmListQueue_Timer", e.Description(), e.Line());
  }
}

void frmMainTemplate::QueueGenerateAlarmCommand(int16_t iClient, int16_t iCamera, int16_t iDuration,
                                                const std::string& sCameraName, const std::string& sUserName,
                                                const std::string& sWorkstationName,
                                                const std::string& sDVR_AlarmVideoID,
                                                const std::string& sDVR_AlarmVideo2ID) {
  try {
    WriteDebugLog("Dvrlink, frmMainTemplate, QueueGenerateAlarmCommand(" + ID + ") BEGIN" + ", iClient=" +
                      Str(iClient) + ", iCamera=" + Str(iCamera) + ", iDuration=" + Str(iDuration) +
                      ", sCameraName=" + sCameraName + ";",
                  8);
    UDTGenerateAlarm& slot = GenerateAlarmQueue.at(static_cast<size_t>(iGenerateAlarmQueueIndex));
    slot.iClient = iClient;
    slot.iCamera = iCamera;
    slot.iDuration = iDuration;
    slot.sCameraName = sCameraName;
    slot.sUserName = sUserName;
    slot.sWorkstationName = sWorkstationName;
    slot.sDVR_AlarmVideoID = sDVR_AlarmVideoID;
    slot.sDVR_AlarmVideo2ID = sDVR_AlarmVideo2ID;
    WriteDebugLog("Dvrlink, frmMainTemplate, QueueGenerateAlarmCommand(" + ID + ") UDTGenerateAlarm(" +
                      Str(iGenerateAlarmQueueIndex) + ")=" + Str(iClient) + ", " + Str(iCamera) + ", " +
                      Str(iDuration),
                  0);
    iGenerateAlarmQueueIndex = NextSlot(iGenerateAlarmQueueIndex, iGenerateAlarmQueueSize);
  } catch (const std::out_of_range&) {
    LogError("Dvrlink, frmMainTemplate, QueueGenerateAlarmCommand", StandardDescription(kErrSubscript), __LINE__);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, QueueGenerateAlarmCommand", e.Description(), e.Line());
  }
}

}  // namespace dvrlink
