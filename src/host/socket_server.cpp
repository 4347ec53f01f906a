#include "host/socket_server.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "platform/platform_state.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

constexpr int16_t kMaxIndex = 32767;
constexpr size_t kReadChunk = 64 * 1024;
// Read at most this much from one client per wake-up, so one busy client
// cannot hold the loop.
constexpr size_t kReadPerWakeup = 1024 * 1024;
constexpr int kAcceptPerWakeup = 64;
// Addresses whose refusals are counted one by one; refusals from further
// addresses share one count.
constexpr size_t kMaxRefusedAddresses = 1024;

// The address of "a.b.c.d:port" or "[v6]:port", without the port.
std::string HostOf(const std::string& peer_text) {
  size_t colon = peer_text.rfind(':');
  std::string host = colon == std::string::npos ? peer_text : peer_text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  return host;
}

std::string SecondsText(int32_t ms) {
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

int16_t Level() {
  int16_t level = ModAllConst().iLogLevelDefault;
  return level > 0 ? level : 8;
}

// Whether the text is a retrieval grant notice (45 or 46 followed by the
// separator).
bool IsGrantNotice(const std::string& text) {
  return text.size() >= 3 && (text.compare(0, 2, "45") == 0 || text.compare(0, 2, "46") == 0) &&
         text[2] == SocketServer::kSeparator;
}

}  // namespace

int16_t NextClientIndex(int16_t last, const std::set<int16_t>& in_use) {
  int32_t candidate = last;
  for (int32_t tries = 0; tries < kMaxIndex; ++tries) {
    candidate = candidate >= kMaxIndex || candidate < 1 ? 1 : candidate + 1;
    if (in_use.count(static_cast<int16_t>(candidate)) == 0) return static_cast<int16_t>(candidate);
  }
  return 0;
}

BlockCut CutBlocks(std::string& data, char end_marker, size_t max_block) {
  BlockCut cut;
  size_t last_end = data.rfind(end_marker);
  if (last_end == std::string::npos) return cut;
  std::string block;
  size_t piece_start = 0;
  while (piece_start <= last_end) {
    size_t piece_end = data.find(end_marker, piece_start);  // never npos up to last_end
    size_t length = piece_end - piece_start + 1;
    if (length > max_block) {
      if (!block.empty()) cut.blocks.push_back(std::move(block));
      block.clear();
      cut.oversized.push_back(length);
    } else {
      if (block.size() + length > max_block) {
        cut.blocks.push_back(std::move(block));
        block.clear();
      }
      block.append(data, piece_start, length);
    }
    piece_start = piece_end + 1;
  }
  if (!block.empty()) cut.blocks.push_back(std::move(block));
  data.erase(0, last_end + 1);
  return cut;
}

SocketServer::SocketServer(SocketServerOptions options)
    : options_(std::move(options)), refusal_timer_(Loop(), [this] { LogRefusalCounts(); }) {
  refusal_timer_.SetInterval(options_.refusal_log_ms);
}

SocketServer::~SocketServer() {
  *alive_ = false;
  for (auto& [index, client] : clients_) {
    Loop().Unwatch(client->watch);
    client->closed = true;
  }
  clients_.clear();
  CloseListener();
}

std::string SocketServer::LogPrefix(const char* procedure) const {
  return std::string("clsWinSockServer, ") + procedure + "(" + std::to_string(bound_port_) + ")";
}

void SocketServer::CloseListener() {
  accept_pause_.reset();
  if (listener_watch_ != 0) Loop().Unwatch(listener_watch_);
  listener_watch_ = 0;
  listener_.Reset();
  bound_port_ = 0;
}

