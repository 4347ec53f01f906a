// "TarvonWinSockServer.clsWinSockServer": the TCP server through which the
// host's client workstations reach one component instance.
//
// Wire rules:
//   - Every accepted client gets an index 1..32767 (never 0): one more than
//     the last index given, wrapping from 32767 to 1, skipping indexes still
//     in use.
//   - Bytes are characters (Latin-1): nothing is decoded or re-encoded.
//   - Received data goes to the receiver's Callback(201, index, block) cut
//     after the last end marker (character 25) received so far, in blocks of
//     at most kMaxBlock characters that end at frame ends. Bytes after the last
//     end marker wait for more data; they reach the component as leading
//     text of the next block, which the frame splitter skips.
//   - A stretch of more than kMaxUnterminated bytes without an end marker
//     disconnects that client (logged). A single frame longer than kMaxBlock
//     cannot be delivered whole within the limit: it is dropped, logged. A
//     client that has sent part of a frame and then nothing for
//     half_frame_timeout_ms is disconnected (logged); an idle client with
//     nothing pending stays.
//   - A refused client (allow-list) is logged once per address, then counted:
//     one line per address and refusal_log_ms with the count.
//   - Out of file descriptors, the listener rests (net::AcceptPause): the
//     waiting clients are taken once a client leaves, logged once per run.
//   - CommandDone, CurrentVideoFile, GetVideoProgress and GetAlarmListProgress
//     send start char + text + end char to one client; to a client that is
//     gone the text is dropped with a log line and nothing is raised.
//   - SendCommand texts are already framed: they go unchanged to every
//     connected client, and to the send observer (the service's host sink).
//   - A client that disconnects while it holds the retrieval grant (it was
//     sent notice 45 or 46 and the form has not been told the retrieval is
//     done) gives the grant back: the component is sent, from the loop, the
//     frame of command 47 under that client's index, as if the client had
//     sent it last; the release is logged and the reply dropped quietly.
//
// Everything runs on the message loop (Loop()); deliveries may nest when
// the component waits in Delay while handling a block.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "component/host_components.h"
#include "platform/event_loop.h"
#include "platform/net/accept_pause.h"
#include "platform/net/address_filter.h"
#include "platform/net/fd.h"

namespace dvrlink {

struct SocketServerOptions {
  // Numeric address to listen on; empty: every IPv4 address (0.0.0.0).
  std::string listen_address;
  // Clients accepted; empty: everyone. Others are closed at once and logged.
  net::AddressFilter allowed_clients;
  // 0: a client holding part of a frame is never disconnected for it.
  int32_t half_frame_timeout_ms = 300000;
  int32_t refusal_log_ms = 60000;
};

// The index after `last` (1..32767, wrapping to 1) that is not in use; 0 when
// every index is in use.
int16_t NextClientIndex(int16_t last, const std::set<int16_t>& in_use);

// Cuts received text into deliverable blocks: everything up to and including
// the last end marker, in blocks of at most max_block characters that end at
// an end marker. Pieces (text up to and including one end marker) longer than
// max_block are returned in `oversized` instead. `data` keeps the text after
// the last end marker.
struct BlockCut {
  std::vector<std::string> blocks;
  std::vector<size_t> oversized;  // lengths of the pieces dropped
};
BlockCut CutBlocks(std::string& data, char end_marker, size_t max_block);

class SocketServer : public ISocketServer, public std::enable_shared_from_this<SocketServer> {
 public:
  static constexpr size_t kMaxBlock = 32767;
  static constexpr size_t kMaxUnterminated = 64 * 1024;
  // Output a client has not read yet beyond this closes it (it stopped reading).
  static constexpr size_t kMaxPendingOutput = 4 * 1024 * 1024;
  static constexpr char kStart = 24;
  static constexpr char kEnd = 25;
  static constexpr char kSeparator = 26;

  explicit SocketServer(SocketServerOptions options = {});
  ~SocketServer() override;
  SocketServer(const SocketServer&) = delete;
  SocketServer& operator=(const SocketServer&) = delete;

  // ISocketServer.
  void set_m_DVRCurrent(int16_t value) override { dvr_current_ = value; }
  // Listens on port (0: a free port the system picks, see BoundPort). A port
  // that cannot be bound raises RuntimeError 5 naming the address and reason.
  void Connect(IDataArrivalReceiver* receiver, const std::string& sRemoteHost, int16_t port,
               const std::string& dvrIP, int32_t lLogLevel, bool blnDebugMode) override;
  void UpdateMainForm(const std::string& text) override;
  void DebugModeOnOff(bool blnDebugMode, int32_t lDebugFlags) override;
  void CommandDone(int16_t index, const std::string& text) override;
  void CurrentVideoFile(int16_t index, const std::string& text) override;
  void GetVideoProgress(int16_t index, const std::string& text) override;
  void GetAlarmListProgress(int16_t index, const std::string& text) override;
  void SendCommand(const std::string& text) override;
  // Closes the listener and every client; deliveries stop.
  void DeviceFormClose() override;

