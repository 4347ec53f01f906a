// Process-wide state of the component module, shared by every instance the
// host creates in the process: the start-up parameter copy, the table of main
// forms by DVR number, the host-event record, the reply text and the flags
// the main forms share. Part of the one module-state object
// (component/module_state.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "component/host_components.h"
#include "platform/object_ref.h"

namespace dvrlink {

class frmMainTemplate;

// The DVR event last prepared for the host, sent as message 44. Not cleared
// after sending: fields a reporter does not set keep the previous values.
struct UDTDVREventRecord {
  int32_t EventCode = 0;
  std::string DataTime;
  std::string GlobalAddressID;
  std::string DVRName;
  std::string DVRAddress;
  std::string Detail1, Detail2, Detail3, Detail4, Detail5, Detail6, Detail7, Detail8;
};

struct ModDvrlinkState {
  std::vector<std::string> sCommands;
  // One main form per DVR number, indices 0..iMaxDVR; empty entries are null.
  std::vector<std::shared_ptr<frmMainTemplate>> oFrmMainTemplate{1};
  int16_t iMaxDVR = 0;
  int16_t iCurrentDVR = 0;
  Ref<IHostProduct> oClientCorvane;
  std::string sRemoteHost;
  int32_t lCreateStep = 0;
  UDTDVREventRecord UDTDVREvent;
  std::string sDataSend;

  // Flags the main forms' queue handlers share.
  bool blnAlarmListIdle = false;
  bool blnGenerateAlarmQueueReady = false;
  int16_t iAlarmTimerTicks = 0;
  int16_t iDuration = 0;
};

ModDvrlinkState& ModDvrlink();

}  // namespace dvrlink