void SocketServer::Connect(IDataArrivalReceiver* receiver, const std::string& sRemoteHost, int16_t port,
                           const std::string& dvrIP, int32_t lLogLevel, bool blnDebugMode) {
  receiver_ = receiver;
  remote_host_ = sRemoteHost;
  dvr_ip_ = dvrIP;
  log_level_ = lLogLevel;
  debug_mode_ = blnDebugMode;
  CloseListener();
  if (port < 0) DVR_RAISE_TEXT(kErrInvalidCall, "listening port " + std::to_string(port) + " is not a port");
  std::string address = options_.listen_address.empty() ? "0.0.0.0" : options_.listen_address;
  std::optional<sockaddr_storage> where = net::ParseSocketAddress(address, static_cast<uint16_t>(port));
  if (!where) DVR_RAISE_TEXT(kErrInvalidCall, "listen address '" + address + "' is not a numeric address");
  net::UniqueFd fd(::socket(where->ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd.valid()) DVR_RAISE_TEXT(kErrInvalidCall, "cannot create a socket: " + net::ErrorText(errno));
  int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  socklen_t length = where->ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  std::string target = net::SocketAddressText(*where);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*where), length) != 0) {
    DVR_RAISE_TEXT(kErrInvalidCall, "cannot listen on " + target + ": " + net::ErrorText(errno));
  }
  if (::listen(fd.get(), SOMAXCONN) != 0) {
    DVR_RAISE_TEXT(kErrInvalidCall, "cannot listen on " + target + ": " + net::ErrorText(errno));
  }
  sockaddr_storage bound{};
  socklen_t bound_length = sizeof bound;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&bound), &bound_length);
  bound_port_ = bound.ss_family == AF_INET ? ntohs(reinterpret_cast<sockaddr_in*>(&bound)->sin_port)
                                           : ntohs(reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  listener_ = std::move(fd);
  std::weak_ptr<SocketServer> weak = weak_from_this();
  SocketServer* self = this;
  listener_watch_ = Loop().Watch(listener_.get(), POLLIN, [weak, self](short) {
    // Servers made without shared ownership (tests on the stack) are
    // reached directly; they outlive their watches.
    std::shared_ptr<SocketServer> keep = weak.lock();
    self->OnAcceptReady();
  });
  accept_pause_ = std::make_unique<net::AcceptPause>(Loop(), listener_watch_);
  WriteDebugLog(LogPrefix("Connect") + " listening on " + net::SocketAddressText(bound) + ", sRemoteHost=" +
                    sRemoteHost + ", DVR IP=" + dvrIP + ", blnDebugMode=" + BoolText(blnDebugMode),
                Level());
}

void SocketServer::UpdateMainForm(const std::string& text) {
  main_form_text_ = text;
  WriteDebugLog(LogPrefix("UpdateMainForm") + " " + text, Level());
}

void SocketServer::DebugModeOnOff(bool blnDebugMode, int32_t lDebugFlags) {
  debug_mode_ = blnDebugMode;
  debug_flags_ = lDebugFlags;
  WriteDebugLog(LogPrefix("DebugModeOnOff") + " blnDebugMode=" + BoolText(blnDebugMode) +
                    ", lDebugFlags=" + std::to_string(lDebugFlags),
                Level());
}

void SocketServer::OnAcceptReady() {
  for (int i = 0; i < kAcceptPerWakeup && listener_.valid(); ++i) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    int raw = ::accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (raw < 0) {
      int error = errno;
      if (error == EINTR) continue;
      if (accept_pause_->Failed(error, [&] {
            WriteDebugLogAlways(LogPrefix("Accept") + " ??? ERROR, " + net::ErrorText(error) + " (" +
                                std::to_string(clients_.size()) +
                                " client(s) connected): new clients wait until a descriptor is free");
          })) {
        return;
      }
      if (error != EAGAIN && error != EWOULDBLOCK && error != ECONNABORTED) {
        WriteDebugLogAlways(LogPrefix("Accept") + " ??? ERROR, " + net::ErrorText(error));
      }
      return;
    }
    if (accept_pause_->Succeeded()) WriteDebugLogAlways(LogPrefix("Accept") + " accepting clients again");
    net::UniqueFd fd(raw);
    std::string peer_text = net::SocketAddressText(peer);
    if (!options_.allowed_clients.Accepts(peer)) {
      ++refused_clients_;
      LogRefusal(peer_text);
      continue;  // fd closes here
    }
    std::set<int16_t> in_use;
    for (const auto& entry : clients_) in_use.insert(entry.first);
    int16_t index = NextClientIndex(last_index_, in_use);
    if (index == 0) {
      WriteDebugLogAlways(LogPrefix("Accept") + " refused client " + peer_text + ": every index is in use");
      continue;
    }
    last_index_ = index;
    auto client = std::make_shared<Client>();
    client->index = index;
    client->fd = std::move(fd);
    client->peer = peer_text;
    std::weak_ptr<Client> weak_client = client;
    std::weak_ptr<SocketServer> weak = weak_from_this();
    SocketServer* self = this;
    client->watch = Loop().Watch(client->fd.get(), POLLIN, [weak, self, weak_client](short revents) {
      std::shared_ptr<SocketServer> keep = weak.lock();
      std::shared_ptr<Client> c = weak_client.lock();
      if (c && !c->closed) self->OnClientReady(c, revents);
    });
    clients_[index] = client;
    WriteDebugLog(LogPrefix("Accept") + " client " + std::to_string(index) + " connected from " + peer_text, Level());
  }
}