  // Called with every SendCommand text.
  void SetSendObserver(std::function<void(const std::string&)> observer) { send_observer_ = std::move(observer); }

  // Hands the component the frame of command 47 under `index` (0: no
  // client), from the loop, with a log line naming `why`; the reply to it is
  // dropped quietly. The release a departing grant holder gets, and the
  // console's release of a stuck grant.
  void ReleaseGrant(int16_t index, const std::string& why);
  // The client last sent a grant notice (0: none) and the loop time it was
  // sent; the grant itself is held while the form's blnVideoRequestGranted
  // is False.
  int16_t GrantClient() const { return grant_client_; }
  int64_t GrantSinceMicros() const { return grant_since_micros_; }
  // Clients refused by allowed_clients so far.
  int64_t RefusedClients() const { return refused_clients_; }
  // The peer address of a connected client; empty when there is none.
  std::string PeerOf(int16_t index) const;

  bool Listening() const { return listener_.valid(); }
  // The port listened on; 0 when not listening.
  uint16_t BoundPort() const { return bound_port_; }
  std::vector<int16_t> ClientIndexes() const;
  int16_t DvrCurrent() const { return dvr_current_; }
  const std::string& MainFormText() const { return main_form_text_; }
  bool DebugMode() const { return debug_mode_; }
  int32_t DebugFlags() const { return debug_flags_; }

 private:
  struct Client {
    int16_t index = 0;
    net::UniqueFd fd;
    std::string peer;
    std::string input;          // received, not yet delivered
    size_t since_end = 0;       // bytes received since the last end marker
    std::string output;         // framed text the socket has not taken yet
    EventLoop::WatchId watch = 0;
    bool closed = false;
    bool delivering = false;  // a delivery to the component is on the stack
    bool writable_wait = false;  // the socket took part of output: POLLOUT sends the rest
    std::unique_ptr<Timer> half_frame;  // runs while part of a frame waits
  };

  std::string LogPrefix(const char* procedure) const;
  void CloseListener();
  void OnAcceptReady();
  void OnClientReady(const std::shared_ptr<Client>& client, short revents);
  enum class ReadResult { kOpen, kGone, kOverlong };
  // Reads what is there into the client's input.
  ReadResult ReadAvailable(const std::shared_ptr<Client>& client);
  void Deliver(const std::shared_ptr<Client>& client);
  void Write(const std::shared_ptr<Client>& client, std::initializer_list<std::string_view> pieces);
  void Flush(const std::shared_ptr<Client>& client);
  void FlushAll();
  void CloseClient(const std::shared_ptr<Client>& client, const std::string& why, bool always_log);
  void SendFramed(const char* procedure, int16_t index, const std::string& text);
  // Logs a refused client: the first refusal of an address at once, later
  // ones as a count when refusal_log_ms has passed.
  void LogRefusal(const std::string& peer_text);
  void LogRefusalCounts();

  SocketServerOptions options_;
  IDataArrivalReceiver* receiver_ = nullptr;  // not owned; valid until DeviceFormClose
  net::UniqueFd listener_;
  EventLoop::WatchId listener_watch_ = 0;
  uint16_t bound_port_ = 0;
  std::map<int16_t, std::shared_ptr<Client>> clients_;
  int16_t last_index_ = 0;
  // The client last sent a retrieval grant (notice 45 or 46); 0 for none.
  int16_t grant_client_ = 0;
  int64_t grant_since_micros_ = 0;
  // The index a release's reply goes to while the component handles it.
  int16_t releasing_index_ = -1;
  int64_t refused_clients_ = 0;
  // Cleared at destruction, so a release posted earlier finds the server gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  int16_t dvr_current_ = 0;
  std::string main_form_text_;
  std::string remote_host_;
  std::string dvr_ip_;
  int32_t log_level_ = 0;
  bool debug_mode_ = false;
  bool flush_due_ = false;  // a FlushAll waits for the end of the loop round
  int32_t debug_flags_ = 0;
  std::function<void(const std::string&)> send_observer_;
  std::unique_ptr<net::AcceptPause> accept_pause_;
  // Refusals counted since the last line, by address ("" for any address
  // beyond kMaxRefusedAddresses).
  std::map<std::string, int64_t> refusals_;
  Timer refusal_timer_;
};

}  // namespace dvrlink
