#include "fakes/link_recorders.h"

namespace dvrlink::testing {
namespace {

std::string S(int64_t n) { return std::to_string(n); }

}  // namespace

void LinkEventRecorder::OnConnected(int32_t s, const std::string& url) {
  events.push_back("connected " + S(s) + " " + url);
}
void LinkEventRecorder::OnConnectError(int32_t s, const std::string& url, const std::string& error) {
  events.push_back("connect_error " + S(s) + " " + url + " " + error);
}
void LinkEventRecorder::OnDisconnected(int32_t s, const std::string& url) {
  events.push_back("disconnected " + S(s) + " " + url);
}
void LinkEventRecorder::OnUnexpectedEvent(int32_t s, const std::string& url, const std::string& xml) {
  events.push_back("unexpected " + S(s) + " " + url + " " + xml);
}
void LinkEventRecorder::OnAlarmBegin2(int32_t s, const std::string& url, int16_t camera, const std::string& time,
                                      const std::string& type, int16_t oi, const std::string& ot,
                                      const std::string& id) {
  events.push_back("begin " + S(s) + " " + url + " cam=" + S(camera) + " time=" + time + " type=" + type +
                   " oi=" + S(oi) + " ot=" + ot + " id=" + id);
}
void LinkEventRecorder::OnAlarmEnd2(int32_t s, const std::string& url, int16_t camera, const std::string& time,
                                    const std::string& type, int16_t oi, const std::string& ot,
                                    const std::string& id) {
  events.push_back("end " + S(s) + " " + url + " cam=" + S(camera) + " time=" + time + " type=" + type +
                   " oi=" + S(oi) + " ot=" + ot + " id=" + id);
}
void LinkEventRecorder::OnAlarmXml(int32_t s, const std::string& url, const std::string& xml) {
  events.push_back("xml " + S(s) + " " + url + " " + xml);
}
void LinkEventRecorder::OnAlarmPosInfo2(int32_t s, const std::string& url, int16_t camera, const std::string& pre,
                                        const std::string& start, const std::string& end, int32_t pre_pos,
                                        int32_t start_pos, int32_t end_pos, const std::string& type, int16_t oi,
                                        const std::string& ot, const std::string& id) {
  events.push_back("pos " + S(s) + " " + url + " cam=" + S(camera) + " pre=" + pre + " start=" + start +
                   " end=" + end + " positions=" + S(pre_pos) + "," + S(start_pos) + "," + S(end_pos) +
                   " type=" + type + " oi=" + S(oi) + " ot=" + ot + " id=" + id);
}
void LinkEventRecorder::OnGetAlarmEvent(int32_t s, int32_t r, int32_t d1, int32_t d2) {
  events.push_back("get_alarm " + S(s) + " " + S(r) + " " + S(d1) + " " + S(d2));
}
void LinkEventRecorder::OnGetVideoEvent(int32_t s, int32_t r, int32_t d1, int32_t d2) {
  events.push_back("get_video " + S(s) + " " + S(r) + " " + S(d1) + " " + S(d2));
}
void LinkEventRecorder::OnTimeSyncEvent(int32_t s, int32_t r, int32_t d1, int32_t d2) {
  events.push_back("time_sync " + S(s) + " " + S(r) + " " + S(d1) + " " + S(d2));
}
void LinkEventRecorder::OnGetStatusEvent(int32_t s, int32_t r, const std::string& status) {
  events.push_back("status " + S(s) + " " + S(r) + " " + status);
}
void LinkEventRecorder::OnGetUnitInfoEvent(int32_t s, int32_t r, const std::string& info) {
  events.push_back("unit_info " + S(s) + " " + S(r) + " " + info);
}
void LinkEventRecorder::CallBackSystemEvents(int32_t s, const std::string& url, int32_t code,
                                             const std::string& time, const std::string& message) {
  events.push_back("system " + S(s) + " " + url + " code=" + S(code) + " time=" + time + " message=" + message);
}
void LinkEventRecorder::CallBackSystemEventsXML(int32_t s, const std::string& url, const std::string& xml) {
  events.push_back("system_xml " + S(s) + " " + url + " " + xml);
}

std::vector<std::string> LinkEventRecorder::Starting(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& e : events) {
    if (e.rfind(prefix, 0) == 0) found.push_back(e);
  }
  return found;
}

}  // namespace dvrlink::testing
