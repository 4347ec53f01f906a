// "DVREVENTSLib.DvrEventCtrl" over the DVR link: event sessions on the DVR's
// event port, each a subscription to the DVR's alarm events, and the
// alarm-event control that hands those alarms to its own sink.
//
// Connect returns a new session number at once; the session's outcome and
// events follow on the message loop, once Start has been called, in the order
// the DVR sent them. bstrURL of every event is the address text given to
// Connect.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "dvr/dvr_api.h"
#include "link/dvr_link.h"
#include "link/event_subscription.h"
#include "link/link_event_queue.h"

namespace dvrlink {

class DvrAlmEvtCtrlClient : public IDvrAlmEvtCtrl {
 public:
  explicit DvrAlmEvtCtrlClient(std::weak_ptr<link::LinkEventQueue> queue) : queue_(std::move(queue)) {}
  // Setting nullptr drops the alarm events not yet delivered.
  void SetEventSink(IDvrAlarmEvents* sink) override;
  IDvrAlarmEvents* sink() const { return sink_; }

 private:
  std::weak_ptr<link::LinkEventQueue> queue_;
  IDvrAlarmEvents* sink_ = nullptr;
};

class DvrEventCtrlClient : public IDvrEventCtrl {
 public:
  DvrEventCtrlClient(EventLoop& loop, DvrLinkOptions options);
  ~DvrEventCtrlClient() override;

  // Setting nullptr drops the session events not yet delivered.
  void SetEventSink(IDvrEventCtrlEvents* sink) override;
  int32_t Connect(const std::string& address, int32_t port) override;
  Ref<IDvrAlmEvtCtrl> AlarmEventCtrl() override;
  void Start() override;
  // Acknowledges every connected session: the DVR then sends it alarms.
  void Acknowledge() override;
  // Ends the session; its events not yet delivered are dropped and no
  // OnDisconnected follows.
  void Close(int32_t session) override;
  // Ends every session and drops every event not yet delivered.
  void Shutdown() override;

  // For the service's status and for tests.
  bool IsSessionConnected(int32_t session) const;

 private:
  void OnSessionEvent(int32_t session, const std::string& url, const link::Message& event, const std::string& line);
  void ForgetEndedSessions();

  EventLoop* loop_;  // not owned; outlives the object
  DvrLinkOptions options_;
  IDvrEventCtrlEvents* sink_ = nullptr;
  std::shared_ptr<link::LinkEventQueue> queue_;
  std::shared_ptr<DvrAlmEvtCtrlClient> alarms_;
  std::map<int32_t, std::unique_ptr<link::EventSubscription>> sessions_;
  int32_t next_session_ = 1;
};

}  // namespace dvrlink