void SocketServer::OnClientReady(const std::shared_ptr<Client>& client, short revents) {
  if (revents & POLLOUT) Flush(client);
  if (client->closed) return;
  if (revents & (POLLIN | POLLHUP | POLLERR)) {
    ReadResult result = ReadAvailable(client);
    if (options_.half_frame_timeout_ms > 0 && result == ReadResult::kOpen) {
      // Each arrival restarts the wait; a frame completed ends it.
      if (!client->half_frame) {
        std::weak_ptr<Client> weak = client;
        client->half_frame = std::make_unique<Timer>(Loop(), [this, weak] {
          if (std::shared_ptr<Client> c = weak.lock()) {
            CloseClient(c, "disconnected: part of a frame and nothing more for " +
                               SecondsText(options_.half_frame_timeout_ms), true);
          }
        });
        client->half_frame->SetInterval(options_.half_frame_timeout_ms);
      }
      client->half_frame->SetEnabled(client->since_end > 0);
    }
    Deliver(client);
    if (result == ReadResult::kOverlong) {
      CloseClient(client, "disconnected: more than " + std::to_string(kMaxUnterminated) +
                              " bytes without an end marker",
                  true);
    } else if (result == ReadResult::kGone) {
      CloseClient(client, "disconnected", false);
    }
  }
}

SocketServer::ReadResult SocketServer::ReadAvailable(const std::shared_ptr<Client>& client) {
  char buffer[kReadChunk];
  size_t total = 0;
  while (total < kReadPerWakeup) {
    ssize_t n = ::recv(client->fd.get(), buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return ReadResult::kOpen;
      WriteDebugLog(LogPrefix("DataArrival") + " client " + std::to_string(client->index) +
                        " read failed: " + net::ErrorText(errno),
                    Level());
      return ReadResult::kGone;
    }
    if (n == 0) return ReadResult::kGone;
    total += static_cast<size_t>(n);
    // Track the stretch since the last end marker. On a breach, what was
    // complete before it is still delivered; the rest is thrown away.
    const char* p = buffer;
    const char* end = buffer + n;
    while (p < end) {
      const void* found = std::memchr(p, kEnd, static_cast<size_t>(end - p));
      const char* stop = found ? static_cast<const char*>(found) : end;
      client->since_end += static_cast<size_t>(stop - p);
      if (client->since_end > kMaxUnterminated) {
        client->input.append(buffer, static_cast<size_t>(p - buffer));
        return ReadResult::kOverlong;
      }
      if (found) {
        client->since_end = 0;
        p = stop + 1;
      } else {
        p = end;
      }
    }
    client->input.append(buffer, static_cast<size_t>(n));
    // A short read emptied the socket: the next poll tells of more, which
    // saves the read that would only say EAGAIN.
    if (static_cast<size_t>(n) < sizeof buffer) return ReadResult::kOpen;
  }
  return ReadResult::kOpen;
}

void SocketServer::Deliver(const std::shared_ptr<Client>& client) {
  // A delivery of this client already on the stack (the component waits in
  // Delay) picks up what arrived meanwhile once its block is handled, so
  // the client's blocks reach the component in order.
  if (client->delivering) return;
  client->delivering = true;
  std::vector<std::string> pending;
  size_t next = 0;  // the first block of pending not yet handed over
  try {
    while (true) {
      if (next == pending.size()) {
        BlockCut cut = CutBlocks(client->input, kEnd, kMaxBlock);
        for (size_t length : cut.oversized) {
          WriteDebugLogAlways(LogPrefix("DataArrival") + " ??? ERROR, client " + std::to_string(client->index) +
                              " sent a frame of " + std::to_string(length) +
                              " characters, more than a block holds (" + std::to_string(kMaxBlock) + "); dropped");
        }
        if (cut.blocks.empty()) break;
        pending = std::move(cut.blocks);
        next = 0;
      }
      IDataArrivalReceiver* receiver = receiver_;
      if (receiver == nullptr) break;  // closed meanwhile
      std::string block = std::move(pending[next++]);
      receiver->Callback(201, client->index, block);
    }
  } catch (...) {
    client->delivering = false;
    throw;
  }
  client->delivering = false;
}

