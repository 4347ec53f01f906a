// clsDvrlink: the component's one public class. The host creates one
// instance per DVR, calls Initialize with its objects and start-up parameters,
// calls the public methods, then DeviceFormClose, and releases the instance.
//
// The member functions are defined in the folder of the subsystem they belong
// to: lifecycle and host notifications in src/component/, the DVR session and
// clock synchronisation in src/dvr/, the command channel in src/protocol/,
// alarms and system events in src/alarms/.
//
// Every public method catches its own run-time errors and logs them through
// LogError, returning its result as it stands (False for the boolean
// methods), except ResetAllParameters, whose errors reach the caller.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "component/host_components.h"
#include "dvr/dvr_api.h"
#include "platform/object_ref.h"
#include "support/datetime.h"

namespace dvrlink {

class frmMainTemplate;

class clsDvrlink : public IDataArrivalReceiver,
                   public ISystemEventReceiver,
                   public std::enable_shared_from_this<clsDvrlink> {
 public:
  // Creates an instance (class initialisation): module constants, the
  // configuration file, the version, the DVR event-control object and the
  // host's socket and camera-control components. A component that cannot be
  // created is logged; the instance exists all the same.
  static std::shared_ptr<clsDvrlink> Create();
  // Class termination: one log line.
  ~clsDvrlink() override;
  clsDvrlink(const clsDvrlink&) = delete;
  clsDvrlink& operator=(const clsDvrlink&) = delete;

  // Public properties.
  Ref<ISocketServer> oSocket;
  std::string Version;
  std::string ClassName;
  std::string ID;
  int16_t ServerPort = 0;
  bool blnTimeSyncInProcess = false;
  std::string DVRIP;
  int16_t VendorID = 0;
  int32_t ID_DVR_Config = 0;

  // Lifecycle. Initialize returns True when every step ran; a DVR that cannot
  // be reached does not make it fail.
  bool Initialize(Ref<IHostCallback> oExt, Ref<IHostProduct> oCorvane, std::vector<std::string>& sCmd,
                  Ref<IConnectionStringSource> oADODB, const std::string& sID);
  void DeviceFormClose();
  void ResetAllParameters();

  // DVR session and clock.
  bool Connect(const std::string& IP, const std::string& portComm, const std::string& PortLive);
  bool TimeSync();
  // Empty when an error was caught.
  std::optional<bool> TimeSyncTrigger();
  void SynchronizeDVRClockPeriod();

  // Host notifications and settings.
  void Callback(int16_t iEventType, int16_t iEventID, const std::string& sEventDescription) override;
  bool SetRecordRate(int16_t iVideoRate, int16_t iAlarmRate);
  void IDVR_DVRSendEvent();
  void UpdateTimeSyncParameters(int16_t iTimeSyncInterval, bool blnTimeSyncEnabled);
  void UpdateExternalTriggerParameters(std::vector<bool>& blnLocalParameters,
                                       std::vector<std::string>& sParameters);
  void ServerExtIDVR_Callback(int16_t iEventType, int16_t iEventID, const std::string& sDescription,
                              std::optional<int16_t> iID = std::nullopt);
  void SetCurrentEventID(int32_t localEventID);

  // Recorded video and alarm lists: the grant (sent to the client as notice
  // 45 or 46), the start of a video retrieval (notice 42, then one progress
  // notice 33 per DVR progress event), and CancelRetrieval, which stops
  // nothing on the DVR.
  bool GetVideoRecorded(int16_t iIndex, int16_t Client, int16_t Camera, const std::string& BeginTime,
                        const std::string& EndTime, const std::string& Filename);
  bool GetVideoRecorded2(int16_t iIndex, int16_t Client, int16_t Camera, const std::string& BeginTime,
                         const std::string& EndTime, const std::string& Filename);
  bool GetAlarmList(int16_t iIndex, int16_t Client, const std::string& Camera, const std::string& BeginTime,
                    const std::string& EndTime, const std::string& Filename);
  bool CancelRetrieval(int16_t iVideoRequestClient);

  // PTZ: open, view or pattern, pause and close texts through the
  // camera-control component.
  bool PTZPresetViewPattern(const std::string& sPresetType, const std::string& sIndexCamera,
                            const std::string& sPresetIndex, const std::string& sRepeatPatterns);

  // Raises an alarm on a DVR camera for Duration seconds, waits (up to five
  // seconds, running the loop) for the DVR's alarm begin to learn its start
  // time, reports it to the host (10317 with a user name, else 10318), queues
  // its confirmation and stores the start against the host's alarm-video row
  // when sDVR_AlarmVideoID is numeric. True when raised and reported.
  bool GenerateAlarm(int16_t Camera, int16_t Duration, const std::string& CameraName, const std::string& sUserName,
                     const std::string& sWorkstationName, const std::string& sDVR_AlarmVideoID,
                     const std::string& sDVR_AlarmVideo2ID);
  // Ends a host-raised alarm on a camera ("" = camera 0). True when the stop
  // request was sent.
  bool StopAlarm(const std::string& Camera);
  // A DVR-raised alarm (alarm-type word in upper case, start "MM/DD/YYYY
  // hh:mm:ss" in the DVR's zone): classified, reported to the host unless a
  // host-raised alarm has just completed, and recorded in the database.
  // True when the database row was written (or already existed).
  bool GenerateAlert(int16_t Camera, const std::string& sStartTime, int16_t Duration, const std::string& CameraName,
                     const std::string& sAlarmType, const std::string& sHostTime);

  // DVR system events from the system-event component.
  void CallBackSystemEvents(int32_t lSessionID, const std::string& bstrURL, int32_t ulEventId,
                            const std::string& bstrTime, const std::string& bstrMessage) override;
  void CallBackSystemEventsXML(int32_t lSessionID, const std::string& bstrURL,
                               const std::string& bstrXML) override;

  // Read-only views of instance state, for the service and for tests.
  int16_t DvrNumber() const { return m_DVRCurrent; }
  const std::string& DvrName() const { return m_sDVRName; }
  int32_t EventSession() const { return m_IDSession; }
  int32_t RemoteSession() const { return m_lSessionRemote; }
  bool EventSessionConnected() const { return !blnDvrEventCtrlDisconnected; }
  int32_t CurrentEventID() const { return m_CurrentEventID; }
  bool TriggerExternalEnabled() const { return blnTriggerExternalEnabled; }
  const std::string& LastAlarmStartTime() const { return m_StartTime; }
  bool GeneratedAlarmMark() const { return m_blnGenerateAlarm; }

 private:
  clsDvrlink();

  // Routes the DVR API objects' events to the handlers below.
  class EventCtrlSink;
  class RemoteSink;
  class GetVideoSink;
  class GetAlarmListSink;
  class AlarmSink;

  // The last position event handled to its end, for the repeat test.
  struct AlarmPosition {
    int32_t lSessionID = 0;
    std::string bstrURL;
    int16_t nCamera = 0;
    std::string bstrPreAlarmTime, bstrStartTime, bstrEndTime;
    int32_t lPreAlarmPos = 0, lStartPos = 0, lEndPos = 0;
    std::string bstrAlarmType;
    bool operator==(const AlarmPosition&) const = default;
  };

  void SetCurrentDVR();
  // This instance's main form; raises 9 when the table has no entry for the
  // DVR number and 91 when the entry is empty.
  frmMainTemplate& MainForm();
  void ShowMessage(const std::string& text);
  // The DVR address of table entry 0, or the empty text before Connect has
  // set the tables up.
  std::string FirstAddress() const;
  // Fills the connect/error/disconnect notification and sends it.
  void NotifySessionEvent(int32_t code, const std::string& bstrURL);
  void ReleaseRemote(Ref<IDvrRemote>& remote);

  // DVR session.
  int32_t DvrRemoteConnect(const std::string& address, int16_t port, const std::string& extra);
  void DvrEventCtrlConnect();
  void m_oDvrEventCtrl_OnConnected(int32_t lSessionID, const std::string& bstrURL);
  void m_oDvrEventCtrl_OnConnectError(int32_t lSessionID, const std::string& bstrURL,
                                      const std::string& bstrError);
  void m_oDvrEventCtrl_OnDisconnected(int32_t lSessionID, const std::string& bstrURL);
  void m_oDvrEventCtrl_OnUnexpectedEvent(int32_t lSessionID, const std::string& bstrURL,
                                         const std::string& bstrXML);
  void m_oDvrRemote_OnGetAlarmEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2);
  void m_oDvrRemote_OnGetVideoEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2);
  void m_oDvrRemote_OnGetStatusEvent(int32_t lSessionID, int32_t eReason);
  void m_oDvrRemote_OnGetUnitInfoEvent(int32_t lSessionID, int32_t eReason);
  void m_oDvrRemote_OnTimeSyncEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2);

  // DVR alarm events.
  void m_oDvrAlmEvtCtrl_OnAlarmBegin2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                                      const std::string& bstrTime, const std::string& bstrAlarmType);
  void m_oDvrAlmEvtCtrl_OnAlarmEnd2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                                    const std::string& bstrTime, const std::string& bstrAlarmType);
  void m_oDvrAlmEvtCtrl_OnAlarmXml(int32_t lSessionID, const std::string& bstrURL, const std::string& bstrXML);
  void m_oDvrAlmEvtCtrl_OnAlarmPosInfo2(int32_t lSessionID, const std::string& bstrURL, int16_t nCamera,
                                        const std::string& bstrPreAlarmTime, const std::string& bstrStartTime,
                                        const std::string& bstrEndTime, int32_t lPreAlarmPos, int32_t lStartPos,
                                        int32_t lEndPos, const std::string& bstrAlarmType, int16_t nOverrideIndex,
                                        const std::string& bstrOverrideText);
  // The DVR's configuration and the camera's name and address from the host
  // database, for the alarm handlers whose log lines start with `prefix`.
  // False when the handler is to end: a database error (logged as access
  // error 1 or 2) or no result set. A result set without rows or a missing
  // field raises.
  bool LookUpAlarmCamera(const std::string& prefix, const std::string& bstrURL, int16_t nCamera,
                         std::string& sCameraName, std::string& sCameraGlobalAddressID);
  // The DVR's time-zone index from the main form's TimeZone, logged with the
  // handler's prefix.
  void FindAlarmTimeZone(const std::string& prefix, DateTime dtStartDateTime);

  // Retrieval progress.
  void m_oDvrGetVideo_OnGetVideoEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2);
  void m_oDvrGetAlarmList_OnGetAlarmEvent(int32_t lSessionID, int32_t eReason, int32_t lData1, int32_t lData2);

  // Command channel.
  void ProcessDataArrival(int16_t Index, const std::string& sData);
  // Carries out one frame of a block; sets sDataSend.
  void ProcessFrame(int16_t Index, const std::vector<std::string>& frame, size_t iSize);

  // Instance state.
  Ref<IHostCallback> oExtension;
  int16_t m_DVRCurrent = 0;
  std::string m_sComputerName;
  std::string m_sDVRName;
  std::string m_sPortLive;
  std::string m_sGlobalAddressID;
  int32_t lPortEvent = 0;
  bool blnTriggerExternalEnabled = false;
  Ref<ICameraControl> oCameraControl;
  Ref<ISystemEventControl> oSystemEventControl;
  int32_t m_CurrentEventID = 0;

  // DVR API objects and sessions.
  Ref<IDvrEventCtrl> m_oDvrEventCtrl;
  Ref<IDvrAlmEvtCtrl> m_oDvrAlmEvtCtrl;
  Ref<IDvrRemote> m_oDvrRemote;
  Ref<IDvrRemote> m_oDvrGetVideo;
  Ref<IDvrRemote> m_oDvrGetAlarmList;
  int32_t m_IDSession = 0;
  int32_t m_lSessionRemote = 0;
  int32_t m_lSessionGetVideo = 0;
  int32_t m_lSessionGetAlarmList = 0;
  // Per-camera tables, entries 0..16 once Connect has run.
  std::vector<std::string> sIP;
  std::vector<int16_t> iPortUnit;
  std::vector<int16_t> iPortLive;
  std::vector<int16_t> iIndexUnit;
  int16_t m_iGetVideoClient = 0;
  int16_t m_iGetVideoCamera = 0;
  int32_t m_lGetVideoEvents = 0;
  int16_t m_iGetAlarmListClient = 0;
  int32_t m_lGetAlarmListEvents = 0;
  bool blnDvrEventCtrlDisconnected = true;
  bool blnDvrEventCtrlConnectError = false;
  DateTime dtLastTimeConnected;

  // Alarms.
  std::string m_StartTime;               // latest alarm begin, "MM/DD/YYYY hh:mm:ss", DVR zone
  std::array<std::string, 16> sStartTimes;  // latest video-loss begin per camera
  bool m_blnGenerateAlarm = false;
  int16_t m_AlarmCamera = 0;
  std::string CameraGlobalAddressID;
  AlarmPosition lastPosition_;

  std::unique_ptr<EventCtrlSink> eventCtrlSink_;
  std::unique_ptr<RemoteSink> remoteSink_;
  std::unique_ptr<GetVideoSink> getVideoSink_;
  std::unique_ptr<GetAlarmListSink> getAlarmListSink_;
  std::unique_ptr<AlarmSink> alarmSink_;
};

// Writes a status line into the main form of iCurrentDVR (when bit value 1 of
// lDebugFlags is set; otherwise that form is hidden) and to the logs at level
// 0. Errors reach the caller.
void ShowStatus(const std::string& text);

}  // namespace dvrlink
