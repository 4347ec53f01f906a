// libFuzzer target: arbitrary bytes from a DVR, read by the DVR link client. A loopback DVR
// sends each input down two subscriptions and a fresh command session, there both inside a
// call (ahead of its reply) and outside one.
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

  void Feed(const std::string& bytes) {
    if (!events_.IsSessionConnected(session_) || !system_.IsSubscribed()) ConnectSubscriptions();
    for (auto& conn : subscriptions_) conn->Send(bytes);
    ConnectCommand();
    // Ahead of the time sync's reply (request 2 after the connect) and after it.
    const std::string lines = bytes + "\n" R"({"id":2,"result":{}})" "\n" + bytes + "\n";
    ::send(command_peer_.get(), lines.data(), lines.size(), MSG_NOSIGNAL);
    try {
      remote_->TimeSync(remote_->Session(), DateTime::FromParts(2026, 12, 4));
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
    std::thread dvr([this] {
      pollfd p{command_listener_.get(), POLLIN, 0};
      command_peer_ = ::poll(&p, 1, 1000) == 1 ? link::AcceptOne(command_listener_.get()) : link::UniqueFd();
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      std::string request, error;
      while (command_peer_.valid() && request.find('\n') == std::string::npos &&
             link::WaitReadable(command_peer_.get(), deadline) &&
             link::ReadAvailable(command_peer_.get(), request, error) == link::ReadResult::kData) {
      }
      const std::string reply = R"({"id":1,"result":{"session":7,"version":"1"}})" "\n";
      ::send(command_peer_.get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    });
    int32_t session = 0;
    remote_->Connect(kAddress, static_cast<int16_t>(link::LocalPort(command_listener_.get())), "", session);
    dvr.join();
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
  std::vector<std::unique_ptr<link::LinkConnection>> subscriptions_;
};

}  // namespace
}  // namespace dvrlink::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static dvrlink::fuzz::FakeDvr dvr;
  dvr.Feed(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