// Output waits for the end of the loop round and leaves with the rest of the
// round's output (the log lines before it in one write); per client in the
// order written.
void SocketServer::Write(const std::shared_ptr<Client>& client, std::initializer_list<std::string_view> pieces) {
  if (client->closed) return;
  for (std::string_view piece : pieces) client->output += piece;
  if (client->writable_wait) {
    if (client->output.size() > kMaxPendingOutput) {
      CloseClient(client, "disconnected: it does not read what is sent to it", true);
    }
    return;
  }
  if (flush_due_) return;
  flush_due_ = true;
  std::weak_ptr<SocketServer> weak = weak_from_this();
  Loop().BeforeNextWait([weak] {
    if (std::shared_ptr<SocketServer> self = weak.lock()) self->FlushAll();
  });
}

void SocketServer::FlushAll() {
  flush_due_ = false;
  std::vector<std::shared_ptr<Client>> due;
  for (const auto& entry : clients_) {
    if (!entry.second->output.empty() && !entry.second->writable_wait) due.push_back(entry.second);
  }
  for (const auto& client : due) Flush(client);
}

void SocketServer::Flush(const std::shared_ptr<Client>& client) {
  if (client->closed) return;
  if (!client->output.empty()) {
    long n = net::SendSome(client->fd.get(), client->output.data(), client->output.size());
    if (n < 0) {
      CloseClient(client, "send failed: " + net::ErrorText(errno), false);
      return;
    }
    client->output.erase(0, static_cast<size_t>(n));
  }
  const bool wait = !client->output.empty();
  if (wait && client->output.size() > kMaxPendingOutput) {
    CloseClient(client, "disconnected: it does not read what is sent to it", true);
    return;
  }
  if (wait != client->writable_wait) {
    client->writable_wait = wait;
    Loop().SetWatchEvents(client->watch, wait ? POLLIN | POLLOUT : POLLIN);
  }
}

void SocketServer::CloseClient(const std::shared_ptr<Client>& client, const std::string& why, bool always_log) {
  if (client->closed) return;
  // What the round wrote for it still goes, as far as the socket takes it.
  if (!client->output.empty() && !client->writable_wait) {
    net::SendSome(client->fd.get(), client->output.data(), client->output.size());
  }
  client->closed = true;
  client->half_frame.reset();
  Loop().Unwatch(client->watch);
  client->fd.Reset();
  clients_.erase(client->index);
  if (accept_pause_) accept_pause_->Resume();
  std::string line = LogPrefix("Close") + " client " + std::to_string(client->index) + " (" + client->peer + ") " + why;
  if (always_log) {
    WriteDebugLogAlways(line);
  } else {
    WriteDebugLog(line, Level());
  }
  if (grant_client_ == client->index) {
    grant_client_ = 0;
    // The grant is outstanding while the form has not been told the
    // retrieval is done (command 47) or reset.
    bool outstanding = true;
    const auto& forms = ModDvrlink().oFrmMainTemplate;
    int32_t form_index = dvr_current_ - 1;
    if (form_index >= 0 && static_cast<size_t>(form_index) < forms.size() && forms[static_cast<size_t>(form_index)]) {
      outstanding = !forms[static_cast<size_t>(form_index)]->blnVideoRequestGranted;
    }
    if (outstanding) {
      ReleaseGrant(client->index,
                   "client " + std::to_string(client->index) + " disconnected while holding the retrieval grant");
    }
  }
}

void SocketServer::ReleaseGrant(int16_t index, const std::string& why) {
  WriteDebugLogAlways(LogPrefix("ReleaseGrant") + " " + why + ": the component gets command 47 for client " +
                      std::to_string(index));
  std::weak_ptr<bool> alive = alive_;
  Loop().Post([this, alive, index] {
    std::shared_ptr<bool> live = alive.lock();
    if (!live || !*live || receiver_ == nullptr) return;
    int16_t outer = releasing_index_;
    releasing_index_ = index;
    try {
      receiver_->Callback(201, index, std::string(1, kStart) + "47" + std::string(1, kEnd));
    } catch (...) {
      releasing_index_ = outer;
      throw;
    }
    releasing_index_ = outer;
  });
}

