// One session on the DVR's event port: connects without blocking, asks for
// its subscription ("alarms" or "system") under the session number the client
// chose, and reports the outcome exactly once: connected, or connect_error
// followed by disconnected; disconnected when the DVR ends the session or the
// connection breaks. The DVR's other events are handed on while connected.
// Handlers run on the message loop; the owner queues them for its sinks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/link_connection.h"
#include "link/link_protocol.h"
#include "platform/event_loop.h"

namespace dvrlink::link {

class EventSubscription {
 public:
  struct Handlers {
    std::function<void()> connected;
    std::function<void(const std::string& error)> connect_error;
    std::function<void()> disconnected;
    std::function<void(const Message& event, const std::string& line)> event;
  };

  // handshake_ms bounds the time from the start to the DVR's "connected".
  EventSubscription(EventLoop& loop, std::string address, int32_t port, int32_t session, std::string subscribe,
                    int32_t handshake_ms, Handlers handlers);
  // Ends the session without calling any handler.
  ~EventSubscription();
  EventSubscription(const EventSubscription&) = delete;
  EventSubscription& operator=(const EventSubscription&) = delete;

  // Tells the DVR the client is ready for its events (once per session; only
  // while connected). The DVR sends alarm and system events only to sessions
  // that have acknowledged.
  void Acknowledge();
  bool IsConnected() const { return state_ == State::kConnected; }
  bool HasEnded() const { return state_ == State::kEnded; }
  bool Acknowledged() const { return acknowledged_; }
  int32_t session() const { return session_; }
  const std::string& address() const { return address_; }

 private:
  enum class State { kConnecting, kHandshake, kConnected, kEnded };
  void OnTcpConnected();
  void OnLine(const std::string& line);
  void OnClosed(const std::string& reason);
  // Before "connected": connect_error, then disconnected. After: disconnected.
  void Fail(const std::string& reason);
  void End();
  std::string Where() const;

  std::string address_;
  int32_t port_;
  int32_t session_;
  std::string subscribe_;
  int32_t handshake_ms_;
  Handlers handlers_;
  State state_ = State::kConnecting;
  bool acknowledged_ = false;
  std::unique_ptr<LinkConnection> conn_;
  std::unique_ptr<Timer> handshake_timer_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::link
