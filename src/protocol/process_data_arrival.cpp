// Handling of a block of text from a host client: split into frames, each
// frame's command carried out or queued, one reply text per frame.
#include <string>

#include "component/clsDvrlink.h"
#include "component/module_state.h"
#include "mainform/frmMainTemplate.h"
#include "protocol/process_token.h"
#include "support/convert.h"
#include "support/datetime.h"
#include "support/debug_log.h"
#include "support/runtime_error.h"

namespace dvrlink {
namespace {

std::string Str(int64_t n) { return std::to_string(n); }

// Command codes of field 0.
enum Command : int16_t {
  iConnect = 31,
  iGenerateAlarm = 32,
  iRetrieveVideoRecorded = 33,
  iDebugMode = 34,
  iGetAlarmList = 35,
  iTimeSync = 36,
  iCancelRetrieval = 37,
  iResetAllParameters = 38,
  iGetVersion = 39,
  iSetRecordRate = 40,
  iStopAlarm = 41,
  iDVRSendEvent = 44,
  iRetrievalDone = 47,
  iPTZPresetViewPattern = 55,
};

}  // namespace

void clsDvrlink::ProcessDataArrival(int16_t Index, const std::string& sData) {
  try {
    WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") BEGIN " + ", Index=" + Str(Index) + ", sData=" + sData +
                      ";",
                  ModAllConst().iLogLevelDefault);
    SetCurrentDVR();
    const ModAllConstState& s = ModAllConst();
    FrameTable sCommand;
    if (!ProcessToken(sData, s.sTokenStart, s.sTokenEnd, s.sTokenSeparator, sCommand, false)) {
      WriteDebugLogAlways("Dvrlink, ProcessDataArrival(" + ID + ") ??? ERROR, Unknown command=" + sData + "---");
      return;
    }
    if (sCommand.empty()) return;
    const size_t iSize = sCommand[0].size() - 1;
    for (const auto& frame : sCommand) {
      ProcessFrame(Index, frame, iSize);
      Ref<ISocketServer> socket = oSocket;
      socket->CommandDone(Index, ModDvrlink().sDataSend);
    }
  } catch (const RuntimeError& e) {
    LogError("Dvrlink, ProcessDataArrival-" + ID, e.Description(), e.Line());
  }
}