std::string SocketServer::PeerOf(int16_t index) const {
  auto it = clients_.find(index);
  return it == clients_.end() ? std::string() : it->second->peer;
}

void SocketServer::SendFramed(const char* procedure, int16_t index, const std::string& text) {
  auto it = clients_.find(index);
  if (it == clients_.end() || it->second->closed) {
    if (index == releasing_index_) {
      WriteDebugLog(LogPrefix(procedure) + " reply to the grant release dropped: " + text, Level());
      return;
    }
    WriteDebugLogAlways(LogPrefix(procedure) + " client " + std::to_string(index) + " is gone; text dropped: " +
                        text);
    return;
  }
  std::shared_ptr<Client> client = it->second;
  if (IsGrantNotice(text)) {
    grant_client_ = index;
    grant_since_micros_ = Loop().NowMicros();
  }
  Write(client, {std::string_view(&kStart, 1), text, std::string_view(&kEnd, 1)});
}

void SocketServer::LogRefusal(const std::string& peer_text) {
  std::string host = HostOf(peer_text);
  auto it = refusals_.find(host);
  if (it != refusals_.end()) {
    ++it->second;
    return;
  }
  if (refusals_.size() >= kMaxRefusedAddresses) {
    ++refusals_[""];
    return;
  }
  refusals_[host] = 0;
  WriteDebugLogAlways(LogPrefix("Accept") + " refused client " + peer_text + ": not in allowed_clients");
  if (!refusal_timer_.Enabled()) refusal_timer_.SetEnabled(true);
}

void SocketServer::LogRefusalCounts() {
  // An address refused again since its last line gets one more line, with
  // the count, and stays counted; a quiet one is forgotten.
  for (auto it = refusals_.begin(); it != refusals_.end();) {
    if (it->second == 0) {
      it = refusals_.erase(it);
      continue;
    }
    WriteDebugLogAlways(LogPrefix("Accept") + " refused " + std::to_string(it->second) + " more connection(s) from " +
                        (it->first.empty() ? std::string("other addresses") : it->first) + " in the last " +
                        SecondsText(options_.refusal_log_ms) + ": not in allowed_clients");
    it->second = 0;
    ++it;
  }
  if (refusals_.empty()) refusal_timer_.SetEnabled(false);
}

void SocketServer::CommandDone(int16_t index, const std::string& text) { SendFramed("CommandDone", index, text); }

void SocketServer::CurrentVideoFile(int16_t index, const std::string& text) {
  SendFramed("CurrentVideoFile", index, text);
}

void SocketServer::GetVideoProgress(int16_t index, const std::string& text) {
  SendFramed("GetVideoProgress", index, text);
}

void SocketServer::GetAlarmListProgress(int16_t index, const std::string& text) {
  SendFramed("GetAlarmListProgress", index, text);
}

void SocketServer::SendCommand(const std::string& text) {
  // A copy: a failed write closes its client and changes the map.
  std::vector<std::shared_ptr<Client>> targets;
  for (const auto& entry : clients_) targets.push_back(entry.second);
  for (const auto& client : targets) Write(client, {text});
  WriteDebugLog(LogPrefix("SendCommand") + " to " + std::to_string(targets.size()) + " client(s): " + text, Level());
  if (send_observer_) send_observer_(text);
}

void SocketServer::DeviceFormClose() {
  WriteDebugLog(LogPrefix("DeviceFormClose") + " closing the listener and " + std::to_string(clients_.size()) +
                    " client(s)",
                Level());
  receiver_ = nullptr;
  std::vector<std::shared_ptr<Client>> all;
  for (const auto& entry : clients_) all.push_back(entry.second);
  for (const auto& client : all) CloseClient(client, "closed at shut-down", false);
  CloseListener();
}

std::vector<int16_t> SocketServer::ClientIndexes() const {
  std::vector<int16_t> indexes;
  for (const auto& entry : clients_) indexes.push_back(entry.first);
  return indexes;
}

}  // namespace dvrlink
