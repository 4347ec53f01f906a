// The simulated DVR as an ONVIF device: device, media, events (PullPoint),
// PTZ and DeviceIO services over HTTP (libmicrohttpd on the message loop),
// one video source, profile, relay output and digital input per camera. The
// control port drives it like the DVR face: "alarm begin|end" and "sysevent"
// become notifications of the matching topics, and "onvif ..." commands set
// faults (SOAP faults, malformed answers, 401, no answer), end subscriptions
// early and report what the device was asked. Requests carry a WS-Security
// UsernameToken or HTTP digest credentials (GetSystemDateAndTime and the
// capability queries need none).
//
// With a replay URI it is also a recorder (Profile G): one recording per
// camera, holding the 24 hours before the simulator started up to the
// clock's now, found through the recording search service, its replay URI
// given by the replay service; the RTSP side is a real media server the
// caller starts (scripts/rtsp-replay-server.py).
//
// Services are rows of a table (namespace, operation) -> handler.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "onvif/soap.h"
#include "onvif/zone_time.h"
#include "dvrsim/dvr_simulator.h"
#include "platform/event_loop.h"

#include <microhttpd.h>

namespace dvrlink::sim {

struct OnvifOptions {
  std::string bind_address = "127.0.0.1";
  uint16_t port = 0;  // 0 picks a free port
  std::string user = "admin";
  std::string password = "admin";
  // Offer and accept HTTP digest authentication (else UsernameToken only).
  bool http_digest = true;
  // HTTPS with this certificate and key (PEM texts) when both are set.
  std::string tls_cert;
  std::string tls_key;
  // Base of the replay URIs (camera C: REPLAY_URI/C); empty: no recordings.
  std::string replay_uri;
  std::function<void(const std::string&)> log;
};

class OnvifFace : public SimFace {
 public:
  // What a failing device answers to every request ("onvif fail MODE").
  enum class Failure { kNone, kFault, kMalformed, kUnauthorized, kStall };

  // Serves on options.port and joins the simulator (which must outlive the
  // face). Raises std::runtime_error when the port cannot be opened.
  OnvifFace(EventLoop& loop, DvrSimulator& simulator, OnvifOptions options);
  ~OnvifFace() override;
  OnvifFace(const OnvifFace&) = delete;
  OnvifFace& operator=(const OnvifFace&) = delete;

  uint16_t port() const { return port_; }
  std::string DeviceUrl() const;
  // "http://ADDRESS:PORT/onvif/" (https with TLS): where the services are.
  std::string BaseUrl() const;

  // SimFace.
  void OnAlarmEdge(int16_t camera, const std::string& type, bool begin) override;
  void OnSystemEvent(uint32_t code, const std::string& message) override;
  std::string Control(const std::vector<std::string>& words) override;
  const char* Word() const override { return "onvif"; }

  // One request: the envelope read and what the handler answers.
  struct Call {
    const onvif::SoapMessage* request = nullptr;
    xmlNodePtr op = nullptr;  // the body's first element
    std::string path;         // the URL path asked
    onvif::Envelope reply;
    // A SOAP fault instead of the reply (code, subcode, reason).
    std::string fault_code;
    std::string fault_subcode;
    std::string fault_reason;
    void Fault(std::string subcode, std::string reason, std::string code = "s:Sender") {
      fault_code = std::move(code);
      fault_subcode = std::move(subcode);
      fault_reason = std::move(reason);
    }
    // The answer's element {ns}name, made in the reply's body.
    xmlNodePtr Answer(const char* ns_uri, const char* name) { return reply.Add(reply.Body(), ns_uri, name); }
  };
  using Handler = std::function<void(Call&)>;

 private:
  // The request being read on one connection, and its answer once known.
  struct Pending {
    std::string path;
    std::string body;
    bool too_big = false;
    bool ready = false;  // a held request whose answer is below
    unsigned status = 200;
    std::string answer;
  };
  struct Message {
    std::string topic;  // "tns1:..."
    int64_t utc = 0;
    std::string operation;  // "Initialized", "Changed" or "" (not a property)
    std::vector<std::pair<std::string, std::string>> source;
    std::vector<std::pair<std::string, std::string>> data;
  };
  struct Subscription {
    int64_t ends_utc = 0;
    std::deque<Message> queue;
    // A PullMessages held until messages come or its time-out.
    MHD_Connection* waiting = nullptr;
    Pending* waiting_pending = nullptr;
    int limit = 0;
    std::unique_ptr<Timer> timeout;
  };

  static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload, size_t* upload_size, void** state);
  static void OnCompleted(void* self, MHD_Connection* connection, void** state, MHD_RequestTerminationCode reason);
  void Run();
  void ScheduleRun();
  MHD_Result Handle(MHD_Connection* connection, Pending& pending);
  MHD_Result Send(MHD_Connection* connection, unsigned status, const std::string& body, bool digest_challenge = false);
  bool Authorized(MHD_Connection* connection, const onvif::SoapMessage& request, const std::string& op,
                  std::string& why);
  void Resume(MHD_Connection* connection);
  void Log(const std::string& text) const;

  // Services (onvif_services.cpp).
  void RegisterServices();
  void Register(const char* ns_uri, const char* op, Handler handler) { handlers_[{ns_uri, op}] = std::move(handler); }
  void AddServices(Call& call, bool with_capabilities);
  void AddProfile(Call& call, xmlNodePtr parent, const char* element, int camera);
  void RegisterRecordingServices();
  void AddRecordingInformation(Call& call, xmlNodePtr parent, const char* ns_uri, const char* element, int camera);
  void SetRelay(Call& call, const char* ns_uri);
  void CreateSubscription(Call& call);
  // PullMessages: true when answered now, false when held until messages
  // come or its time-out.
  bool PullMessages(Call& call, MHD_Connection* connection, Pending& pending);
  // Answers a held pull (from the subscription's queue, or empty).
  void AnswerWaitingPull(int id);
  void FillPull(Call& call, Subscription& s, int limit);
  // The subscription a path names (/onvif/subscription/ID) that has not
  // ended; nullptr (and a fault in call) otherwise.
  Subscription* FindSubscription(Call& call, int& id);

  // Events.
  void Notify(Message message);
  std::vector<Message> InitialState() const;
  Message Property(const std::string& topic, const std::string& source_name, const std::string& source_value,
                   const std::string& data_name, bool state, const std::string& operation = "Changed") const;
  std::string RecordOp(const std::string& text);

  EventLoop* loop_;  // not owned
  DvrSimulator* sim_;  // not owned
  OnvifOptions options_;
  onvif::ZoneTime zone_;  // the DVR clock's zone
  std::string digest_random_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  EventLoop::WatchId watch_ = 0;
  std::unique_ptr<Timer> timer_;
  bool run_posted_ = false;
  std::map<std::pair<std::string, std::string>, Handler> handlers_;
  Failure failure_ = Failure::kNone;
  std::set<MHD_Connection*> stalled_;
  std::map<int, Subscription> subscriptions_;
  int next_subscription_ = 1;
  int subscriptions_created_ = 0;
  // Device state.
  std::string hostname_ = "dvrsim";
  std::map<std::string, bool> relays_;                    // token -> active
  std::map<std::pair<int, std::string>, bool> alarms_;   // (camera, word) -> active
  std::map<std::string, std::string> running_tours_;     // profile -> tour
  std::deque<std::string> ops_;                           // last PTZ and relay operations
  int64_t ops_total_ = 0;
  int64_t requests_ = 0;
  std::string last_time_set_;
  int64_t recorded_since_utc_ = 0;
  int next_search_ = 1;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::sim
