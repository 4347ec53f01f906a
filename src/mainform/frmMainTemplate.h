// frmMainTemplate: the hidden main form of one DVR number. It holds the
// request queues that host-client commands fill, the six timers that work
// them off and drive the periodic tasks, the public state the component reads
// and writes, the status text box and the small menu.
//
// Forms are created with Create() and live in the module's form table; each
// timer handler keeps its form alive while it runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mainform/slot_array.h"
#include "platform/form.h"
#include "platform/object_ref.h"
#include "platform/event_loop.h"

namespace dvrlink {

class clsDvrlink;

struct UDTVideoRequest {
  int16_t iClient = 0;
  int16_t iCamera = 0;
  std::string BeginTime;  // a slot is in use while BeginTime is not empty
  std::string EndTime;
  std::string sFilename;
};

struct UDTAlarmList {
  int16_t iClient = 0;
  std::string sCamera;
  std::string BeginTime;  // a slot is in use while BeginTime is not empty
  std::string EndTime;
  std::string sFilename;
};

struct UDTGenerateAlarm {
  int16_t iClient = 0;  // a slot is in use while iClient is not 0
  int16_t iCamera = 0;
  int16_t iDuration = 0;
  std::string sCameraName;
  std::string sUserName;
  std::string sWorkstationName;
  std::string sDVR_AlarmVideoID;
  std::string sDVR_AlarmVideo2ID;
};

struct UDTAlarmGenerated {
  std::string sAlarmDateTime;  // a slot is in use while this is not empty
  std::string sDVR_AlarmVideo2ID;
};

class frmMainTemplate : public Form, public std::enable_shared_from_this<frmMainTemplate> {
 public:
  static constexpr int16_t kGeneratedAlarmBound = 200;

  // A new, unloaded form: caption "Form1", queues not yet created, every
  // timer off with its interval set.
  static std::shared_ptr<frmMainTemplate> Create();
  ~frmMainTemplate() override;

  // Public variables, read and written by the component.
  int32_t lPortSocket = 0;
  std::string ID;
  int16_t IDWindow = 0;
  bool blnClose = false;
  Ref<clsDvrlink> oDvrlink;  // the owning instance; released at unload
  bool blnRetrieveVideo = false;
  bool blnVideoRequestGranted = false;
  bool blnTimeSyncEnabled = false;
  int16_t iTimeSyncInterval = 0;
  std::string TimeZone;
  int32_t m_Minutes = 0;
  int32_t m_MinutesCycle = 0;

  TextBox txtStatus{this};
  Timer TimerSyncData;            // 5000 ms, confirmation of generated alarms
  Timer TimerMinute;              // 60000 ms, clock-synchronisation countdown
  Timer TimerGenerateAlarm;       // 1000 ms, alarm duration countdown
  Timer TimerGenerateAlarmQueue;  // 200 ms, generate-alarm requests
  Timer TimerAlarmListQueue;      // 1000 ms, alarm-list requests
  Timer TimerVideoQueue;          // 2000 ms, recorded-video requests
  std::string mnuDebugModeCaption = "Debug Mode Off";

  // Queue storage: an upper bound N gives slots 0..N.
  SlotArray<UDTVideoRequest> VideoQueue;
  int16_t iVideoQueueSize = 0;
  int16_t iVideoQueueIndex = 0;
  int16_t iVideoQueueNext = 0;
  SlotArray<UDTAlarmList> AlarmListQueue;
  int16_t iAlarmListQueueSize = 0;
  int16_t iAlarmListQueueIndex = 0;
  int16_t iAlarmListQueueNext = 0;
  SlotArray<UDTGenerateAlarm> GenerateAlarmQueue;
  int16_t iGenerateAlarmQueueSize = 0;
  int16_t iGenerateAlarmQueueIndex = 0;
  int16_t iGenerateAlarmQueueNext = 0;
  SlotArray<UDTAlarmGenerated> AlarmGeneratedList;
  int16_t iAlarmGeneratedIndex = 0;
  int16_t iAlarmGeneratedNext = 0;
  int16_t iTryCounter = 0;

  void Form_Load();
  void Form_Unload();
  void Form_Terminate();
  // Resets the queue indexes and the grant flags; queued requests stay.
  // Errors reach the caller.
  void ResetParameters();
  void mnuDebugMode_Click();
  // Errors reach the caller.
  void mnuExit_Click();

  // Calls the component's TimeSync unless a synchronisation is in process.
  bool TimeSyncTrigger();

  // Request queues filled by the host-client commands. A video request
  // written over a waiting one is logged as an overflow; a full alarm-list
  // queue doubles (up to 25,600); a request with an empty begin time is
  // refused with a log line, since it could not be told from a free slot.
  void QueueRetrieveVideoCommand(int16_t iClient, int16_t iCamera, const std::string& BeginTime,
                                 const std::string& EndTime, const std::string& sFilename);
  void QueueAlarmListCommand(int16_t iClient, const std::string& BeginTime, const std::string& EndTime,
                             const std::string& sFilename, const std::string& sCamera);
  // Written without an overflow check, whatever the slot holds.
  void QueueGenerateAlarmCommand(int16_t iClient, int16_t iCamera, int16_t iDuration,
                                 const std::string& sCameraName, const std::string& sUserName,
                                 const std::string& sWorkstationName, const std::string& sDVR_AlarmVideoID,
                                 const std::string& sDVR_AlarmVideo2ID);
  // Adds a host-raised alarm to the list TimerSyncData confirms against the
  // host's active alarms, whatever the slot holds.
  void QueueUDTAlarmGenerated(const std::string& localAlarmDateTime, const std::string& localDVR_AlarmVideo2ID);

  // Timer handlers.
  void TimerMinute_Timer();
  void TimerVideoQueue_Timer();
  void TimerAlarmListQueue_Timer();
  void TimerGenerateAlarmQueue_Timer();
  void TimerGenerateAlarm_Timer();
  void TimerSyncData_Timer();

  bool Loaded() const { return loaded_; }

 private:
  frmMainTemplate();
  void BindTimers();
  // The error line of TimerSyncData_Timer, naming the entry being confirmed.
  void LogSyncDataError(const std::string& description, int32_t line);
  bool loaded_ = false;
};

}  // namespace dvrlink
