// An initialised component for the fuzz targets: host components and the
// DVR API are minimal in-process stand-ins, the database a connection that
// opens and runs nothing; nothing leaves the process and the logs go nowhere.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "database/ado_connection.h"

namespace dvrlink::fuzz {

struct Socket : ISocketServer {
  void set_m_DVRCurrent(int16_t) override {}
  void Connect(IDataArrivalReceiver*, const std::string&, int16_t, const std::string&, int32_t, bool) override {}
  void UpdateMainForm(const std::string&) override {}
  void DebugModeOnOff(bool, int32_t) override {}
  void CommandDone(int16_t, const std::string&) override {}
  void CurrentVideoFile(int16_t, const std::string&) override {}
  void GetVideoProgress(int16_t, const std::string&) override {}
  void GetAlarmListProgress(int16_t, const std::string&) override {}
  void SendCommand(const std::string&) override {}
  void DeviceFormClose() override {}
};
struct Host : IHostCallback {
  void IDVR_Callback(int16_t, int16_t, const std::string&, const std::string&) override {}
};
struct Camera : ICameraControl {
  void set_sID(const std::string&) override {}
  void ProcessCommand(const std::string&) override {}
  void DeviceFormClose() override {}
};
struct SystemEvents : ISystemEventControl {
  void set_sID(const std::string&) override {}
  void Connect(ISystemEventReceiver*, std::string&, int32_t&) override {}
  void Disconnect() override {}
  void DeviceFormClose() override {}
};
struct Database : IAdoConnection {
  void Open(const std::string&, const std::string&, const std::string&, int32_t) override { open = true; }
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  bool open = false;
};
struct Remote : IDvrRemote {
  void SetEventSink(IDvrRemoteEvents*) override {}
  void Connect(const std::string&, int16_t, const std::string&, int32_t& session) override { session = 3; }
  std::string Version() override { return "1"; }
  void TimeSync(int32_t, DateTime) override {}
  void GenerateAlarm(int32_t, int16_t, int16_t) override {}
  void StopAlarm(int32_t, int16_t) override {}
  void GetVideo(int32_t, int16_t, DateTime, DateTime, const std::string&) override {}
};
struct AlarmEvents : IDvrAlmEvtCtrl {
  void SetEventSink(IDvrAlarmEvents*) override {}
};
struct EventCtrl : IDvrEventCtrl {
  void SetEventSink(IDvrEventCtrlEvents*) override {}
  int32_t Connect(const std::string&, int32_t) override { return 4; }
  Ref<IDvrAlmEvtCtrl> AlarmEventCtrl() override { return Ref<IDvrAlmEvtCtrl>(std::make_shared<AlarmEvents>()); }
  void Start() override {}
  void Acknowledge() override {}
  void Close(int32_t) override {}
  void Shutdown() override {}
};
struct FuzzConnection : IConnectionStringSource {
  std::string ConnectionString() override { return "Provider=Fuzz"; }
};

// On the manual clock; aborts when Initialize fails.
inline std::shared_ptr<clsDvrlink> MakeInstance() {
  UseManualClock();
  Platform().program_folder = "/nonexistent-dvrlink-fuzz";  // logs are dropped
  ObjectFactory& f = Platform().factory;
  f.Register<ISocketServer>(kProgIdSocketServer, [] { return std::make_shared<Socket>(); });
  f.Register<ICameraControl>(kProgIdCameraControl, [] { return std::make_shared<Camera>(); });
  f.Register<ISystemEventControl>(kProgIdSystemEventControl, [] { return std::make_shared<SystemEvents>(); });
  f.Register<IAdoConnection>(kProgIdAdoConnection, [] { return std::make_shared<Database>(); });
  f.Register<IDvrRemote>(kProgIdDvrRemote, [] { return std::make_shared<Remote>(); });
  f.Register<IDvrEventCtrl>(kProgIdDvrEventCtrl, [] { return std::make_shared<EventCtrl>(); });
  auto dvr = clsDvrlink::Create();
  std::vector<std::string> params = {"1", "10.0.0.5", "7000", "7001", "5000", "0", "0", "DVR1", "$1",
                                     "",  "",         "1",    "24",   "UTC",  "A", "7002", "1", "42"};
  if (!dvr->Initialize(Ref<IHostCallback>(std::make_shared<Host>()), nullptr, params,
                       Ref<IConnectionStringSource>(std::make_shared<FuzzConnection>()), "A")) {
    std::abort();
  }
  return dvr;
}

}  // namespace dvrlink::fuzz
