// The DVR link client: the DVR API objects over our own network protocol
// (docs/dvr-link.md), and the registration of those objects and of the
// camera-control and system-event components in the object factory.
//
//   "DVRAPILib.DvrRemote"         DvrRemoteClient (command port)
//   "DVREVENTSLib.DvrEventCtrl"   DvrEventCtrlClient (event port; its
//                                 alarm-event control comes with it)
//   "CameraControl.clsCameraControl"           CameraControl (live port)
//   "SystemEventControl.clsSystemEventControl" SystemEventControl (event port)
//
// Every object runs on the message loop that is current when it is created
// and must be released before that loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/object_factory.h"

namespace dvrlink {

// Told what passes on the link, for the service's console and metrics. Calls
// come from the loop; `address` is the DVR address as configured (the
// event sessions' bstrURL, the remote-control client's address).
class LinkObserver {
 public:
  virtual ~LinkObserver() = default;
  // An alarm event (alarm_begin, alarm_end, alarm_xml, alarm_pos) received.
  virtual void OnAlarmEvent(const std::string& address, const std::string& event) = 0;
  // Bytes of recorded video written to a file.
  virtual void OnVideoBytes(const std::string& address, int64_t bytes) = 0;
  // A time_sync event: reason 2 = set, 3 = failed; moved_seconds = how far
  // the DVR clock moved.
  virtual void OnTimeSync(const std::string& address, int32_t reason, int32_t moved_seconds) = 0;
};

struct DvrLinkOptions {
  // Folder under which retrieved video files are written (the service's
  // export_folder setting). Empty: retrievals are refused.
  std::string export_folder;
  // Bound of every synchronous call, of the event-session handshake and of
  // the camera-control connection.
  int32_t reply_timeout_ms = 2000;
  // Wait before the system-event component opens a lost subscription again
  // (until Disconnect).
  int32_t system_event_retry_ms = 10000;
  // Null: nobody watches.
  std::shared_ptr<LinkObserver> observer;
  // How often a paused system-event component (see SystemEventControl) asks
  // whether the instance's event session is back.
  int32_t system_event_resume_poll_ms = 500;
};

// Error numbers the DVR link raises (automation object errors).
inline constexpr int32_t kErrDvrLinkBase = static_cast<int32_t>(0x80040000u + 0x1000u);
inline constexpr int32_t kErrDvrLinkNotConnected = kErrDvrLinkBase + 1;  // no session with the DVR
inline constexpr int32_t kErrDvrLinkTimeout = kErrDvrLinkBase + 2;       // no reply within the bound
inline constexpr int32_t kErrDvrLinkRejected = kErrDvrLinkBase + 3;      // the DVR answered with an error
inline constexpr int32_t kErrDvrLinkFailed = kErrDvrLinkBase + 4;        // the connection broke

// "DVRAPILib.DvrRemote" and "DVREVENTSLib.DvrEventCtrl".
void RegisterDvrLinkObjects(ObjectFactory& factory, const DvrLinkOptions& options = DvrLinkOptions());
// "CameraControl.clsCameraControl" and "SystemEventControl.clsSystemEventControl".
void RegisterDvrComponents(ObjectFactory& factory, const DvrLinkOptions& options = DvrLinkOptions());

// The version text of this client.
std::string DvrLinkClientVersion();

}  // namespace dvrlink
