// "SystemEventControl.clsSystemEventControl": its own subscription to the
// DVR's system events on the DVR's event port. Each system event reaches the
// receiver as CallBackSystemEvents (and its XML form as
// CallBackSystemEventsXML) on the message loop, with bstrURL the address text
// given to Connect. A subscription the DVR refuses or drops is opened again
// after a while, until Disconnect or DeviceFormClose.
//
// The component calls Disconnect when the DVR drops its event session and
// never connects this component again. So Disconnect only pauses: once the
// instance's event session is connected again (it reported 10322 after
// 10321), the subscription is opened again, logged. DeviceFormClose ends it
// for good.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "component/host_components.h"
#include "link/dvr_link.h"
#include "link/event_subscription.h"
#include "link/link_event_queue.h"

namespace dvrlink {

class SystemEventControl : public ISystemEventControl {
 public:
  SystemEventControl(EventLoop& loop, DvrLinkOptions options);
  ~SystemEventControl() override;

  void set_sID(const std::string& id) override { sID_ = id; }
  // Ends any earlier subscription and opens one on dvrIP:lPortEvent.
  void Connect(ISystemEventReceiver* receiver, std::string& dvrIP, int32_t& lPortEvent) override;
  // Ends the subscription until the instance's event session is back;
  // events not yet delivered are dropped.
  void Disconnect() override;
  // Disconnect, and the receiver is forgotten.
  void DeviceFormClose() override;

  bool IsSubscribed() const { return subscription_ && subscription_->IsConnected(); }

 private:
  void Open();
  // While paused: opens the subscription again once the instance's event
  // session is connected.
  void ResumeWhenSessionIsBack();
  void OnEvent(int32_t session, const link::Message& event, const std::string& line);
  std::string Where() const;

  EventLoop* loop_;  // not owned; outlives the component
  DvrLinkOptions options_;
  std::string sID_;
  ISystemEventReceiver* receiver_ = nullptr;
  std::string address_;
  int32_t port_ = 0;
  bool wanted_ = false;
  bool paused_ = false;
  int32_t next_session_ = 1;
  std::unique_ptr<link::EventSubscription> subscription_;
  Timer retry_timer_;
  Timer resume_timer_;
  link::LinkEventQueue queue_;
};

}  // namespace dvrlink
