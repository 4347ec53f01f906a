#include "service/automation_methods.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "component/clsDvrlink.h"
#include "component/host_components.h"
#include "support/convert.h"
#include "support/runtime_error.h"
#include "support/vbstring.h"

namespace dvrlink {
namespace {

constexpr int32_t kErrInvalidUseOfNull = 94;

Json Result(bool value) { return Json(value); }
Json Text(const std::string& value) { return Json(TextForJson(value)); }

double NumberOf(const Json& value) {
  if (value.is_number_unsigned()) return static_cast<double>(value.get<uint64_t>());
  if (value.is_number_integer()) return static_cast<double>(value.get<int64_t>());
  return value.get<double>();
}

[[noreturn]] void RaiseNull() { DVR_RAISE_TEXT(kErrInvalidUseOfNull, "Invalid use of Null"); }

bool ToBoolean(const Json& value) {
  if (value.is_null()) RaiseNull();
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return NumberOf(value) != 0;
  if (value.is_string()) {
    const std::string& s = value.get_ref<const std::string&>();
    std::string t = Trim(s);
    if (EqualsNoCase(t, "True")) return true;
    if (EqualsNoCase(t, "False")) return false;
    std::optional<double> n = ParseNumber(s);
    if (!n) DVR_RAISE(kErrTypeMismatch);
    return *n != 0;
  }
  DVR_RAISE(kErrTypeMismatch);
}

std::string ToText(const Json& value) {
  if (value.is_null()) RaiseNull();
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "True" : "False";
  if (value.is_number_unsigned()) return std::to_string(value.get<uint64_t>());
  if (value.is_number_integer()) return std::to_string(value.get<int64_t>());
  if (value.is_number_float()) return NumberText(value.get<double>());
  DVR_RAISE(kErrTypeMismatch);
}

template <class T>
T ToInteger(const Json& value, T (*from_double)(double), T (*from_text)(std::string_view)) {
  if (value.is_null()) RaiseNull();
  if (value.is_boolean()) return value.get<bool>() ? T{-1} : T{0};
  if (value.is_number()) return from_double(NumberOf(value));
  if (value.is_string()) return from_text(value.get_ref<const std::string&>());
  DVR_RAISE(kErrTypeMismatch);
}

const std::vector<MethodEntry>& Methods() {
  using T = ArgType;
  // GetVideoRecorded and GetVideoRecorded2 take the same parameters.
  static const std::vector<ParamInfo> video_params = {{"iIndex", T::kInt16},   {"Client", T::kInt16},
                                               {"Camera", T::kInt16},   {"BeginTime", T::kText},
                                               {"EndTime", T::kText},   {"Filename", T::kText}};
  static const std::vector<MethodEntry> table = {
      {"Connect",
       {{"IP", T::kText}, {"portComm", T::kText}, {"PortLive", T::kText}},
       [](clsDvrlink& c, Args& a) { return Result(c.Connect(a.Text(0), a.Text(1), a.Text(2))); }},
      {"TimeSync", {}, [](clsDvrlink& c, Args&) { return Result(c.TimeSync()); }},
      {"TimeSyncTrigger", {},
       [](clsDvrlink& c, Args&) {
         std::optional<bool> result = c.TimeSyncTrigger();
         return result ? Json(*result) : Json(nullptr);
       }},
      {"SynchronizeDVRClockPeriod", {},
       [](clsDvrlink& c, Args&) {
         c.SynchronizeDVRClockPeriod();
         return Json(nullptr);
       }},
      {"Callback",
       {{"iEventType", T::kInt16}, {"iEventID", T::kInt16}, {"sEventDescription", T::kText}},
       [](clsDvrlink& c, Args& a) {
         c.Callback(a.I16(0), a.I16(1), a.Text(2));
         return Json(nullptr);
       }},
      {"ResetAllParameters", {},
       [](clsDvrlink& c, Args&) {
         c.ResetAllParameters();
         return Json(nullptr);
       }},
      {"SetRecordRate",
       {{"iVideoRate", T::kInt16}, {"iAlarmRate", T::kInt16}},
       [](clsDvrlink& c, Args& a) { return Result(c.SetRecordRate(a.I16(0), a.I16(1))); }},
      {"IDVR_DVRSendEvent", {},
       [](clsDvrlink& c, Args&) {
         c.IDVR_DVRSendEvent();
         return Json(nullptr);
       }},
      {"UpdateTimeSyncParameters",
       {{"iTimeSyncInterval", T::kInt16}, {"blnTimeSyncEnabled", T::kBoolean}},
       [](clsDvrlink& c, Args& a) {
         c.UpdateTimeSyncParameters(a.I16(0), a.Bool(1));
         return Json(nullptr);
       }},
      {"UpdateExternalTriggerParameters",
       {{"blnLocalParameters", T::kBooleanArray}, {"sParameters", T::kTextArray}},
       [](clsDvrlink& c, Args& a) {
         c.UpdateExternalTriggerParameters(a.BoolArray(0), a.TextArray(1));
         return Json(nullptr);
       }},
      {"ServerExtIDVR_Callback",
       {{"iEventType", T::kInt16}, {"iEventID", T::kInt16}, {"sDescription", T::kText}, {"iID", T::kInt16, true}},
       [](clsDvrlink& c, Args& a) {
         std::optional<int16_t> id;
         if (a.Has(3)) id = a.I16(3);
         c.ServerExtIDVR_Callback(a.I16(0), a.I16(1), a.Text(2), id);
         return Json(nullptr);
       }},
      {"SetCurrentEventID",
       {{"localEventID", T::kInt32}},
       [](clsDvrlink& c, Args& a) {
         c.SetCurrentEventID(a.I32(0));
         return Json(nullptr);
       }},
      {"GenerateAlarm",
       {{"Camera", T::kInt16},
        {"Duration", T::kInt16},
        {"CameraName", T::kText},
        {"sUserName", T::kText},
        {"sWorkstationName", T::kText},
        {"sDVR_AlarmVideoID", T::kText},
        {"sDVR_AlarmVideo2ID", T::kText}},
       [](clsDvrlink& c, Args& a) {
         return Result(c.GenerateAlarm(a.I16(0), a.I16(1), a.Text(2), a.Text(3), a.Text(4), a.Text(5), a.Text(6)));
       }},
      {"GenerateAlert",
       {{"Camera", T::kInt16},
        {"sStartTime", T::kText},
        {"Duration", T::kInt16},
        {"CameraName", T::kText},
        {"sAlarmType", T::kText},
        {"sHostTime", T::kText}},
       [](clsDvrlink& c, Args& a) {
         return Result(c.GenerateAlert(a.I16(0), a.Text(1), a.I16(2), a.Text(3), a.Text(4), a.Text(5)));
       }},
      {"StopAlarm",
       {{"Camera", T::kText}},
       [](clsDvrlink& c, Args& a) { return Result(c.StopAlarm(a.Text(0))); }},
      {"GetVideoRecorded",
       video_params,
       [](clsDvrlink& c, Args& a) {
         return Result(c.GetVideoRecorded(a.I16(0), a.I16(1), a.I16(2), a.Text(3), a.Text(4), a.Text(5)));
       }},
      {"GetVideoRecorded2",
       video_params,
       [](clsDvrlink& c, Args& a) {
         return Result(c.GetVideoRecorded2(a.I16(0), a.I16(1), a.I16(2), a.Text(3), a.Text(4), a.Text(5)));
       }},
      {"GetAlarmList",
       {{"iIndex", T::kInt16},
        {"Client", T::kInt16},
        {"Camera", T::kText},
        {"BeginTime", T::kText},
        {"EndTime", T::kText},
        {"Filename", T::kText}},
       [](clsDvrlink& c, Args& a) {
         return Result(c.GetAlarmList(a.I16(0), a.I16(1), a.Text(2), a.Text(3), a.Text(4), a.Text(5)));
       }},
      {"CancelRetrieval",
       {{"iVideoRequestClient", T::kInt16}},
       [](clsDvrlink& c, Args& a) { return Result(c.CancelRetrieval(a.I16(0))); }},
      {"PTZPresetViewPattern",
       {{"sPresetType", T::kText}, {"sIndexCamera", T::kText}, {"sPresetIndex", T::kText}, {"sRepeatPatterns", T::kText}},
       [](clsDvrlink& c, Args& a) { return Result(c.PTZPresetViewPattern(a.Text(0), a.Text(1), a.Text(2), a.Text(3))); }},
      {"CallBackSystemEvents",
       {{"lSessionID", T::kInt32},
        {"bstrURL", T::kText},
        {"ulEventId", T::kInt32},
        {"bstrTime", T::kText},
        {"bstrMessage", T::kText}},
       [](clsDvrlink& c, Args& a) {
         c.CallBackSystemEvents(a.I32(0), a.Text(1), a.I32(2), a.Text(3), a.Text(4));
         return Json(nullptr);
       }},
      {"CallBackSystemEventsXML",
       {{"lSessionID", T::kInt32}, {"bstrURL", T::kText}, {"bstrXML", T::kText}},
       [](clsDvrlink& c, Args& a) {
         c.CallBackSystemEventsXML(a.I32(0), a.Text(1), a.Text(2));
         return Json(nullptr);
       }},
  };
  return table;
}

const std::vector<PropertyEntry>& Properties() {
  using T = ArgType;
  static const std::vector<PropertyEntry> table = {
      {"oSocket", T::kObject,
       [](clsDvrlink& c) {
         if (!c.oSocket) return Json(nullptr);
         Json object = Json::object();
         object["object"] = kProgIdSocketServer;
         return object;
       },
       [](clsDvrlink& c, Args&) { c.oSocket.Clear(); }},
      {"Version", T::kText, [](clsDvrlink& c) { return Text(c.Version); },
       [](clsDvrlink& c, Args& a) { c.Version = a.Text(0); }},
      {"ClassName", T::kText, [](clsDvrlink& c) { return Text(c.ClassName); },
       [](clsDvrlink& c, Args& a) { c.ClassName = a.Text(0); }},
      {"ID", T::kText, [](clsDvrlink& c) { return Text(c.ID); }, [](clsDvrlink& c, Args& a) { c.ID = a.Text(0); }},
      {"ServerPort", T::kInt16, [](clsDvrlink& c) { return Json(c.ServerPort); },
       [](clsDvrlink& c, Args& a) { c.ServerPort = a.I16(0); }},
      {"blnTimeSyncInProcess", T::kBoolean, [](clsDvrlink& c) { return Json(c.blnTimeSyncInProcess); },
       [](clsDvrlink& c, Args& a) { c.blnTimeSyncInProcess = a.Bool(0); }},
      {"DVRIP", T::kText, [](clsDvrlink& c) { return Text(c.DVRIP); },
       [](clsDvrlink& c, Args& a) { c.DVRIP = a.Text(0); }},
      {"VendorID", T::kInt16, [](clsDvrlink& c) { return Json(c.VendorID); },
       [](clsDvrlink& c, Args& a) { c.VendorID = a.I16(0); }},
      {"ID_DVR_Config", T::kInt32, [](clsDvrlink& c) { return Json(c.ID_DVR_Config); },
       [](clsDvrlink& c, Args& a) { c.ID_DVR_Config = a.I32(0); }},
  };
  return table;
}

}  // namespace

const char* ArgTypeName(ArgType type) {
  switch (type) {
    case ArgType::kInt16: return "16-bit";
    case ArgType::kInt32: return "32-bit";
    case ArgType::kText: return "text";
    case ArgType::kBoolean: return "boolean";
    case ArgType::kBooleanArray: return "array of boolean";
    case ArgType::kTextArray: return "array of text";
    case ArgType::kObject: return "object";
  }
  return "?";
}

const std::vector<MethodEntry>& AutomationMethods() { return Methods(); }
const std::vector<PropertyEntry>& AutomationProperties() { return Properties(); }

const MethodEntry* FindMethod(std::string_view name) {
  for (const MethodEntry& m : Methods()) {
    if (EqualsNoCase(m.name, name)) return &m;
  }
  return nullptr;
}

const PropertyEntry* FindProperty(std::string_view name) {
  for (const PropertyEntry& p : Properties()) {
    if (EqualsNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

std::string NumberText(double value) {
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.0f", value);
    return buffer;
  }
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.15G", value);
  return buffer;
}

ArgValue ConvertArg(const Json& value, ArgType type) {
  switch (type) {
    case ArgType::kInt16: return ToInteger<int16_t>(value, &CIntFromDouble, &CInt);
    case ArgType::kInt32: return ToInteger<int32_t>(value, &CLngFromDouble, &CLng);
    case ArgType::kText: return ToText(value);
    case ArgType::kBoolean: return ToBoolean(value);
    case ArgType::kBooleanArray: {
      if (value.is_null()) RaiseNull();
      if (!value.is_array()) DVR_RAISE(kErrTypeMismatch);
      std::vector<bool> items;
      for (const Json& item : value) items.push_back(ToBoolean(item));
      return items;
    }
    case ArgType::kTextArray: {
      if (value.is_null()) RaiseNull();
      if (!value.is_array()) DVR_RAISE(kErrTypeMismatch);
      std::vector<std::string> items;
      for (const Json& item : value) items.push_back(ToText(item));
      return items;
    }
    case ArgType::kObject:
      // Only Nothing can be handed over the endpoint.
      if (value.is_null()) return std::monostate{};
      DVR_RAISE(kErrTypeMismatch);
  }
  DVR_RAISE(kErrTypeMismatch);
}

}  // namespace dvrlink
