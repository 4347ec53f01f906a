// "CameraControl.clsCameraControl": carries out the PTZ command texts of the
// component by sending them to the DVR's live port, one text per line.
//
//   RequestSession NAME ADDRESS PORT CAMERA  opens the session: the texts that
//       follow go to ADDRESS:PORT (the DVR's live port); the connection is
//       kept for later sessions to the same port and closed by DeviceFormClose
//   Pause N                                  waits N seconds on a loop timer
//       (not sent); the texts after it wait behind it, the loop keeps running
//   any other text                           sent as it is
//
// Nothing blocks: connecting happens on the message loop, bounded by the
// connect bound; texts wait in order until the connection is up. A DVR that
// cannot be reached is logged through LogError and the session's texts are
// dropped until the next RequestSession.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "component/host_components.h"
#include "link/link_connection.h"
#include "platform/event_loop.h"

namespace dvrlink {

class CameraControl : public ICameraControl {
 public:
  CameraControl(EventLoop& loop, int32_t connect_timeout_ms);
  ~CameraControl() override;

  void set_sID(const std::string& id) override { sID_ = id; }
  void ProcessCommand(const std::string& command) override;
  void DeviceFormClose() override;

  // Texts waiting behind a pause.
  size_t Waiting() const { return queue_.size(); }
  bool Pausing() const { return pausing_; }

 private:
  enum class Link { kNone, kConnecting, kOpen, kFailed };
  // Carries out queued texts until the queue is empty or a pause starts.
  void Run();
  void Carry(const std::string& text);
  void RequestSession(const std::string& text);
  void Deliver(const std::string& text);
  void LinkFailed(const std::string& reason);
  std::string Source() const { return "CameraControl, ProcessCommand-" + sID_; }
  std::string Where() const;

  EventLoop* loop_;  // not owned; outlives the component
  int32_t connect_timeout_ms_;
  std::string sID_;
  std::deque<std::string> queue_;
  bool pausing_ = false;
  bool running_ = false;
  Timer pause_timer_;
  Timer connect_timer_;
  Link link_ = Link::kNone;
  std::string address_;
  uint16_t port_ = 0;
  std::unique_ptr<link::LinkConnection> conn_;
};

}  // namespace dvrlink
