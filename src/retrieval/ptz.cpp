// PTZ presets and patterns: short command texts handed to the camera-control
// component, which holds its own session with the DVR's live port.
#include <string>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {

bool clsDvrlink::PTZPresetViewPattern(const std::string& sPresetType, const std::string& sIndexCamera,
                                      const std::string& sPresetIndex, const std::string& sRepeatPatterns) {
  try {
    const int16_t level = ModAllConst().iLogLevelDefault;
    WriteDebugLog("Dvrlink, PTZPresetViewPattern(" + ID + ") BEGIN" + ", sPresetType=" + sPresetType +
                      ", sIndexCamera=" + sIndexCamera + ", sPresetIndex=" + sPresetIndex +
                      ", sRepeatPatterns=" + sRepeatPatterns + ";",
                  level);
    if (!oCameraControl) oCameraControl = Platform().factory.Create<ICameraControl>(kProgIdCameraControl);
    Ref<ICameraControl> camera = oCameraControl;
    camera->set_sID(ID);
    camera->ProcessCommand("RequestSession Session1 " + DVRIP + " " + m_sPortLive + " " + sIndexCamera);
    if (sPresetType == "1") {
      camera->ProcessCommand("RunQuickView Session1 " + sPresetIndex);
    } else if (sPresetType == "2") {
      camera->ProcessCommand("RunPattern Session1 " + sRepeatPatterns + " " + sPresetIndex + " PatternName");
    }
    camera->ProcessCommand("Pause 2");
    camera->ProcessCommand("EndSession Session1");
    WriteDebugLog("Dvrlink, PTZPresetViewPattern(" + ID + ") DONE" + ";", level);
    return true;
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, PTZPresetViewPattern-" + ID, e.Description(), e.Line());
    return false;
  }
}

}  // namespace dvrlink
