// The event sinks through which the DVR API objects reach clsDvrlink's
// handlers. Each sink belongs to the instance and is detached from its object
// before the instance or the object is released.
#pragma once

#include "component/clsDvrlink.h"

namespace dvrlink {

class clsDvrlink::EventCtrlSink : public IDvrEventCtrlEvents {
 public:
  explicit EventCtrlSink(clsDvrlink* owner) : owner_(owner) {}
  void OnConnected(int32_t lSessionID, const std::string& bstrURL) override {
    owner_->m_oDvrEventCtrl_OnConnected(lSessionID, bstrURL);
  }
  void OnConnectError(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrError) override {
    owner_->m_oDvrEventCtrl_OnConnectError(lSessionID, bstrURL, bstrError);
  }
  void OnDisconnected(int32_t lSessionID, const std::string& bstrURL) override {
    owner_->m_oDvrEventCtrl_OnDisconnected(lSessionID, bstrURL);
  }
  void OnUnexpectedEvent(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrXML) override {
    owner_->m_oDvrEventCtrl_OnUnexpectedEvent(lSessionID, bstrURL, bstrXML);
  }

 private:
  clsDvrlink* owner_;  // not owned: the instance this sink belongs to
};

// Events of the control object m_oDvrRemote: logged; time-sync results only
// make the instance current.
class clsDvrlink::RemoteSink : public IDvrRemoteEvents {
 public:
  explicit RemoteSink(clsDvrlink* owner) : owner_(owner) {}
  void OnGetAlarmEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) override {
    owner_->m_oDvrRemote_OnGetAlarmEvent(lSessionID, eReason, lData1, lData2);
  }
  void OnGetVideoEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) override {
    owner_->m_oDvrRemote_OnGetVideoEvent(lSessionID, eReason, lData1, lData2);
  }
  void OnTimeSyncEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) override {
    owner_->m_oDvrRemote_OnTimeSyncEvent(lSessionID, eReason, lData1, lData2);
  }
  void OnGetStatusEvent(int32_t lSessionID, int32_t eReason, const std::string&) override {
    owner_->m_oDvrRemote_OnGetStatusEvent(lSessionID, eReason);
  }
  void OnGetUnitInfoEvent(int32_t lSessionID, int32_t eReason, const std::string&) override {
    owner_->m_oDvrRemote_OnGetUnitInfoEvent(lSessionID, eReason);
  }

 private:
  clsDvrlink* owner_;  // not owned: the instance this sink belongs to
};

// Events of the video-retrieval object m_oDvrGetVideo: its progress events;
// the others carry nothing for it.
class clsDvrlink::GetVideoSink : public IDvrRemoteEvents {
 public:
  explicit GetVideoSink(clsDvrlink* owner) : owner_(owner) {}
  void OnGetAlarmEvent(int32_t, int32_t, int32_t, int32_t) override {}
  void OnGetVideoEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) override {
    owner_->m_oDvrGetVideo_OnGetVideoEvent(lSessionID, eReason, lData1, lData2);
  }
  void OnTimeSyncEvent(int32_t, int32_t, int32_t, int32_t) override {}
  void OnGetStatusEvent(int32_t, int32_t, const std::string&) override {}
  void OnGetUnitInfoEvent(int32_t, int32_t, const std::string&) override {}

 private:
  clsDvrlink* owner_;  // not owned: the instance this sink belongs to
};

// Events of the alarm-list object m_oDvrGetAlarmList: its progress events.
class clsDvrlink::GetAlarmListSink : public IDvrRemoteEvents {
 public:
  explicit GetAlarmListSink(clsDvrlink* owner) : owner_(owner) {}
  void OnGetAlarmEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2) override {
    owner_->m_oDvrGetAlarmList_OnGetAlarmEvent(lSessionID, eReason, lData1, lData2);
  }
  void OnGetVideoEvent(int32_t, int32_t, int32_t, int32_t) override {}
  void OnTimeSyncEvent(int32_t, int32_t, int32_t, int32_t) override {}
  void OnGetStatusEvent(int32_t, int32_t, const std::string&) override {}
  void OnGetUnitInfoEvent(int32_t, int32_t, const std::string&) override {}

 private:
  clsDvrlink* owner_;  // not owned: the instance this sink belongs to
};

// Events of the alarm-event control m_oDvrAlmEvtCtrl: the DVR's alarms.
class clsDvrlink::AlarmSink : public IDvrAlarmEvents {
 public:
  explicit AlarmSink(clsDvrlink* owner) : owner_(owner) {}
  void OnAlarmBegin2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera, const std::string& bstrTime,
                     const std::string& bstrAlarmType, int16_t, const std::string&, const std::string&) override {
    owner_->m_oDvrAlmEvtCtrl_OnAlarmBegin2(lSessionID, bstrURL, nCamera, bstrTime, bstrAlarmType);
  }
  void OnAlarmEnd2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera, const std::string& bstrTime,
                   const std::string& bstrAlarmType, int16_t, const std::string&, const std::string&) override {
    owner_->m_oDvrAlmEvtCtrl_OnAlarmEnd2(lSessionID, bstrURL, nCamera, bstrTime, bstrAlarmType);
  }
  void OnAlarmXml(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrXML) override {
    owner_->m_oDvrAlmEvtCtrl_OnAlarmXml(lSessionID, bstrURL, bstrXML);
  }
  void OnAlarmPosInfo2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                       const std::string& bstrPreAlarmTime, const std::string& bstrStartTime,
                       const std::string& bstrEndTime, int32_t lPreAlarmPos, int32_t lStartPos, int32_t lEndPos,
                       const std::string& bstrAlarmType, int16_t nOverrideIndex, const std::string& bstrOverrideText,
                       const std::string&) override {
    owner_->m_oDvrAlmEvtCtrl_OnAlarmPosInfo2(lSessionID, bstrURL, nCamera, bstrPreAlarmTime, bstrStartTime,
                                             bstrEndTime, lPreAlarmPos, lStartPos, lEndPos, bstrAlarmType,
                                             nOverrideIndex, bstrOverrideText);
  }

 private:
  clsDvrlink* owner_;  // not owned: the instance this sink belongs to
};

}  // namespace dvrlink
