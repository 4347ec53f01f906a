// Contracts of the host's components as the component calls them, and of the
// two ways those components call back into the component. The service
// supplies the real ones by ProgID; tests register fakes.
#pragma once

#include <cstdint>
#include <string>

namespace dvrlink {

// Receives the socket component's deliveries (clsDvrlink::Callback).
class IDataArrivalReceiver {
 public:
  virtual ~IDataArrivalReceiver() = default;
  virtual void Callback(int16_t iEventType, int16_t iEventID, const std::string& sEventDescription) = 0;
};

// Receives the system-event component's DVR system events.
class ISystemEventReceiver {
 public:
  virtual ~ISystemEventReceiver() = default;
  virtual void CallBackSystemEvents(int32_t lSessionID, const std::string& bstrURL, int32_t ulEventId,
                                    const std::string& bstrTime, const std::string& bstrMessage) = 0;
  virtual void CallBackSystemEventsXML(int32_t lSessionID, const std::string& bstrURL,
                                       const std::string& bstrXML) = 0;
};

// "TarvonWinSockServer.clsWinSockServer": the TCP server for host clients.
// Failures raise RuntimeError in the caller.
class ISocketServer {
 public:
  virtual ~ISocketServer() = default;
  virtual void set_m_DVRCurrent(int16_t value) = 0;
  // Starts listening on port; deliveries go to receiver (not owned; it stays
  // valid until DeviceFormClose).
  virtual void Connect(IDataArrivalReceiver* receiver, const std::string& sRemoteHost, int16_t port,
                       const std::string& dvrIP, int32_t lLogLevel, bool blnDebugMode) = 0;
  virtual void UpdateMainForm(const std::string& text) = 0;
  virtual void DebugModeOnOff(bool blnDebugMode, int32_t lDebugFlags) = 0;
  virtual void CommandDone(int16_t index, const std::string& text) = 0;
  virtual void CurrentVideoFile(int16_t index, const std::string& text) = 0;
  virtual void GetVideoProgress(int16_t index, const std::string& text) = 0;
  virtual void GetAlarmListProgress(int16_t index, const std::string& text) = 0;
  virtual void SendCommand(const std::string& text) = 0;
  virtual void DeviceFormClose() = 0;
};

// The host callback object handed to Initialize as oExt.
class IHostCallback {
 public:
  virtual ~IHostCallback() = default;
  virtual void IDVR_Callback(int16_t iEventType, int16_t iEventID, const std::string& sDescription,
                             const std::string& iID) = 0;
};

// "CameraControl.clsCameraControl": carries out PTZ command texts.
class ICameraControl {
 public:
  virtual ~ICameraControl() = default;
  virtual void set_sID(const std::string& id) = 0;
  virtual void ProcessCommand(const std::string& command) = 0;
  virtual void DeviceFormClose() = 0;
};

// "SystemEventControl.clsSystemEventControl": its own subscription to the
// DVR's system events, delivered to the receiver (not owned).
class ISystemEventControl {
 public:
  virtual ~ISystemEventControl() = default;
  virtual void set_sID(const std::string& id) = 0;
  virtual void Connect(ISystemEventReceiver* receiver, std::string& dvrIP, int32_t& lPortEvent) = 0;
  virtual void Disconnect() = 0;
  virtual void DeviceFormClose() = 0;
};

// The host's database object (oADODB): only its connection string is read.
class IConnectionStringSource {
 public:
  virtual ~IConnectionStringSource() = default;
  virtual std::string ConnectionString() = 0;
};

// The host's product object (oCorvane): kept, never called.
class IHostProduct {
 public:
  virtual ~IHostProduct() = default;
};

inline constexpr const char* kProgIdSocketServer = "TarvonWinSockServer.clsWinSockServer";
inline constexpr const char* kProgIdCameraControl = "CameraControl.clsCameraControl";
inline constexpr const char* kProgIdSystemEventControl = "SystemEventControl.clsSystemEventControl";
inline constexpr const char* kProgIdAdoConnection = "ADODB.Connection";

}  // namespace dvrlink
