#include "link/event_subscription.h"

#include "support/debug_log.h"
#include "support/support_state.h"

namespace dvrlink::link {
namespace {

constexpr const char* kSource = "DVR link, event session";
constexpr int64_t kConnectRequestId = 1;
constexpr int64_t kAckRequestId = 2;

}  // namespace

EventSubscription::EventSubscription(EventLoop& loop, std::string address, int32_t port, int32_t session,
                                     std::string subscribe, int32_t handshake_ms, Handlers handlers)
    : address_(std::move(address)),
      port_(port),
      session_(session),
      subscribe_(std::move(subscribe)),
      handshake_ms_(handshake_ms),
      handlers_(std::move(handlers)) {
  handshake_timer_ = std::make_unique<Timer>(loop, [this] {
    Fail("no answer from the DVR at " + Where() + " within " + std::to_string(handshake_ms_) + " ms");
  });
  handshake_timer_->SetInterval(handshake_ms_);
  handshake_timer_->SetEnabled(true);
  if (port_ <= 0 || port_ > 65535) {
    std::weak_ptr<bool> alive = alive_;
    loop.Post([this, alive] {
      if (alive.lock()) Fail("port " + std::to_string(port_) + " is not a TCP port");
    });
    return;
  }
  LinkConnection::Handlers h;
  h.connected = [this] { OnTcpConnected(); };
  h.line = [this](const std::string& line) { OnLine(line); };
  h.closed = [this](const std::string& reason) { OnClosed(reason); };
  conn_ = LinkConnection::Connect(loop, address_, static_cast<uint16_t>(port_), std::move(h), kMaxLineBytes);
}

EventSubscription::~EventSubscription() { *alive_ = false; }

std::string EventSubscription::Where() const { return Endpoint(address_, static_cast<uint16_t>(port_)); }

void EventSubscription::OnTcpConnected() {
  if (state_ != State::kConnecting) return;
  state_ = State::kHandshake;
  Json request = MakeRequest("connect", kConnectRequestId);
  request["session"] = session_;
  request["subscribe"] = subscribe_;
  conn_->Send(Serialize(request));
}

void EventSubscription::Acknowledge() {
  if (state_ != State::kConnected || acknowledged_) return;
  acknowledged_ = true;
  Json request = MakeRequest("ack", kAckRequestId);
  request["session"] = session_;
  conn_->Send(Serialize(request));
}

void EventSubscription::OnLine(const std::string& line) {
  std::string problem;
  std::optional<Message> message = ParseMessage(line, problem);
  if (!message) {
    LogError(kSource, "malformed line from the DVR at " + Where() + " ignored: " + problem + ": " + Clip(line), 0);
    return;
  }
  const Json& body = message->body;
  switch (message->kind) {
    case Message::Kind::kRequest:
      LogError(kSource, "request from the DVR at " + Where() + " ignored: " + Clip(line), 0);
      return;
    case Message::Kind::kReply: {
      auto error = body.find("error");
      if (error == body.end()) return;  // the events tell the outcome
      std::string text = "refused by the DVR";
      auto found = error->find("message");
      if (found != error->end() && found->is_string()) text = found->get<std::string>();
      if (body["id"] == Json(kConnectRequestId)) {
        Fail(text);
      } else {
        LogError(kSource, "the DVR at " + Where() + " answered an error: " + Clip(line), 0);
      }
      return;
    }
    case Message::Kind::kEvent:
      break;
  }
  if (message->name == "connected") {
    if (state_ != State::kHandshake) return;
    state_ = State::kConnected;
    handshake_timer_->SetEnabled(false);
    auto connected = handlers_.connected;
    if (connected) connected();
    return;
  }
  if (message->name == "connect_error") {
    std::string text = "refused by the DVR";
    auto found = body.find("error");
    if (found != body.end() && found->is_string()) text = found->get<std::string>();
    Fail(text);
    return;
  }
  if (message->name == "disconnected") {
    End();
    return;
  }
  if (state_ != State::kConnected) {
    WriteDebugLog(std::string(kSource) + "(" + Where() + ") event before the session was confirmed ignored: " +
                      Clip(line),
                  ModAllConst().iLogLevelDefault);
    return;
  }
  auto event = handlers_.event;
  if (event) event(*message, line);
}

void EventSubscription::OnClosed(const std::string& reason) {
  switch (state_) {
    case State::kConnecting:
      Fail(reason.rfind("cannot", 0) == 0 ? reason : "cannot connect to " + Where() + ": " + reason);
      return;
    case State::kHandshake:
      Fail("the DVR at " + Where() + " ended the connection before confirming the session: " + reason);
      return;
    case State::kConnected:
    case State::kEnded:
      End();
      return;
  }
}

void EventSubscription::Fail(const std::string& reason) {
  if (state_ == State::kEnded) return;
  if (state_ == State::kConnected) {
    End();
    return;
  }
  state_ = State::kEnded;
  handshake_timer_->SetEnabled(false);
  if (conn_) conn_->Close();
  std::shared_ptr<bool> alive = alive_;
  auto connect_error = handlers_.connect_error;
  if (connect_error) connect_error(reason);
  if (!*alive) return;
  auto disconnected = handlers_.disconnected;
  if (disconnected) disconnected();
}

void EventSubscription::End() {
  if (state_ == State::kEnded) return;
  state_ = State::kEnded;
  handshake_timer_->SetEnabled(false);
  if (conn_) conn_->Close();
  auto disconnected = handlers_.disconnected;
  if (disconnected) disconnected();
}

}  // namespace dvrlink::link
