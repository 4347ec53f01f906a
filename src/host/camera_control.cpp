#include "host/camera_control.h"

#include <cmath>
#include <sstream>
#include <vector>

#include "link/link_protocol.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/support_state.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

// A live-port line is at most this long; longer texts are cut.
constexpr size_t kMaxText = 4096;
constexpr double kMaxPauseSeconds = 3600;

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  std::string word;
  while (in >> word) words.push_back(word);
  return words;
}

// One line on the wire: line ends inside the text become blanks.
std::string OneLine(const std::string& text) {
  std::string line = text.substr(0, kMaxText);
  for (char& c : line) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return line;
}

}  // namespace

CameraControl::CameraControl(EventLoop& loop, int32_t connect_timeout_ms)
    : loop_(&loop),
      connect_timeout_ms_(connect_timeout_ms),
      pause_timer_(loop),
      connect_timer_(loop) {
  pause_timer_.SetHandler([this] {
    pause_timer_.SetEnabled(false);
    pausing_ = false;
    Run();
  });
  connect_timer_.SetHandler([this] {
    connect_timer_.SetEnabled(false);
    if (link_ != Link::kConnecting) return;
    if (conn_) conn_->Close();
    LinkFailed("no connection within " + std::to_string(connect_timeout_ms_) + " ms");
  });
}

CameraControl::~CameraControl() = default;

std::string CameraControl::Where() const { return link::Endpoint(address_, port_); }

void CameraControl::ProcessCommand(const std::string& command) {
  WriteDebugLog("CameraControl, ProcessCommand(" + sID_ + ") " + command, ModAllConst().iLogLevelDefault);
  queue_.push_back(OneLine(command));
  Run();
}

void CameraControl::DeviceFormClose() {
  WriteDebugLog("CameraControl, DeviceFormClose(" + sID_ + ")", ModAllConst().iLogLevelDefault);
  queue_.clear();
  pause_timer_.SetEnabled(false);
  pausing_ = false;
  connect_timer_.SetEnabled(false);
  conn_.reset();
  link_ = Link::kNone;
}

void CameraControl::Run() {
  if (running_) return;
  running_ = true;
  while (!pausing_ && !queue_.empty()) {
    std::string text = std::move(queue_.front());
    queue_.pop_front();
    Carry(text);
  }
  running_ = false;
}

void CameraControl::Carry(const std::string& text) {
  std::vector<std::string> words = Words(text);
  if (!words.empty() && EqualsNoCase(words[0], "RequestSession")) {
    RequestSession(text);
    return;
  }
  if (!words.empty() && EqualsNoCase(words[0], "Pause")) {
    std::optional<double> seconds = words.size() == 2 ? ParseNumber(words[1]) : std::nullopt;
    if (!seconds || *seconds < 0 || *seconds > kMaxPauseSeconds) {
      LogError(Source(), "a pause needs a number of seconds from 0 to 3600; ignored: " + text, 0);
      return;
    }
    int32_t millis = static_cast<int32_t>(std::lround(*seconds * 1000));
    if (millis <= 0) return;
    pausing_ = true;
    pause_timer_.SetInterval(millis);
    pause_timer_.SetEnabled(true);
    return;
  }
  Deliver(text);
}

void CameraControl::RequestSession(const std::string& text) {
  std::vector<std::string> words = Words(text);
  std::optional<double> port = words.size() >= 4 ? ParseNumber(words[3]) : std::nullopt;
  if (!port || *port < 1 || *port > 65535 || *port != std::floor(*port)) {
    LogError(Source(), "RequestSession needs a session name, the DVR's address and its live port; ignored: " + text, 0);
    conn_.reset();
    link_ = Link::kNone;
    return;
  }
  const std::string& address = words[2];
  uint16_t live_port = static_cast<uint16_t>(*port);
  bool reuse = (link_ == Link::kConnecting || link_ == Link::kOpen) && address == address_ && live_port == port_;
  if (!reuse) {
    conn_.reset();
    address_ = address;
    port_ = live_port;
    link_ = Link::kConnecting;
    link::LinkConnection::Handlers h;
    h.connected = [this] {
      connect_timer_.SetEnabled(false);
      link_ = Link::kOpen;
    };
    h.line = [this](const std::string& line) {
      WriteDebugLog("CameraControl(" + sID_ + ") text from the DVR's live port ignored: " + line,
                    ModAllConst().iLogLevelDefault);
    };
    h.closed = [this](const std::string& reason) { LinkFailed(reason); };
    conn_ = link::LinkConnection::Connect(*loop_, address_, port_, std::move(h), link::kMaxLineBytes);
    connect_timer_.SetInterval(connect_timeout_ms_);
    connect_timer_.SetEnabled(true);
  }
  conn_->Send(text);
}

void CameraControl::Deliver(const std::string& text) {
  switch (link_) {
    case Link::kNone:
      LogError(Source(), "no session open (RequestSession comes first); dropped: " + text, 0);
      return;
    case Link::kFailed:
      LogError(Source(), "no connection to the DVR's live port at " + Where() + "; dropped: " + text, 0);
      return;
    case Link::kConnecting:
    case Link::kOpen:
      conn_->Send(text);
      return;
  }
}

void CameraControl::LinkFailed(const std::string& reason) {
  connect_timer_.SetEnabled(false);
  if (link_ == Link::kConnecting) {
    LogError(Source(), "cannot reach the DVR's live port at " + Where() + ": " + reason + "; the session's texts are dropped", 0);
  } else {
    LogError(Source(), "the DVR's live port at " + Where() + " closed the connection: " + reason, 0);
  }
  link_ = Link::kFailed;
}

}  // namespace dvrlink
