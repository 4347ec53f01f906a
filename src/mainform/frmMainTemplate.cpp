// The main form: creation, load, reset, unload, menu actions, the minute
// countdown of the clock synchronisation and the form's time-sync trigger.
#include "mainform/frmMainTemplate.h"

#include <string>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

constexpr int16_t kGenerateAlarmQueueSize = 300;
constexpr int16_t kAlarmListQueueSize = 100;
constexpr int16_t kVideoQueueSize = 300;

}  // namespace

std::shared_ptr<frmMainTemplate> frmMainTemplate::Create() {
  std::shared_ptr<frmMainTemplate> form(new frmMainTemplate());
  form->BindTimers();
  return form;
}

frmMainTemplate::frmMainTemplate()
    : Form("Form1"),
      TimerSyncData(Loop()),
      TimerMinute(Loop()),
      TimerGenerateAlarm(Loop()),
      TimerGenerateAlarmQueue(Loop()),
      TimerAlarmListQueue(Loop()),
      TimerVideoQueue(Loop()),
      AlarmGeneratedList(static_cast<size_t>(kGeneratedAlarmBound) + 1) {
  txtStatus.font_name = "Courier New";
  TimerSyncData.SetInterval(5000);
  TimerMinute.SetInterval(60000);
  TimerGenerateAlarm.SetInterval(1000);
  TimerGenerateAlarmQueue.SetInterval(200);
  TimerAlarmListQueue.SetInterval(1000);
  TimerVideoQueue.SetInterval(2000);
}

frmMainTemplate::~frmMainTemplate() {
  try {
    Form_Terminate();
  } catch (...) {
    // Termination only logs; a destructor must not throw.
  }
}

void frmMainTemplate::BindTimers() {
  // Each handler holds its form while it runs, so a handler that unloads the
  // form (the Exit menu, a reset) does not pull it from under itself.
  std::weak_ptr<frmMainTemplate> self = weak_from_this();
  auto bind = [self](void (frmMainTemplate::*handler)()) {
    return [self, handler]() {
      if (std::shared_ptr<frmMainTemplate> form = self.lock()) ((*form).*handler)();
    };
  };
  TimerSyncData.SetHandler(bind(&frmMainTemplate::TimerSyncData_Timer));
  TimerMinute.SetHandler(bind(&frmMainTemplate::TimerMinute_Timer));
  TimerGenerateAlarm.SetHandler(bind(&frmMainTemplate::TimerGenerateAlarm_Timer));
  TimerGenerateAlarmQueue.SetHandler(bind(&frmMainTemplate::TimerGenerateAlarmQueue_Timer));
  TimerAlarmListQueue.SetHandler(bind(&frmMainTemplate::TimerAlarmListQueue_Timer));
  TimerVideoQueue.SetHandler(bind(&frmMainTemplate::TimerVideoQueue_Timer));
}

void frmMainTemplate::Form_Load() {
  try {
    WriteDebugLog("Dvrlink, frmMainTemplate, Form_Load(" + ID + ")", 1);
    SetWidth(8500);
    SetHeight(7300);
    iGenerateAlarmQueueSize = kGenerateAlarmQueueSize;
    iAlarmListQueueSize = kAlarmListQueueSize;
    iVideoQueueSize = kVideoQueueSize;
    GenerateAlarmQueue.Reset(static_cast<size_t>(iGenerateAlarmQueueSize) + 1);
    AlarmListQueue.Reset(static_cast<size_t>(iAlarmListQueueSize) + 1);
    VideoQueue.Reset(static_cast<size_t>(iVideoQueueSize) + 1);
    ResetParameters();
    // The three queue timers run from load.
    TimerGenerateAlarmQueue.SetEnabled(true);
    TimerAlarmListQueue.SetEnabled(true);
    TimerVideoQueue.SetEnabled(true);
    loaded_ = true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, Form_Load", e.Description(), e.Line());
  }
}

void frmMainTemplate::ResetParameters() {
  iVideoQueueIndex = 0;
  iVideoQueueNext = 0;
  iAlarmListQueueIndex = 0;
  iAlarmListQueueNext = 0;
  iGenerateAlarmQueueIndex = 0;
  iGenerateAlarmQueueNext = 0;
  blnRetrieveVideo = true;
  blnVideoRequestGranted = true;
  ModDvrlinkState& d = ModDvrlink();
  d.blnAlarmListIdle = true;
  d.blnGenerateAlarmQueueReady = true;
}

void frmMainTemplate::Form_Unload() {
  try {
    WriteDebugLog("Dvrlink, frmMainTemplate, Form_Unload(" + ID + ") BEGIN", 1);
    ModDvrlinkState& d = ModDvrlink();
    TimerAlarmListQueue.SetEnabled(false);
    d.blnAlarmListIdle = false;
    TimerGenerateAlarm.SetEnabled(false);
    TimerGenerateAlarmQueue.SetEnabled(false);
    d.blnGenerateAlarmQueueReady = false;
    TimerVideoQueue.SetEnabled(false);
    blnRetrieveVideo = false;
    oDvrlink.Clear();
    loaded_ = false;
    WriteDebugLog("Dvrlink, frmMainTemplate, Form_Unload(" + ID + ") END", 2);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, Form_Unload", e.Description(), e.Line());
  }
}

void frmMainTemplate::Form_Terminate() {
  WriteDebugLog("--- Dvrlink, frmMainTemplate, Form_Terminate(" + ID + ")", 1);
}

void frmMainTemplate::mnuDebugMode_Click() {
  try {
    ModAllConstState& s = ModAllConst();
    s.blnDebugMode = !s.blnDebugMode;
    if (s.blnDebugMode) {
      Show();
    } else {
      Hide();
    }
    Ref<clsDvrlink> instance = oDvrlink;
    instance->oSocket->DebugModeOnOff(s.blnDebugMode, s.lDebugFlags);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, mnuDebugMode_Click", e.Description(), e.Line());
  }
}

void frmMainTemplate::mnuExit_Click() {
  Ref<clsDvrlink> instance = oDvrlink;  // alive while it closes itself
  instance->DeviceFormClose();
}

bool frmMainTemplate::TimeSyncTrigger() {
  try {
    Ref<clsDvrlink> instance = oDvrlink;
    if (!instance->blnTimeSyncInProcess) return instance->TimeSync();
    return false;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate, TimeSyncTrigger-", e.Description(), e.Line());
    return false;
  }
}

void frmMainTemplate::TimerMinute_Timer() {
  try {
    if (m_Minutes > 0) {
      --m_Minutes;
      if (m_Minutes == 0) {
        TimeSyncTrigger();
        if (blnTimeSyncEnabled) m_Minutes = m_MinutesCycle;
      }
    }
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, frmMainTemplate-", e.Description(), e.Line());
  }
}

}  // namespace dvrlink
