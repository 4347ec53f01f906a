// One TCP connection of the DVR link on the message loop: connecting without
// blocking, output buffered and sent as the socket takes it, input cut into
// lines. Handlers run on the loop, never inside the call that caused them.
// The synchronous calls of the command port also use it directly (SendNow,
// WaitLine): those wait on this socket alone, without running the loop.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "link/link_socket.h"
#include "platform/event_loop.h"

namespace dvrlink::link {

// Cuts bytes into lines ending in "\n" (a "\r" before it is dropped).
class LineSplitter {
 public:
  explicit LineSplitter(size_t max_line) : max_line_(max_line) {}
  void Append(const std::string& bytes) { buffer_ += bytes; }
  std::string& Buffer() { return buffer_; }
  enum class Next { kLine, kNone, kTooLong };
  // The next whole line, kNone when only part of one has come, kTooLong when
  // the line exceeds the limit (the splitter is then of no further use).
  Next Take(std::string& line);

 private:
  size_t max_line_;
  std::string buffer_;
  size_t start_ = 0;
};

class LinkConnection {
 public:
  struct Handlers {
    // An outgoing connection is up.
    std::function<void()> connected;
    std::function<void(const std::string& line)> line;
    // The connection is gone: it could not be made, the peer closed it, it
    // failed, or the peer sent a line over the limit. Not called for Close.
    std::function<void(const std::string& reason)> closed;
  };

  // Starts connecting; the outcome arrives through the handlers.
  static std::unique_ptr<LinkConnection> Connect(EventLoop& loop, const std::string& address, uint16_t port,
                                                 Handlers handlers, size_t max_line);
  // A connected descriptor (accepted, or connected by ConnectBefore).
  static std::unique_ptr<LinkConnection> Adopt(EventLoop& loop, UniqueFd fd, Handlers handlers,
                                               size_t max_line);
  ~LinkConnection();
  LinkConnection(const LinkConnection&) = delete;
  LinkConnection& operator=(const LinkConnection&) = delete;

  // Queues text and a line end; sent as the socket takes it.
  void Send(const std::string& line);
  // Closes now; output not yet sent is dropped. No handler runs afterwards.
  void Close();
  // Closes once the queued output is sent.
  void CloseAfterSending();
  bool IsOpen() const { return fd_.valid(); }
  bool IsConnected() const { return fd_.valid() && !connecting_; }
  size_t PendingOutput() const { return out_.size(); }

  // Synchronous use: writes the line (after any queued output) before the
  // deadline, without running the loop.
  bool SendNow(const std::string& line, SteadyTime deadline, std::string& error);
  enum class Wait { kLine, kTimeout, kClosed };
  // The next line, reading this socket alone until the deadline. kClosed
  // (with the reason) closes the connection without calling a handler.
  Wait WaitLine(std::string& line, SteadyTime deadline, std::string& error);
  // A whole line already read by WaitLine but not yet taken; the loop only
  // looks at the socket when new bytes arrive, so a synchronous caller hands
  // these on itself.
  bool TakeBuffered(std::string& line);

 private:
  LinkConnection(EventLoop& loop, UniqueFd fd, bool connecting, Handlers handlers, size_t max_line);
  void OnReady(short revents);
  void UpdateWatch();
  // Closes and calls the closed handler (from the loop only).
  void Fail(const std::string& reason);

  EventLoop* loop_;  // not owned; outlives the connection
  UniqueFd fd_;
  bool connecting_;
  bool close_after_sending_ = false;
  Handlers handlers_;
  LineSplitter in_;
  std::string out_;
  EventLoop::WatchId watch_ = 0;
  // Cleared on destruction, so a handler that destroys the connection ends
  // the dispatch that called it.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::link
