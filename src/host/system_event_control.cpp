#include "host/system_event_control.h"

#include <climits>

#include "component/clsDvrlink.h"
#include "support/debug_log.h"
#include "support/support_state.h"

namespace dvrlink {
namespace {

constexpr int kReceiver = 1;

}  // namespace

SystemEventControl::SystemEventControl(EventLoop& loop, DvrLinkOptions options)
    : loop_(&loop), options_(std::move(options)), retry_timer_(loop), resume_timer_(loop), queue_(loop) {
  retry_timer_.SetHandler([this] {
    retry_timer_.SetEnabled(false);
    if (wanted_) Open();
  });
  resume_timer_.SetInterval(options_.system_event_resume_poll_ms);
  resume_timer_.SetHandler([this] { ResumeWhenSessionIsBack(); });
}

SystemEventControl::~SystemEventControl() { queue_.DropAll(); }

std::string SystemEventControl::Where() const {
  return link::Endpoint(address_, static_cast<uint16_t>(port_ > 0 && port_ <= 65535 ? port_ : 0));
}

void SystemEventControl::Connect(ISystemEventReceiver* receiver, std::string& dvrIP, int32_t& lPortEvent) {
  Disconnect();
  paused_ = false;
  resume_timer_.SetEnabled(false);
  receiver_ = receiver;
  address_ = dvrIP;
  port_ = lPortEvent;
  wanted_ = true;
  WriteDebugLog("SystemEventControl, Connect(" + sID_ + ") " + Where(), ModAllConst().iLogLevelDefault);
  Open();
}

void SystemEventControl::Disconnect() {
  wanted_ = false;
  retry_timer_.SetEnabled(false);
  subscription_.reset();
  queue_.DropAll();
  if (receiver_ != nullptr) {
    paused_ = true;
    resume_timer_.SetEnabled(true);
  }
}

void SystemEventControl::DeviceFormClose() {
  Disconnect();
  paused_ = false;
  resume_timer_.SetEnabled(false);
  receiver_ = nullptr;
}

void SystemEventControl::ResumeWhenSessionIsBack() {
  auto* instance = dynamic_cast<clsDvrlink*>(receiver_);
  if (!paused_ || instance == nullptr || !instance->EventSessionConnected()) return;
  paused_ = false;
  resume_timer_.SetEnabled(false);
  wanted_ = true;
  WriteDebugLogAlways("SystemEventControl(" + sID_ + ") the event session is connected again: subscribing again at " +
                      Where());
  Open();
}

void SystemEventControl::Open() {
  int32_t session = next_session_;
  next_session_ = next_session_ == INT32_MAX ? 1 : next_session_ + 1;
  link::EventSubscription::Handlers h;
  h.connected = [this] {
    WriteDebugLog("SystemEventControl(" + sID_ + ") subscribed at " + Where(), ModAllConst().iLogLevelDefault);
    subscription_->Acknowledge();
  };
  h.connect_error = [this](const std::string& error) {
    LogError("SystemEventControl, Connect-" + sID_, "no system-event subscription at " + Where() + ": " + error, 0);
  };
  h.disconnected = [this] {
    if (!wanted_) return;
    WriteDebugLogAlways("SystemEventControl(" + sID_ + ") subscription at " + Where() + " ended; trying again in " +
                        std::to_string(options_.system_event_retry_ms) + " ms");
    retry_timer_.SetInterval(options_.system_event_retry_ms);
    retry_timer_.SetEnabled(true);
  };
  h.event = [this, session](const link::Message& event, const std::string& line) { OnEvent(session, event, line); };
  subscription_ = std::make_unique<link::EventSubscription>(*loop_, address_, port_, session, link::kSubscribeSystem,
                                                            options_.reply_timeout_ms, std::move(h));
}

void SystemEventControl::OnEvent(int32_t session, const link::Message& event, const std::string& line) {
  const link::Json& body = event.body;
  std::string url = address_;
  try {
    if (event.name == "system_event") {
      // Codes are 32-bit patterns (0xC00407D0): sent unsigned, handed on as
      // the signed 32-bit value of the same bits.
      auto code = static_cast<int32_t>(static_cast<uint32_t>(link::IntField(body, "code", INT32_MIN, UINT32_MAX)));
      std::string time = link::TextField(body, "time");
      std::string message = link::TextFieldOr(body, "message", "");
      queue_.Push(kReceiver, session, [this, session, url, code, time, message] {
        if (receiver_) receiver_->CallBackSystemEvents(session, url, code, time, message);
      });
      return;
    }
    if (event.name == "system_event_xml") {
      std::string xml = link::TextField(body, "xml");
      queue_.Push(kReceiver, session, [this, session, url, xml] {
        if (receiver_) receiver_->CallBackSystemEventsXML(session, url, xml);
      });
      return;
    }
  } catch (const link::FieldError& e) {
    LogError("SystemEventControl-" + sID_, "malformed " + event.name + " event from the DVR at " + Where() +
                                               " ignored: " + e.what() + ": " + link::Clip(line),
             0);
    return;
  }
  WriteDebugLog("SystemEventControl(" + sID_ + ") event ignored: " + link::Clip(line), ModAllConst().iLogLevelDefault);
}

}  // namespace dvrlink
