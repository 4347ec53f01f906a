// libFuzzer target: arbitrary bytes from a DVR, read by the DVR link client. A loopback DVR
// sends each input down a command session and two subscriptions; now and then a call looks for
// its reply behind it. A connection an input ended is made again for the next one.
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/system_event_control.h"
#include "link/dvr_event_ctrl_client.h"
#include "link/dvr_remote_client.h"
#include "link/link_connection.h"
#include "platform/platform_state.h"
#include "support/runtime_error.h"

namespace dvrlink::fuzz {
namespace {

constexpr const char* kAddress = "127.0.0.1";

class FakeDvr {
 public:
  FakeDvr() : events_(Loop(), DvrLinkOptions()), system_(Loop(), DvrLinkOptions()) {
    Platform().program_folder = "/nonexistent-dvrlink-fuzz";  // logs are dropped
    std::string error;
    command_listener_ = link::ListenOn(kAddress, 0, error);
    event_listener_ = link::ListenOn(kAddress, 0, error);
    if (!command_listener_.valid() || !event_listener_.valid()) std::abort();
    Loop().Watch(event_listener_.get(), POLLIN, [this](short) { AcceptSubscription(); });
    events_.Start();  // no sinks: the events are read, queued and dropped
  }

  void Feed(const std::string& bytes, bool call) {
    if (!CommandPeerOpen()) ConnectCommand();
    if (!events_.IsSessionConnected(session_) || !system_.IsSubscribed()) ConnectSubscriptions();
    // The reply of the call comes after the input (request ids count up
    // from 2 after the connect).
    std::string line = bytes + "\n";
    if (call) line += R"({"id":)" + std::to_string(next_id_++) + R"(,"result":{}})" "\n";
    if (::send(command_peer_.get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) command_peer_.Reset();
    for (auto& conn : subscriptions_) conn->Send(bytes);
    try {
      if (call && command_peer_.valid()) remote_->TimeSync(remote_->Session(), DateTime::FromParts(2026, 12, 4));
    } catch (const RuntimeError&) {
      // a refusal, a time-out or a broken connection: all reported by raising
    }
    for (int i = 0; i < 3; ++i) Loop().RunOnce(0);
  }

 private:
  // The connect is a synchronous call: the command port answers it from a thread.
  void ConnectCommand() {
    DvrLinkOptions options;
    options.reply_timeout_ms = 50;  // an input may hide the reply
    remote_ = std::make_unique<DvrRemoteClient>(Loop(), options);
    next_id_ = 2;
    std::thread dvr([this] {
      pollfd p{command_listener_.get(), POLLIN, 0};
      link::UniqueFd peer = ::poll(&p, 1, 1000) == 1 ? link::AcceptOne(command_listener_.get()) : link::UniqueFd();
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      std::string request, error;
      while (peer.valid() && request.find('\n') == std::string::npos && link::WaitReadable(peer.get(), deadline) &&
             link::ReadAvailable(peer.get(), request, error) == link::ReadResult::kData) {
      }
      const std::string reply = R"({"id":1,"result":{"session":7}})" "\n";  // a new client's first request
      if (::send(peer.get(), reply.data(), reply.size(), MSG_NOSIGNAL) > 0) command_peer_ = std::move(peer);
    });
    int32_t session = 0;
    remote_->Connect(kAddress, static_cast<int16_t>(link::LocalPort(command_listener_.get())), "", session);
    dvr.join();
  }

  // Whether the client still holds the command connection (what it sent is dropped).
  bool CommandPeerOpen() {
    char buffer[4096];
    while (command_peer_.valid()) {
      ssize_t n = ::recv(command_peer_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) continue;
      if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) command_peer_.Reset();
      break;
    }
    return command_peer_.valid();
  }

  void ConnectSubscriptions() {
    int32_t port = link::LocalPort(event_listener_.get());
    events_.Close(session_);
    session_ = events_.Connect(kAddress, port);
    std::string address = kAddress;
    system_.Connect(nullptr, address, port);
    for (int i = 0; i < 200 && !(events_.IsSessionConnected(session_) && system_.IsSubscribed()); ++i) {
      Loop().RunOnce(5000);
    }
  }

  void AcceptSubscription() {
    link::UniqueFd fd = link::AcceptOne(event_listener_.get());
    if (!fd.valid()) return;
    link::LinkConnection::Handlers h;
    auto conn = std::make_shared<link::LinkConnection*>(nullptr);
    h.line = [conn](const std::string& line) {
      if (line.find(R"("op":"connect")") != std::string::npos) (*conn)->Send(R"({"event":"connected"})");
    };
    subscriptions_.push_back(link::LinkConnection::Adopt(Loop(), std::move(fd), std::move(h), link::kMaxLineBytes));
    *conn = subscriptions_.back().get();
    // Only the newest subscriptions are fed; older ones were replaced.
    if (subscriptions_.size() > 2) subscriptions_.erase(subscriptions_.begin());
  }

  link::UniqueFd command_listener_, event_listener_, command_peer_;
  std::unique_ptr<DvrRemoteClient> remote_;
  DvrEventCtrlClient events_;
  SystemEventControl system_;
  int32_t session_ = 0;
  int64_t next_id_ = 2;
  std::vector<std::unique_ptr<link::LinkConnection>> subscriptions_;
};

}  // namespace
}  // namespace dvrlink::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static dvrlink::fuzz::FakeDvr dvr;
  // Every fourth input or so also makes a call that reads its way through the lines.
  dvr.Feed(std::string(reinterpret_cast<const char*>(data), size), size > 0 && data[0] % 4 == 0);
  return 0;
}
