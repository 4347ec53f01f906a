#include "dvrlink-onvif/link_server.h"

#include <poll.h>

#include <climits>
#include <stdexcept>

namespace dvrlink::onvif {
namespace {

const char* const kKindNames[] = {"command", "event", "live"};
// Live-port texts are short (docs/dvr-link.md: at most 4096 bytes).
constexpr size_t kMaxLiveLine = 4096;

}  // namespace

LinkServer::LinkServer(EventLoop& loop, LinkOps& ops, LinkServerOptions options)
    : loop_(&loop), ops_(&ops), options_(std::move(options)) {
  const uint16_t wanted[3] = {options_.command_port, options_.event_port, options_.live_port};
  for (int k = 0; k < 3; ++k) {
    std::string error;
    listen_fds_[k] = link::ListenOn(options_.bind_address, wanted[k], error);
    if (!listen_fds_[k].valid()) throw std::runtime_error(std::string(kKindNames[k]) + " port: " + error);
    ports_[k] = link::LocalPort(listen_fds_[k].get());
    watches_[k] = loop_->Watch(listen_fds_[k].get(), POLLIN, [this, k](short) { Accept(static_cast<Kind>(k)); });
  }
}

LinkServer::~LinkServer() {
  *alive_ = false;
  for (EventLoop::WatchId watch : watches_) {
    if (watch) loop_->Unwatch(watch);
  }
  peers_.clear();
}

void LinkServer::Log(const std::string& text) const {
  if (options_.log) options_.log(text);
}

void LinkServer::Accept(Kind kind) {
  Reap();
  while (true) {
    link::UniqueFd fd = link::AcceptOne(listen_fds_[kind].get());
    if (!fd.valid()) return;
    uint64_t id = next_peer_++;
    link::LinkConnection::Handlers h;
    h.line = [this, id](const std::string& line) { OnLine(id, line); };
    h.closed = [this, id, kind](const std::string& reason) {
      auto it = peers_.find(id);
      if (it != peers_.end() && it->second->session != 0) {
        Log(std::string(kKindNames[kind]) + " session " + std::to_string(it->second->session) + " ended: " + reason);
      }
      if (kind == kLive) ops_->LiveClosed(id);
      if (kind == kCommand && it != peers_.end() && it->second->session != 0) {
        ops_->CommandSessionClosed(it->second->session);
      }
      if (!reap_posted_) {
        reap_posted_ = true;
        std::weak_ptr<bool> alive = alive_;
        loop_->Post([this, alive] {
          if (!alive.lock()) return;
          reap_posted_ = false;
          Reap();
        });
      }
    };
    auto peer = std::make_unique<Peer>();
    peer->kind = kind;
    peer->conn = link::LinkConnection::Adopt(*loop_, std::move(fd), std::move(h),
                                             kind == kLive ? kMaxLiveLine : link::kMaxLineBytes);
    peers_[id] = std::move(peer);
    sent_[id] = 0;
  }
}

void LinkServer::Reap() {
  for (auto it = peers_.begin(); it != peers_.end();) {
    if (it->second->conn->IsOpen()) {
      ++it;
    } else {
      sent_.erase(it->first);
      it = peers_.erase(it);
    }
  }
}

void LinkServer::OnLine(uint64_t id, const std::string& line) {
  auto it = peers_.find(id);
  if (it == peers_.end()) return;
  Peer& peer = *it->second;
  if (peer.kind == kLive) {
    ops_->LiveLine(id, line);
    return;
  }
  std::string problem;
  std::optional<link::Message> message = link::ParseMessage(line, problem);
  if (!message || message->kind != link::Message::Kind::kRequest) {
    Log(std::string(kKindNames[peer.kind]) + " port: line answered with an error: " +
        (message ? "not a request" : problem) + ": " + link::Clip(line));
    size_t slot = sent_[id] + peer.outbox.size();
    peer.outbox.emplace_back();
    Fill(id, slot, {link::Serialize(link::MakeErrorReply(nullptr, link::kErrorMalformed,
                                                         message ? "not a request" : problem))});
    return;
  }
  OnRequest(id, peer, *message);
}

void LinkServer::OnRequest(uint64_t id, Peer& peer, const link::Message& request) {
  size_t slot = sent_[id] + peer.outbox.size();
  peer.outbox.emplace_back();
  try {
    if (peer.kind == kEvent) {
      EventRequest(id, peer, request, slot);
    } else {
      CommandRequest(id, peer, request, slot);
    }
  } catch (const link::FieldError& e) {
    Fill(id, slot, {link::Serialize(link::MakeErrorReply(request.body["id"], link::kErrorMalformed, e.what()))});
  }
}

void LinkServer::EventRequest(uint64_t peer_id, Peer& peer, const link::Message& request, size_t slot) {
  const Json& id = request.body["id"];
  auto error = [&](int code, const std::string& message) {
    Fill(peer_id, slot, {link::Serialize(link::MakeErrorReply(id, code, message))});
  };
  if (request.name == "connect") {
    auto session = static_cast<int32_t>(link::IntField(request.body, "session", 1, INT32_MAX));
    std::string subscribe = link::TextFieldOr(request.body, "subscribe", link::kSubscribeAlarms);
    if (subscribe != link::kSubscribeAlarms && subscribe != link::kSubscribeSystem) {
      return error(link::kErrorBadArgument, "unknown subscription '" + subscribe + "'");
    }
    if (peer.session != 0) return error(link::kErrorBadArgument, "this connection has its session already");
    std::string why;
    if (!ops_->TakesEventSessions(why)) {
      Log("event port: " + subscribe + " session " + std::to_string(session) + " refused: " + why);
      Json connect_error = link::MakeEvent("connect_error");
      connect_error["session"] = session;
      connect_error["error"] = why;
      Json gone = link::MakeEvent("disconnected");
      gone["session"] = session;
      Fill(peer_id, slot,
           {link::Serialize(link::MakeErrorReply(id, link::kErrorRefused, why)), link::Serialize(connect_error),
            link::Serialize(gone)});
      peer.conn->CloseAfterSending();
      return;
    }
    peer.session = session;
    peer.subscribe = subscribe;
    Log("event port: " + subscribe + " session " + std::to_string(session) + " opened");
    Json connected = link::MakeEvent("connected");
    connected["session"] = session;
    Fill(peer_id, slot, {link::Serialize(link::MakeReply(id, Json{{"session", session}})), link::Serialize(connected)});
    return;
  }
  if (request.name == "ack") {
    if (peer.session == 0) return error(link::kErrorNoSession, "no session on this connection: connect first");
    if (link::IntField(request.body, "session", INT32_MIN, INT32_MAX) != peer.session) {
      return error(link::kErrorNoSession, "not this connection's session");
    }
    if (!peer.acknowledged) {
      Log("event port: " + peer.subscribe + " session " + std::to_string(peer.session) + " acknowledged");
    }
    peer.acknowledged = true;
    Fill(peer_id, slot, {link::Serialize(link::MakeReply(id, Json::object()))});
    return;
  }
  error(link::kErrorUnknownOp, "unknown op '" + request.name + "'");
}

void LinkServer::CommandRequest(uint64_t peer_id, Peer& peer, const link::Message& request, size_t slot) {
  const Json id = request.body["id"];
  const int32_t session = peer.session;
  auto reply = [this, peer_id, slot, id, session](const LinkAnswer& a) {
    std::vector<std::string> lines;
    lines.push_back(link::Serialize(a.error_code ? link::MakeErrorReply(id, a.error_code, a.error_message)
                                                 : link::MakeReply(id, a.result)));
    for (const Json& event : a.events) lines.push_back(link::Serialize(event));
    std::function<void()> then;
    if (a.then) {
      LinkChannel channel;
      channel.server_ = this;
      channel.peer_ = peer_id;
      channel.session_ = session;
      channel.alive_ = alive_;
      then = [channel, run = a.then] { run(channel); };
    }
    Fill(peer_id, slot, std::move(lines), std::move(then));
  };
  if (request.name == "connect") {
    if (peer.session == 0) {
      peer.session = next_command_session_;
      next_command_session_ = next_command_session_ == INT32_MAX ? 1 : next_command_session_ + 1;
      Log("command port: session " + std::to_string(peer.session) + " opened");
    }
    LinkAnswer a;
    a.result = Json{{"session", peer.session}};
    return reply(a);
  }
  if (request.name != "version") {
    if (peer.session == 0) {
      return reply(LinkAnswer::Error(link::kErrorNoSession, "no session on this connection: connect first"));
    }
    int64_t session = link::IntField(request.body, "session", INT32_MIN, INT32_MAX);
    if (session != peer.session) {
      return reply(LinkAnswer::Error(link::kErrorNoSession,
                                     "session " + std::to_string(session) + " is not this connection's session"));
    }
  }
  std::weak_ptr<bool> alive = alive_;
  ops_->CommandOp(request.name, peer.session, request.body, [alive, reply](LinkAnswer a) {
    if (alive.lock()) reply(a);
  });
}

void LinkServer::Fill(uint64_t id, size_t slot, std::vector<std::string> lines, std::function<void()> then) {
  auto it = peers_.find(id);
  if (it == peers_.end()) return;  // the connection went meanwhile
  Peer& peer = *it->second;
  size_t& sent = sent_[id];
  if (slot < sent || slot - sent >= peer.outbox.size()) return;
  peer.outbox[slot - sent] = Slot{std::move(lines), std::move(then)};
  while (!peer.outbox.empty() && peer.outbox.front()) {
    for (const std::string& line : peer.outbox.front()->lines) peer.conn->Send(line);
    // Not inside this loop: what runs may send on the connection itself.
    if (peer.outbox.front()->then) loop_->Post(std::move(peer.outbox.front()->then));
    peer.outbox.pop_front();
    ++sent;
  }
}

link::LinkConnection* LinkServer::Connection(uint64_t id) const {
  auto it = peers_.find(id);
  return it != peers_.end() && it->second->conn->IsOpen() ? it->second->conn.get() : nullptr;
}

bool LinkChannel::Send(Json event) const {
  link::LinkConnection* conn = alive_.lock() ? server_->Connection(peer_) : nullptr;
  if (!conn) return false;
  event["session"] = session_;
  conn->Send(link::Serialize(event));
  return true;
}

size_t LinkChannel::PendingOutput() const {
  link::LinkConnection* conn = alive_.lock() ? server_->Connection(peer_) : nullptr;
  return conn ? conn->PendingOutput() : 0;
}

bool LinkChannel::Open() const { return alive_.lock() && server_->Connection(peer_) != nullptr; }

int LinkServer::Broadcast(const std::string& subscribe, Json event) {
  int sent = 0;
  for (auto& [id, peer] : peers_) {
    if (peer->kind != kEvent || !peer->conn->IsOpen() || !peer->acknowledged || peer->subscribe != subscribe) {
      continue;
    }
    event["session"] = peer->session;
    peer->conn->Send(link::Serialize(event));
    ++sent;
  }
  return sent;
}

int LinkServer::DropEventSessions() {
  int dropped = 0;
  for (auto& [id, peer] : peers_) {
    if (peer->kind != kEvent || !peer->conn->IsOpen()) continue;
    if (peer->session != 0) {
      Json gone = link::MakeEvent("disconnected");
      gone["session"] = peer->session;
      peer->conn->Send(link::Serialize(gone));
      ++dropped;
    }
    peer->conn->CloseAfterSending();
  }
  return dropped;
}

int LinkServer::ReadySessions(const std::string& subscribe) const {
  int ready = 0;
  for (const auto& [id, peer] : peers_) {
    if (peer->kind == kEvent && peer->conn->IsOpen() && peer->acknowledged && peer->subscribe == subscribe) ++ready;
  }
  return ready;
}

}  // namespace dvrlink::onvif
