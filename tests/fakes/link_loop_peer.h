// A DVR stand-in on the message loop for the DVR link's asynchronous parts
// (event sessions, the live port): it listens on a free loopback port,
// records the lines each connection sends and lets the test send any text
// back, well-formed or not.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/link_connection.h"
#include "platform/event_loop.h"

namespace dvrlink::testing {

class LinkLoopPeer {
 public:
  explicit LinkLoopPeer(EventLoop& loop);
  ~LinkLoopPeer();
  LinkLoopPeer(const LinkLoopPeer&) = delete;
  LinkLoopPeer& operator=(const LinkLoopPeer&) = delete;

  uint16_t port() const { return port_; }
  // Lines received, from every connection, in order.
  const std::vector<std::string>& received() const { return received_; }
  size_t connections() const { return conns_.size(); }
  // Sends text plus a line end on the newest connection.
  void Send(const std::string& text);
  // Closes every connection.
  void CloseAll();

 private:
  EventLoop* loop_;
  link::UniqueFd listen_;
  uint16_t port_ = 0;
  EventLoop::WatchId watch_ = 0;
  std::vector<std::unique_ptr<link::LinkConnection>> conns_;
  std::vector<std::string> received_;
};

}  // namespace dvrlink::testing
