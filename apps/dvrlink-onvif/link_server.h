// The DVR link (docs/dvr-link.md) served on three ports, command, event and
// live, for a DVR that answers through someone else: each op is handed to a
// LinkOps whose answer may come later (after a device round trip); replies
// still leave each connection in the order of its requests. Event sessions
// are numbered by the client, acknowledged with "ack", and receive the
// events of their subscription ("alarms" or "system") only after that.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "link/link_connection.h"
#include "link/link_protocol.h"
#include "platform/event_loop.h"

namespace dvrlink::onvif {

using link::Json;

// Error code of a reply when the device failed the op (or does not answer).
inline constexpr int kErrorDevice = 8;

class LinkServer;

// Where a command session's events go after a reply (a retrieval's stream).
// A default-made channel, or one whose connection has gone, takes nothing.
class LinkChannel {
 public:
  LinkChannel() = default;
  // Queues the event (with the channel's session); false when the
  // connection is gone.
  bool Send(Json event) const;
  // Bytes queued and not yet taken by the socket (0 when gone).
  size_t PendingOutput() const;
  bool Open() const;
  int32_t session() const { return session_; }

 private:
  friend class LinkServer;
  LinkServer* server_ = nullptr;  // not owned
  uint64_t peer_ = 0;
  int32_t session_ = 0;
  std::weak_ptr<bool> alive_;
};

// An op's outcome: a result object, or an error code of the protocol and its
// message; events to send on the same connection right after the reply.
struct LinkAnswer {
  Json result = Json::object();
  int error_code = 0;
  std::string error_message;
  std::vector<Json> events;
  // Runs on the loop once the reply and its events are queued, with the
  // channel for the events that follow later.
  std::function<void(LinkChannel)> then;

  static LinkAnswer Error(int code, std::string message) {
    LinkAnswer a;
    a.error_code = code;
    a.error_message = std::move(message);
    return a;
  }
};

class LinkOps {
 public:
  using Answer = std::function<void(LinkAnswer)>;
  virtual ~LinkOps() = default;
  // Whether new event sessions are taken now; why not in `why`.
  virtual bool TakesEventSessions(std::string& why) = 0;
  // Command-port ops after the session check: version, timesync,
  // generate_alarm, stop_alarm, and any other name (answered "not
  // implemented" by default). answer may run later, from the loop.
  virtual void CommandOp(const std::string& op, int32_t session, const Json& body, Answer answer) = 0;
  // One line of a live-port connection (connection ids start at 1).
  virtual void LiveLine(uint64_t connection, const std::string& line) = 0;
  virtual void LiveClosed(uint64_t connection) = 0;
  // The connection of a command session has closed.
  virtual void CommandSessionClosed(int32_t /*session*/) {}
};

struct LinkServerOptions {
  std::string bind_address = "127.0.0.1";
  uint16_t command_port = 0;  // 0 picks a free port
  uint16_t event_port = 0;
  uint16_t live_port = 0;
  std::function<void(const std::string&)> log;
};

class LinkServer {
 public:
  // Opens the three ports; raises std::runtime_error when one cannot be
  // opened. ops and loop must outlive the server.
  LinkServer(EventLoop& loop, LinkOps& ops, LinkServerOptions options);
  ~LinkServer();
  LinkServer(const LinkServer&) = delete;
  LinkServer& operator=(const LinkServer&) = delete;

  uint16_t command_port() const { return ports_[0]; }
  uint16_t event_port() const { return ports_[1]; }
  uint16_t live_port() const { return ports_[2]; }

  // Sends the event to every acknowledged session of the subscription;
  // returns how many got it.
  int Broadcast(const std::string& subscribe, Json event);
  // Every event session gets "disconnected" and its connection is closed.
  int DropEventSessions();
  // Acknowledged sessions of a subscription.
  int ReadySessions(const std::string& subscribe) const;

 private:
  friend class LinkChannel;
  enum Kind { kCommand = 0, kEvent = 1, kLive = 2 };
  // A reply's lines and what runs once they are queued.
  struct Slot {
    std::vector<std::string> lines;
    std::function<void()> then;
  };
  struct Peer {
    Kind kind;
    std::unique_ptr<link::LinkConnection> conn;
    int32_t session = 0;
    std::string subscribe;
    bool acknowledged = false;
    // Replies (and the events after them) in request order; an empty slot
    // waits for its op.
    std::deque<std::optional<Slot>> outbox;
  };

  void Accept(Kind kind);
  void OnLine(uint64_t id, const std::string& line);
  void OnRequest(uint64_t id, Peer& peer, const link::Message& request);
  void EventRequest(uint64_t id, Peer& peer, const link::Message& request, size_t slot);
  void CommandRequest(uint64_t id, Peer& peer, const link::Message& request, size_t slot);
  // Fills the slot (counted from the peer's first ever slot) and sends what
  // is ready.
  void Fill(uint64_t id, size_t slot, std::vector<std::string> lines, std::function<void()> then = nullptr);
  link::LinkConnection* Connection(uint64_t id) const;
  void Reap();
  void Log(const std::string& text) const;

  EventLoop* loop_;  // not owned
  LinkOps* ops_;     // not owned
  LinkServerOptions options_;
  uint16_t ports_[3] = {0, 0, 0};
  link::UniqueFd listen_fds_[3];
  EventLoop::WatchId watches_[3] = {0, 0, 0};
  std::map<uint64_t, std::unique_ptr<Peer>> peers_;
  // Slots already sent per peer (so a late answer finds its place).
  std::map<uint64_t, size_t> sent_;
  uint64_t next_peer_ = 1;
  int32_t next_command_session_ = 1;
  bool reap_posted_ = false;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::onvif