void clsDvrlink::ProcessFrame(int16_t Index, const std::vector<std::string>& frame, size_t iSize) {
  auto field = [&](size_t k) -> const std::string& {
    if (k >= frame.size()) DVR_RAISE(kErrSubscript);
    return frame[k];
  };
  ModAllConstState& s = ModAllConst();
  const std::string& SEP = s.sTokenSeparator;
  std::string& sDataSend = ModDvrlink().sDataSend;
  const int16_t level = s.iLogLevelDefault;
  const int16_t code = CInt(field(0));
  auto ok = [&](bool good) { return Str(code) + SEP + (good ? "OK" : "NK"); };
  switch (code) {
    case iConnect: {
      std::string ip = field(1), port_comm = field(2), port_live = field(3);
      sDataSend = ok(Connect(ip, port_comm, port_live));
      break;
    }
    case iGenerateAlarm: {
      WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") Case iGenerateAlarm, iSize=" + Str(static_cast<int64_t>(iSize)),
                    level);
      if (iSize >= 3 && iSize <= 7) {
        if (iSize == 7) {
          std::string line = "Dvrlink, ProcessDataArrival(" + ID + ") Case iGenerateAlarm";
          for (size_t k = 1; k <= 7; ++k) line += ", sCommand(index4, " + Str(static_cast<int64_t>(k)) + ")=" + field(k);
          WriteDebugLog(line + ";", level);
        }
        auto text = [&](size_t k) { return k <= iSize ? field(k) : std::string(); };
        int16_t camera = CInt(field(1));
        int16_t duration = CInt(field(2));
        std::shared_ptr<frmMainTemplate> form = MainForm().shared_from_this();
        form->QueueGenerateAlarmCommand(Index, camera, duration, text(3), text(4), text(5), text(6), text(7));
      }
      sDataSend = ok(true);
      break;
    }
    case iRetrieveVideoRecorded: {
      WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") Case iRetrieveVideoRecorded, Index=" + Str(Index), level);
      int16_t camera = CInt(field(1));
      MainForm().QueueRetrieveVideoCommand(Index, camera, field(2), field(3), field(4));
      sDataSend = ok(true);
      break;
    }
    case iDebugMode: {
      frmMainTemplate& form = MainForm();
      if (field(1) != "0") {
        s.blnDebugMode = true;
        if (iSize >= 2 && !field(2).empty()) s.lDebugFlags = CLng(field(2));
        if (BitWiseAnd(s.lDebugFlags, 1) > 0) {
          form.Show();
        } else {
          form.Hide();
        }
        s.blnLogAll = BitWiseAnd(s.lDebugFlags, 2) > 0;
      } else {
        s.blnDebugMode = false;
        form.Hide();
      }
      sDataSend = ok(true);
      Ref<ISocketServer> socket = oSocket;
      socket->DebugModeOnOff(s.blnDebugMode, s.lDebugFlags);
      break;
    }
    case iGetAlarmList: {
      WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") Case iGetAlarmList" + ", m_DVRCurrent=" +
                        Str(m_DVRCurrent) + ";",
                    level);
      MainForm().QueueAlarmListCommand(Index, field(1), field(2), field(3), field(4));
      sDataSend = ok(true);
      break;
    }
    case iTimeSync: {
      sDataSend = ok(TimeSyncTrigger().value_or(false));
      WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") Case iTimeSync, sDataSend=" + sDataSend, level);
      break;
    }
    case iCancelRetrieval:
      sDataSend = ok(CancelRetrieval(CInt(field(1))));
      break;
    case iResetAllParameters:
      ResetAllParameters();  // its error, if any, ends the delivery
      sDataSend = ok(false);
      break;
    case iGetVersion:
      sDataSend = ok(true) + SEP + ClassName + "\t" + Version + "\r\n";
      break;
    case iSetRecordRate: {
      int16_t video_rate = CInt(field(1));
      int16_t alarm_rate = CInt(field(2));
      sDataSend = ok(SetRecordRate(video_rate, alarm_rate));
      break;
    }
    case iStopAlarm:
      StopAlarm(field(1));
      sDataSend = ok(true);
      break;
    case iDVRSendEvent: {
      UDTDVREventRecord& r = ModDvrlink().UDTDVREvent;
      r.EventCode = CLng(field(1));
      // Formatted as a date when the text is one; any other text as it is.
      std::optional<DateTime> when = DateTime::Parse(field(2));
      r.DataTime = when ? when->FormatYmd24() : field(2);
      std::string* texts[] = {&r.GlobalAddressID, &r.DVRName, &r.DVRAddress, &r.Detail1, &r.Detail2, &r.Detail3,
                              &r.Detail4,         &r.Detail5, &r.Detail6,    &r.Detail7, &r.Detail8};
      for (size_t k = 0; k < 11; ++k) *texts[k] = field(k + 3);
      std::string sTemp = s.sTokenStart + field(1);
      for (size_t k = 2; k <= 13; ++k) sTemp += SEP + field(k);
      sTemp += s.sTokenEnd;
      WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") Case iDVRSendEvent, sTemp=" + sTemp, level);
      Ref<IHostCallback> host = oExtension;
      host->IDVR_Callback(205, 1, sTemp, "12");
      sDataSend = ok(true);
      break;
    }
    case iRetrievalDone:
      MainForm().blnVideoRequestGranted = true;
      sDataSend = ok(true);
      break;
    case iPTZPresetViewPattern: {
      std::string type = field(1), camera = field(2), preset = field(3), repeat = field(4);
      PTZPresetViewPattern(type, camera, preset, repeat);
      sDataSend = ok(true);
      break;
    }
    default:
      // A code outside the table is answered "NK", so the client is not
      // handed the reply of an earlier command.
      WriteDebugLog("Dvrlink, ProcessDataArrival(" + ID + ") Unknown command code=" + Str(code), level);
      sDataSend = ok(false);
      break;
  }
}

}  // namespace dvrlink
