// The DVR API contract: the remote-control objects (control, video and
// alarm-list sessions) and the event-control and alarm-event objects. Events
// are delivered on the message loop to the sink set on each object, never
// inside the call that caused them. A sink is not owned; setting nullptr
// detaches it (pending events are then dropped).
#pragma once

#include <cstdint>
#include <string>

#include "platform/object_ref.h"
#include "support/datetime.h"

namespace dvrlink {

class IDvrRemoteEvents {
 public:
  virtual ~IDvrRemoteEvents() = default;
  virtual void OnGetAlarmEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) = 0;
  virtual void OnGetVideoEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) = 0;
  virtual void OnTimeSyncEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) = 0;
  // The unit objects are given as the DVR's own description text.
  virtual void OnGetStatusEvent(int32_t lSessionID, int32_t eReason, const std::string& pIUnitStatus) = 0;
  virtual void OnGetUnitInfoEvent(int32_t lSessionID, int32_t eReason, const std::string& pIUnitInfo) = 0;
};

// "DVRAPILib.DvrRemote": one session with the DVR's command port. Calls that
// fail raise RuntimeError; Connect gives session 0 when the DVR refuses or
// cannot be reached in time.
class IDvrRemote {
 public:
  virtual ~IDvrRemote() = default;
  virtual void SetEventSink(IDvrRemoteEvents* sink) = 0;
  virtual void Connect(const std::string& address, int16_t port, const std::string& extra,
                       int32_t& session) = 0;
  // The SDK version text.
  virtual std::string Version() = 0;
  virtual void TimeSync(int32_t session, DateTime time) = 0;
  virtual void GenerateAlarm(int32_t session, int16_t camera, int16_t duration) = 0;
  virtual void StopAlarm(int32_t session, int16_t camera) = 0;
  // Recorded video of camera from begin to end into file; progress arrives
  // as OnGetVideoEvent.
  virtual void GetVideo(int32_t session, int16_t camera, DateTime begin, DateTime end,
                        const std::string& file) = 0;
};

class IDvrAlarmEvents {
 public:
  virtual ~IDvrAlarmEvents() = default;
  virtual void OnAlarmBegin2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                             const std::string& bstrTime, const std::string& bstrAlarmType,
                             int16_t nOverrideIndex, const std::string& bstrOverrideText,
                             const std::string& bstrAlarmID) = 0;
  virtual void OnAlarmEnd2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                           const std::string& bstrTime, const std::string& bstrAlarmType,
                           int16_t nOverrideIndex, const std::string& bstrOverrideText,
                           const std::string& bstrAlarmID) = 0;
  virtual void OnAlarmXml(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrXML) = 0;
  virtual void OnAlarmPosInfo2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                               const std::string& bstrPreAlarmTime, const std::string& bstrStartTime,
                               const std::string& bstrEndTime, int32_t lPreAlarmPos, int32_t lStartPos,
                               int32_t lEndPos, const std::string& bstrAlarmType, int16_t nOverrideIndex,
                               const std::string& bstrOverrideText, const std::string& bstrAlarmID) = 0;
};

// The alarm-event control: no calls of its own, only events.
class IDvrAlmEvtCtrl {
 public:
  virtual ~IDvrAlmEvtCtrl() = default;
  virtual void SetEventSink(IDvrAlarmEvents* sink) = 0;
};

class IDvrEventCtrlEvents {
 public:
  virtual ~IDvrEventCtrlEvents() = default;
  virtual void OnConnected(int32_t lSessionID, const std::string& bstrURL) = 0;
  virtual void OnConnectError(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrError) = 0;
  virtual void OnDisconnected(int32_t lSessionID, const std::string& bstrURL) = 0;
  virtual void OnUnexpectedEvent(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrXML) = 0;
};

// "DVREVENTSLib.DvrEventCtrl": the event session with the DVR's event port.
// Connect returns a session number > 0 at once; the session then reports
// OnConnected, or OnConnectError followed by OnDisconnected.
class IDvrEventCtrl {
 public:
  virtual ~IDvrEventCtrl() = default;
  virtual void SetEventSink(IDvrEventCtrlEvents* sink) = 0;
  virtual int32_t Connect(const std::string& address, int32_t port) = 0;
  virtual Ref<IDvrAlmEvtCtrl> AlarmEventCtrl() = 0;
  // Starts event delivery.
  virtual void Start() = 0;
  // The call without arguments made on every OnConnected.
  virtual void Acknowledge() = 0;
  virtual void Close(int32_t session) = 0;
  // The closing call without arguments made at shut-down.
  virtual void Shutdown() = 0;
};

inline constexpr const char* kProgIdDvrRemote = "DVRAPILib.DvrRemote";
inline constexpr const char* kProgIdDvrEventCtrl = "DVREVENTSLib.DvrEventCtrl";

}  // namespace dvrlink
