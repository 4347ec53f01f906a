// Sinks and receivers that write down every DVR link event they get as one
// text, in the order received, for the DVR link's tests; the bounded pumps
// of the message loop come from svc_test_support.
#pragma once

#include <string>
#include <vector>

#include "component/host_components.h"
#include "dvr/dvr_api.h"
#include "fakes/svc_test_support.h"

namespace dvrlink::testing {

struct LinkEventRecorder : IDvrEventCtrlEvents, IDvrAlarmEvents, IDvrRemoteEvents, ISystemEventReceiver {
  std::vector<std::string> events;

  void OnConnected(int32_t s, const std::string& url) override;
  void OnConnectError(int32_t s, const std::string& url, const std::string& error) override;
  void OnDisconnected(int32_t s, const std::string& url) override;
  void OnUnexpectedEvent(int32_t s, const std::string& url, const std::string& xml) override;

  void OnAlarmBegin2(int32_t s, const std::string& url, int16_t camera, const std::string& time,
                     const std::string& type, int16_t override_index, const std::string& override_text,
                     const std::string& alarm_id) override;
  void OnAlarmEnd2(int32_t s, const std::string& url, int16_t camera, const std::string& time,
                   const std::string& type, int16_t override_index, const std::string& override_text,
                   const std::string& alarm_id) override;
  void OnAlarmXml(int32_t s, const std::string& url, const std::string& xml) override;
  void OnAlarmPosInfo2(int32_t s, const std::string& url, int16_t camera, const std::string& pre,
                       const std::string& start, const std::string& end, int32_t pre_pos, int32_t start_pos,
                       int32_t end_pos, const std::string& type, int16_t override_index,
                       const std::string& override_text, const std::string& alarm_id) override;

  void OnGetAlarmEvent(int32_t s, int32_t reason, int32_t d1, int32_t d2) override;
  void OnGetVideoEvent(int32_t s, int32_t reason, int32_t d1, int32_t d2) override;
  void OnTimeSyncEvent(int32_t s, int32_t reason, int32_t d1, int32_t d2) override;
  void OnGetStatusEvent(int32_t s, int32_t reason, const std::string& status) override;
  void OnGetUnitInfoEvent(int32_t s, int32_t reason, const std::string& info) override;

  void CallBackSystemEvents(int32_t s, const std::string& url, int32_t code, const std::string& time,
                            const std::string& message) override;
  void CallBackSystemEventsXML(int32_t s, const std::string& url, const std::string& xml) override;

  // Events whose text starts with prefix.
  std::vector<std::string> Starting(const std::string& prefix) const;
};

using svc::PumpFor;
using svc::PumpUntil;

}  // namespace dvrlink::testing
