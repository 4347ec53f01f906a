// Fakes of the host's components and the DVR API that record what they were asked; DVR events
// reach the sink set when they run on the loop, as with the real DVR link.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "component/host_components.h"
#include "dvr/dvr_api.h"
#include "platform/object_factory.h"

namespace dvrlink::testing {

struct FakeSocketServer : ISocketServer {
  std::vector<std::string> main_form_texts;
  std::vector<std::pair<bool, int32_t>> debug_calls;
  std::vector<std::pair<int16_t, std::string>> replies;  // CommandDone, CurrentVideoFile, progress
  std::vector<std::string> sent;                          // SendCommand texts
  int closes = 0;

  void set_m_DVRCurrent(int16_t) override {}
  void Connect(IDataArrivalReceiver*, const std::string&, int16_t, const std::string&, int32_t, bool) override {}
  void UpdateMainForm(const std::string& text) override { main_form_texts.push_back(text); }
  void DebugModeOnOff(bool mode, int32_t flags) override { debug_calls.emplace_back(mode, flags); }
  void CommandDone(int16_t index, const std::string& text) override { replies.emplace_back(index, text); }
  void CurrentVideoFile(int16_t index, const std::string& text) override { replies.emplace_back(index, text); }
  void GetVideoProgress(int16_t index, const std::string& text) override { replies.emplace_back(index, text); }
  void GetAlarmListProgress(int16_t index, const std::string& text) override { replies.emplace_back(index, text); }
  void SendCommand(const std::string& text) override { sent.push_back(text); }
  void DeviceFormClose() override { ++closes; }
};

struct FakeHostCallback : IHostCallback {
  struct Call {
    int16_t type;
    int16_t id;
    std::string description;
    std::string ident;
  };
  std::vector<Call> calls;
  void IDVR_Callback(int16_t type, int16_t id, const std::string& d, const std::string& ident) override {
    calls.push_back(Call{type, id, d, ident});
  }
};

struct FakeCameraControl : ICameraControl {
  std::string sid;
  std::vector<std::string> commands;
  int closes = 0;
  void set_sID(const std::string& id) override { sid = id; }
  void ProcessCommand(const std::string& command) override { commands.push_back(command); }
  void DeviceFormClose() override { ++closes; }
};

struct FakeSystemEventControl : ISystemEventControl {
  int disconnects = 0;
  int closes = 0;
  void set_sID(const std::string&) override {}
  void Connect(ISystemEventReceiver*, std::string&, int32_t&) override {}
  void Disconnect() override { ++disconnects; }
  void DeviceFormClose() override { ++closes; }
};

struct FakeConnectionSource : IConnectionStringSource {
  explicit FakeConnectionSource(std::string text) : text(std::move(text)) {}
  std::string text;
  std::string ConnectionString() override { return text; }
};

struct FakeHostProduct : IHostProduct {};

class FakeDvrRemote : public IDvrRemote, public std::enable_shared_from_this<FakeDvrRemote> {
 public:
  // Session Connect gives; 0 = the DVR refuses.
  int32_t session_to_give = 7;
  // Runs inside Connect (to post work that runs during the caller's wait).
  std::function<void()> on_connect;
  int connects = 0;
  std::string connect_address;
  std::vector<std::pair<int32_t, DateTime>> time_syncs;

  IDvrRemoteEvents* sink() const { return sink_; }
  void SetEventSink(IDvrRemoteEvents* sink) override { sink_ = sink; }
  void Connect(const std::string& address, int16_t port, const std::string&, int32_t& session) override;
  std::string Version() override { return "1.2.3"; }
  void TimeSync(int32_t session, DateTime time) override;
  // Each GenerateAlarm (session, camera, seconds); on_generate runs inside the call.
  std::vector<std::tuple<int32_t, int16_t, int16_t>> generates;
  std::function<void(int16_t camera)> on_generate;
  void GenerateAlarm(int32_t session, int16_t camera, int16_t seconds) override {
    generates.emplace_back(session, camera, seconds);
    if (on_generate) on_generate(camera);
  }
  int videos = 0;  // GetVideo calls
  std::vector<std::pair<int32_t, int16_t>> stops;
  void StopAlarm(int32_t session, int16_t camera) override { stops.emplace_back(session, camera); }
  void GetVideo(int32_t, int16_t, DateTime, DateTime, const std::string&) override { ++videos; }
  void PostVideoEvent(int32_t session, int32_t reason, int32_t data1, int32_t data2);

 private:
  IDvrRemoteEvents* sink_ = nullptr;
};

class FakeDvrAlmEvtCtrl : public IDvrAlmEvtCtrl {
 public:
  void SetEventSink(IDvrAlarmEvents* sink) override { sink_ = sink; }
  IDvrAlarmEvents* sink() const { return sink_; }

 private:
  IDvrAlarmEvents* sink_ = nullptr;
};

class FakeDvrEventCtrl : public IDvrEventCtrl, public std::enable_shared_from_this<FakeDvrEventCtrl> {
 public:
  int32_t session_to_give = 11;
  std::vector<std::pair<std::string, int32_t>> connects;
  int acknowledges = 0;
  std::vector<int32_t> closed_sessions;
  int shutdowns = 0;
  std::shared_ptr<FakeDvrAlmEvtCtrl> alarm_ctrl = std::make_shared<FakeDvrAlmEvtCtrl>();

  IDvrEventCtrlEvents* sink() const { return sink_; }
  void SetEventSink(IDvrEventCtrlEvents* sink) override { sink_ = sink; }
  int32_t Connect(const std::string& address, int32_t port) override {
    connects.emplace_back(address, port);
    return session_to_give;
  }
  Ref<IDvrAlmEvtCtrl> AlarmEventCtrl() override { return Ref<IDvrAlmEvtCtrl>(alarm_ctrl); }
  void Start() override {}
  void Acknowledge() override { ++acknowledges; }
  void Close(int32_t session) override { closed_sessions.push_back(session); }
  void Shutdown() override { ++shutdowns; }

  void PostConnected(int32_t session, const std::string& url);
  void PostConnectError(int32_t session, const std::string& url, const std::string& error);
  void PostDisconnected(int32_t session, const std::string& url);

 private:
  IDvrEventCtrlEvents* sink_ = nullptr;
};

// Every fake the factory made, so a test can reach them.
struct FakeWorld {
  std::vector<std::shared_ptr<FakeSocketServer>> sockets;
  std::vector<std::shared_ptr<FakeCameraControl>> cameras;
  std::vector<std::shared_ptr<FakeSystemEventControl>> system_events;
  std::vector<std::shared_ptr<FakeDvrRemote>> remotes;
  std::vector<std::shared_ptr<FakeDvrEventCtrl>> event_ctrls;
  // Applied to every new FakeDvrRemote.
  std::function<void(FakeDvrRemote&)> configure_remote;
};

// Registers the fakes and the real "ADODB.Connection" in the platform's factory.
void RegisterFakes(ObjectFactory& factory, FakeWorld& world);

}  // namespace dvrlink::testing
