// Creation, Initialize, DeviceFormClose, ResetAllParameters and termination
// of clsDvrlink, with the small private helpers every part of the class uses.
#include <string>

#include "component/clsDvrlink.h"
#include "component/dvr_sinks.h"
#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "support/config_file.h"
#include "support/convert.h"
#include "support/debug_log.h"
#include "support/mod_all_const.h"
#include "support/runtime_error.h"
#include "timezone/mod_time_zone.h"

namespace dvrlink {
namespace {

constexpr int32_t kCreateStepSocket = static_cast<int32_t>(0x80040205);
constexpr int32_t kCreateStepAfterSocket = static_cast<int32_t>(0x800405E8);

const std::string& At(const std::vector<std::string>& v, size_t i) {
  if (i >= v.size()) DVR_RAISE(kErrSubscript);
  return v[i];
}

std::string Str(int64_t n) { return std::to_string(n); }

}  // namespace

std::shared_ptr<clsDvrlink> clsDvrlink::Create() { return std::shared_ptr<clsDvrlink>(new clsDvrlink()); }

clsDvrlink::clsDvrlink()
    : eventCtrlSink_(std::make_unique<EventCtrlSink>(this)),
      remoteSink_(std::make_unique<RemoteSink>(this)),
      getVideoSink_(std::make_unique<GetVideoSink>(this)),
      getAlarmListSink_(std::make_unique<GetAlarmListSink>(this)),
      alarmSink_(std::make_unique<AlarmSink>(this)) {
  ModAllConstState& s = ModAllConst();
  ModDvrlinkState& d = ModDvrlink();
  PlatformState& p = Platform();
  try {
    InitModuleConstants();
    LoadConfigFile(p.program_folder + "/" + "DeviceAdm.config");
    s.iLogLevelDefault = 8;
    Version = Str(p.version_major) + "." + Str(p.version_minor) + "." + Str(p.version_revision);
    WriteServiceLog("Dvrlink, Class_Initialize() Version=" + Version);
    WriteDebugLog("Dvrlink, Class_Initialize() Version=" + Version, 1);
    ClassName = "Dvrlink.clsDvrlink";
    s.blnErrorToServiceLog = true;
    s.blnNoUserInterface = true;
    d.oFrmMainTemplate.resize(static_cast<size_t>(d.iMaxDVR) + 1);
    m_sComputerName = ComputerName().substr(0, 255);
    m_oDvrEventCtrl = p.factory.Create<IDvrEventCtrl>(kProgIdDvrEventCtrl);
    m_oDvrEventCtrl->SetEventSink(eventCtrlSink_.get());
    blnDvrEventCtrlDisconnected = true;
    d.lCreateStep = kCreateStepSocket;
    oSocket = p.factory.Create<ISocketServer>(kProgIdSocketServer);
    d.lCreateStep = kCreateStepAfterSocket;
    if (!oSocket) {
      WriteDebugLogAlways("Dvrlink, Class_Initialize() ERROR, Can't create oSocket Object");
    } else {
      WriteDebugLog("Dvrlink, Class_Initialize() Create oSocket Object OK", s.iLogLevelDefault);
    }
    if (!oCameraControl) {
      oCameraControl = p.factory.Create<ICameraControl>(kProgIdCameraControl);
      oCameraControl->set_sID(ID);
    }
    WriteDebugLog("Dvrlink, Class_Initialize() DONE", s.iLogLevelDefault);
  } catch (const RuntimeError& e) {
    ModAllConst2State& db = ModAllConst2();
    db.lLastErrorLine = e.Line();
    db.sLastError = e.Description();
    if (d.lCreateStep == kCreateStepSocket) {
      db.sLastError = "Can't Create Object for TarvonWinSockServer.dll";
      LogError("Dvrlink, Class_Initialize", db.sLastError, db.lLastErrorLine);
    } else {
      LogError("Dvrlink, Class_Initialize", db.sLastError + ", Err.Number=" + Str(e.Number()),
               db.lLastErrorLine);
    }
  }
}

clsDvrlink::~clsDvrlink() {
  try {
    WriteDebugLog("--- Dvrlink, Class_Terminate(" + ID + ") " + m_sDVRName + "(" + FirstAddress() + ")", 1);
  } catch (...) {
    // Termination has no error handling of its own; a destructor must not throw.
  }
  // Objects shared with others must not call back into a released instance.
  if (m_oDvrEventCtrl) m_oDvrEventCtrl->SetEventSink(nullptr);
  if (m_oDvrAlmEvtCtrl) m_oDvrAlmEvtCtrl->SetEventSink(nullptr);
  ReleaseRemote(m_oDvrRemote);
  ReleaseRemote(m_oDvrGetVideo);
  ReleaseRemote(m_oDvrGetAlarmList);
}

void clsDvrlink::SetCurrentDVR() { ModDvrlink().iCurrentDVR = m_DVRCurrent; }

frmMainTemplate& clsDvrlink::MainForm() {
  auto& table = ModDvrlink().oFrmMainTemplate;
  if (m_DVRCurrent < 0 || static_cast<size_t>(m_DVRCurrent) >= table.size()) DVR_RAISE(kErrSubscript);
  const auto& form = table[static_cast<size_t>(m_DVRCurrent)];
  if (!form) DVR_RAISE(kErrObjectNotSet);
  return *form;
}

std::string clsDvrlink::FirstAddress() const { return sIP.empty() ? std::string() : sIP[0]; }

void clsDvrlink::ReleaseRemote(Ref<IDvrRemote>& remote) {
  if (remote) remote->SetEventSink(nullptr);
  remote.Clear();
}

bool clsDvrlink::Initialize(Ref<IHostCallback> oExt, Ref<IHostProduct> oCorvane, std::vector<std::string>& sCmd,
                            Ref<IConnectionStringSource> oADODB, const std::string& sID) {
  bool result = false;
  ModAllConstState& s = ModAllConst();
  ModDvrlinkState& d = ModDvrlink();
  const int16_t level = s.iLogLevelDefault;
  try {
    WriteDebugLog("Dvrlink, Initialize(" + sID + ") BEGIN" + ", sCmd(1)=" + At(sCmd, 1) + ", sCmd(7)=" +
                      At(sCmd, 7) + ", sCmd(13)=" + At(sCmd, 13) + ";",
                  level);
    oExtension = oExt;
    d.oClientCorvane = oCorvane;
    WriteDebugLog("Dvrlink, Initialize(" + sID + ") " + ", (oClientCorvane is Nothing)=" +
                      BoolText(!d.oClientCorvane) + ";",
                  level);
    // 3. The component's own database connection.
    ModAllConst2State& db = ModAllConst2();
    db.oDBConnection = Platform().factory.Create<IAdoConnection>(kProgIdAdoConnection);
    db.oDBConnection->Open(oADODB->ConnectionString(), "", "", -1);
    // 4-6. Parameters and identity.
    d.sCommands = sCmd;
    d.sRemoteHost = ComputerName().substr(0, 255);
    const auto& c = d.sCommands;
    DVRIP = At(c, 1);
    ID = At(c, 14) + "-" + At(c, 6) + "-" + At(c, 4);
    m_sPortLive = At(c, 3);
    ID_DVR_Config = CLng(At(c, 17));
    db.sDBDeviceID = ID;
    m_DVRCurrent = CInt(At(c, 6));
    oSocket->set_m_DVRCurrent(CheckedAdd16(m_DVRCurrent, 1));
    m_sDVRName = At(c, 7);
    m_sGlobalAddressID = At(c, 8);
    SetCurrentDVR();
    // 8. The main form of this DVR number, created or reused.
    if (m_DVRCurrent < 0) DVR_RAISE(kErrSubscript);
    if (m_DVRCurrent > d.iMaxDVR) d.iMaxDVR = m_DVRCurrent;
    d.oFrmMainTemplate.resize(static_cast<size_t>(d.iMaxDVR) + 1);
    auto& entry = d.oFrmMainTemplate[static_cast<size_t>(m_DVRCurrent)];
    if (!entry) entry = frmMainTemplate::Create();
    std::shared_ptr<frmMainTemplate> form = entry;  // kept alive across the waits below
    WriteDebugLog("Dvrlink, Initialize(" + ID + ") Create frmTemplate," + " VendorID=" + At(c, 0) +
                      ", IP=" + At(c, 1) + ", Port Listen=" + At(c, 4) + ", DVR Name=" + At(c, 7),
                  level);
    VendorID = CInt(At(c, 0));
    form->lPortSocket = CLng(At(c, 4));
    if (At(c, 5) != "0") {
      s.blnDebugMode = true;
      s.lDebugFlags = 1;
    } else {
      s.blnDebugMode = false;
    }
    form->oDvrlink = Ref<clsDvrlink>(shared_from_this());
    form->ID = ID;
    form->IDWindow = CInt(At(c, 6));
    ServerPort = CIntFromDouble(form->lPortSocket);
    blnTriggerExternalEnabled = At(c, 16) == "1";
    lPortEvent = CLng(At(c, 15));
    // 16. The DVR; one that cannot be reached does not stop start-up.
    // Copies: Connect waits with Delay, during which another instance may
    // replace the shared parameter array.
    std::string ip = At(c, 1), port_comm = At(c, 2), port_live = At(c, 3);
    Connect(ip, port_comm, port_live);
    form->Form_Load();
    WriteDebugLog("Dvrlink, Initialize(" + ID + ") After Load oFrmMainTemplate(" + Str(m_DVRCurrent) + ")", level);
    if (s.blnDebugMode) {
      form->Show();
    } else {
      form->Hide();
    }
    WriteDebugLog("Dvrlink, Initialize(" + ID + ") (oSocket Is Nothing)=" + BoolText(!oSocket), level);
    if (!oSocket) {
      WriteDebugLogAlways("Dvrlink, Initialize(" + ID + ") ??? ERROR, (oSocket Is Nothing)");
      WriteServiceLog("Dvrlink, Initialize(" + ID + ") ??? ERROR, oSocket Is Nothing");
      return false;
    }
    WriteDebugLog("Dvrlink, Initialize(" + ID + ") oSocket.Connect() " + "\r\n" + "\t" + "sRemoteHost=" +
                      d.sRemoteHost + ", DVR Name=" + At(c, 7) + ", sCommands(1)=" + At(c, 1) +
                      ", ServerPort=" + Str(ServerPort) + ", blnTriggerExternalEnabled=" +
                      BoolText(blnTriggerExternalEnabled) + ", lPortEvent=" + Str(lPortEvent) +
                      ", blnDebugMode=" + BoolText(s.blnDebugMode),
                  level);
    oSocket->Connect(this, d.sRemoteHost, ServerPort, At(c, 1), s.lLogLevel, s.blnDebugMode);
    int32_t port = form->lPortSocket;
    oSocket->UpdateMainForm(": " + At(c, 1) + ",  Port : " + Str(port));
    oSocket->DebugModeOnOff(s.blnDebugMode, s.lDebugFlags);
    form->blnTimeSyncEnabled = At(c, 11) == "1";
    form->iTimeSyncInterval = CInt(At(c, 12));
    form->TimeZone = At(c, 13);
    GetTimeZoneList();
    WriteDebugLog("Dvrlink, Initialize(" + ID + ") " + ", oFrmMainTemplate(" + Str(m_DVRCurrent) +
                      ").blnTimeSyncEnabled=" + BoolText(form->blnTimeSyncEnabled) +
                      ", iTimeSyncInterval=" + Str(form->iTimeSyncInterval) + ", TimeZone=" + form->TimeZone + ";",
                  level);
    SynchronizeDVRClockPeriod();
    result = true;
    WriteServiceLog("Dvrlink, Initialize(" + ID + ") DONE " + "\r\n" + "\t" + "sRemoteHost=" + d.sRemoteHost +
                    ", DVR Name=" + At(c, 7) + ", sCommands(1)=" + At(c, 1) + ", ServerPort=" + Str(ServerPort));
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, Initialize-" + ID, e.Description(), e.Line());
  }
  return result;
}

void clsDvrlink::DeviceFormClose() {
  // The instance must outlive the steps below even when the form held the
  // last reference to it.
  std::shared_ptr<clsDvrlink> keep_alive = weak_from_this().lock();
  try {
    SetCurrentDVR();
    WriteDebugLog("Dvrlink, DeviceFormClose(" + ID + ") BEGIN, " + m_sDVRName + "(" + FirstAddress() +
                      "), m_DVRCurrent=" + Str(m_DVRCurrent),
                  9);
    ModAllConst().blnClosing = true;
    if (oSocket) {
      oSocket->DeviceFormClose();
      oSocket.Clear();
    }
    auto& table = ModDvrlink().oFrmMainTemplate;
    if (m_DVRCurrent >= 0 && static_cast<size_t>(m_DVRCurrent) < table.size()) {
      std::shared_ptr<frmMainTemplate> form = table[static_cast<size_t>(m_DVRCurrent)];
      if (form) form->Form_Unload();
      table[static_cast<size_t>(m_DVRCurrent)].reset();
    }
    m_oDvrEventCtrl->Close(m_IDSession);
    m_oDvrEventCtrl->Shutdown();
    m_oDvrEventCtrl->SetEventSink(nullptr);
    m_oDvrEventCtrl.Clear();
    if (m_oDvrAlmEvtCtrl) m_oDvrAlmEvtCtrl->SetEventSink(nullptr);
    m_oDvrAlmEvtCtrl.Clear();
    WriteDebugLog("Dvrlink, DeviceFormClose(" + ID + ") " + ", (oCameraControl Is Nothing)=" +
                      BoolText(!oCameraControl) + ";",
                  ModAllConst().iLogLevelDefault);
    if (oCameraControl) {
      oCameraControl->DeviceFormClose();
      oCameraControl.Clear();
    }
    if (oSystemEventControl) {
      oSystemEventControl->DeviceFormClose();
      oSystemEventControl.Clear();
    }
    ModAllConst2().oDBConnection.Clear();
    WriteDebugLog("Dvrlink, DeviceFormClose(" + ID + ") DONE, " + m_sDVRName + "(" + FirstAddress() + ")",
                  ModAllConst().iLogLevelDefault);
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, DeviceFormClose-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::ResetAllParameters() {
  ShowStatus("ResetAllParameters(" + ID + ") RESET Dvrlink parameters");
  SetCurrentDVR();
  std::shared_ptr<frmMainTemplate> keep = MainForm().shared_from_this();
  keep->ResetParameters();
}

}  // namespace dvrlink
