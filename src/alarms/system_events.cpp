// DVR system events delivered by the system-event component: mapped to host
// events; their XML form is only logged.
#include <cstdint>
#include <string>

#include "alarms/alarm_text.h"
#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

struct SystemEventMapping {
  uint32_t dvr_code;
  int32_t host_event;
};

constexpr SystemEventMapping kSystemEvents[] = {
    {0xC00407D0u, 10382}, {0xC00407D1u, 10346}, {0xC00407D2u, 10384},
    {0xC00407D3u, 10386}, {0xC00407D4u, 10388}, {0xC00407D5u, 10390},
    {0xC00407D7u, 10392}, {0xC00407D8u, 10394}, {0xC00407D9u, 10396},
};
constexpr int32_t kUnlistedSystemEvent = 10398;

}  // namespace

void clsDvrlink::CallBackSystemEvents(int32_t lSessionID, const std::string& bstrURL, int32_t ulEventId,
                                      const std::string& bstrTime, const std::string& bstrMessage) {
  try {
    if (bstrURL != DVRIP) return;  // another DVR's event
    int32_t host_event = kUnlistedSystemEvent;
    for (const auto& mapping : kSystemEvents) {
      if (mapping.dvr_code == static_cast<uint32_t>(ulEventId)) host_event = mapping.host_event;
    }
    if (host_event == kUnlistedSystemEvent) {
      WriteDebugLogAlways("Dvrlink, clsDvrlink" + std::string(", CallBackSystemEvents(") + ID + ") ERROR ??? ###" +
                          ", lSessionID=" + Str(lSessionID) + ", bstrURL=" + bstrURL + ", ulEventId=" +
                          Str(ulEventId) + ", bstrTime=" + bstrTime + ", bstrMessage=" + bstrMessage + ";");
    }
    std::string event_time = DvrTimeToMdy(bstrTime);
    WriteDebugLog("Dvrlink, CallBackSystemEvents(" + ID + ") Generate System Event" + ", lSystemEventID=" +
                      Str(host_event) + ", sStartTime=" + event_time + ";",
                  ModAllConst().iLogLevelDefault);
    UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
    r.EventCode = host_event;
    r.DataTime = Loop().clock().LocalNow().FormatYmd24();
    r.GlobalAddressID = m_sGlobalAddressID;
    r.DVRName = m_sDVRName;
    r.DVRAddress = DVRIP;
    r.Detail1 = event_time;
    r.Detail2 = "1";
    IDVR_DVRSendEvent();
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, CallBackSystemEvents-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::CallBackSystemEventsXML(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrXML) {
  try {
    WriteDebugLog("Dvrlink, clsDvrlink" + std::string(", CallBackSystemEventsXML(") + ID + ") BEGIN" +
                      ", lSessionID=" + Str(lSessionID) + ", bstrURL=" + bstrURL + ", bstrXML=" + bstrXML + ";",
                  ModAllConst().iLogLevelDefault);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, CallBackSystemEventsXML-" + ID, e.Description(), e.Line());
  }
}

}  // namespace dvrlink
