// Writes down every DVR link event as one text ("name session url fields...").
#pragma once

#include <string>
#include <vector>

#include "component/host_components.h"
#include "dvr/dvr_api.h"
#include "fakes/svc_test_support.h"

namespace dvrlink::testing {

struct LinkEventRecorder : IDvrEventCtrlEvents, IDvrAlarmEvents, IDvrRemoteEvents, ISystemEventReceiver {
  using S = const std::string&;
  std::vector<std::string> events;

  void OnConnected(int32_t s, S url) override { Add("connected", s, url); }
  void OnConnectError(int32_t s, S url, S error) override { Add("connect_error", s, url, error); }
  void OnDisconnected(int32_t s, S url) override { Add("disconnected", s, url); }
  void OnUnexpectedEvent(int32_t s, S url, S xml) override { Add("unexpected", s, url, xml); }
  void OnAlarmBegin2(int32_t s, S url, int16_t camera, S time, S type, int16_t oi, S ot, S id) override {
    Add("begin", s, url, "cam=" + N(camera), "time=" + time, "type=" + type, "oi=" + N(oi), "ot=" + ot, "id=" + id);
  }
  void OnAlarmEnd2(int32_t s, S url, int16_t camera, S time, S type, int16_t oi, S ot, S id) override {
    Add("end", s, url, "cam=" + N(camera), "time=" + time, "type=" + type, "oi=" + N(oi), "ot=" + ot, "id=" + id);
  }
  void OnAlarmXml(int32_t s, S url, S xml) override { Add("xml", s, url, xml); }
  void OnAlarmPosInfo2(int32_t s, S url, int16_t camera, S pre, S start, S end, int32_t pre_pos, int32_t start_pos,
                       int32_t end_pos, S type, int16_t oi, S ot, S id) override {
    Add("pos", s, url, "cam=" + N(camera), "pre=" + pre, "start=" + start, "end=" + end,
        "positions=" + N(pre_pos) + "," + N(start_pos) + "," + N(end_pos), "type=" + type, "oi=" + N(oi), "ot=" + ot,
        "id=" + id);
  }
  void OnGetAlarmEvent(int32_t s, int32_t r, int32_t d1, int32_t d2) override { Add("get_alarm", s, r, d1, d2); }
  void OnGetVideoEvent(int32_t s, int32_t r, int32_t d1, int32_t d2) override { Add("get_video", s, r, d1, d2); }
  void OnTimeSyncEvent(int32_t s, int32_t r, int32_t d1, int32_t d2) override { Add("time_sync", s, r, d1, d2); }
  void OnGetStatusEvent(int32_t s, int32_t r, S status) override { Add("status", s, r, status); }
  void OnGetUnitInfoEvent(int32_t s, int32_t r, S info) override { Add("unit_info", s, r, info); }
  void CallBackSystemEvents(int32_t s, S url, int32_t code, S time, S message) override {
    Add("system", s, url, "code=" + N(code), "time=" + time, "message=" + message);
  }
  void CallBackSystemEventsXML(int32_t s, S url, S xml) override { Add("system_xml", s, url, xml); }

 private:
  static std::string N(int64_t n) { return std::to_string(n); }
  static std::string Text(const std::string& s) { return s; }
  static std::string Text(int64_t n) { return N(n); }
  template <class... Parts>
  void Add(const char* name, const Parts&... parts) {
    std::string e = name;
    ((e += " " + Text(parts)), ...);
    events.push_back(e);
  }
};

using svc::PumpFor;
using svc::PumpUntil;

}  // namespace dvrlink::testing
