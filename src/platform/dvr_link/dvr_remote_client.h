// "DVRAPILib.DvrRemote" over the DVR link: one connection to the DVR's
// command port carrying one session. Every call waits for its reply on this
// connection alone, up to the reply bound, without running the message loop;
// the DVR's events (time_sync, get_video) reach the sink later, from the loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "dvr/dvr_api.h"
#include "platform/dvr_link/dvr_link.h"
#include "platform/dvr_link/link_connection.h"
#include "platform/dvr_link/link_event_queue.h"
#include "platform/dvr_link/link_protocol.h"

namespace dvrlink {

class DvrRemoteClient : public IDvrRemote {
 public:
  DvrRemoteClient(EventLoop& loop, DvrLinkOptions options);
  ~DvrRemoteClient() override;

  // Setting nullptr drops the events not yet delivered.
  void SetEventSink(IDvrRemoteEvents* sink) override;
  // Session 0 when the DVR refuses, cannot be reached or does not answer in
  // time; never raises. A second Connect ends the first session.
  void Connect(const std::string& address, int16_t port, const std::string& extra, int32_t& session) override;
  // This client's version, followed by the DVR's when a session is open.
  std::string Version() override;
  void TimeSync(int32_t session, DateTime time) override;
  void GenerateAlarm(int32_t session, int16_t camera, int16_t duration) override;
  void StopAlarm(int32_t session, int16_t camera) override;
  // Recorded-video retrieval is not carried out by this link yet: raises.
  void GetVideo(int32_t session, int16_t camera, DateTime begin, DateTime end, const std::string& file) override;

  int32_t Session() const { return session_; }

 private:
  // Sends a request and waits for its reply; the result, or a RuntimeError.
  link::Json Call(const std::string& op, link::Json request, link::SteadyTime deadline);
  link::SteadyTime Deadline() const;
  // A line that is not the reply being waited for: events are queued, stray
  // replies (of calls that timed out) dropped, bad lines logged.
  void HandleLine(const std::string& line);
  void HandleClosed(const std::string& reason);
  void Drop();
  std::string Where() const;

  EventLoop* loop_;  // not owned; outlives the object
  DvrLinkOptions options_;
  std::unique_ptr<link::LinkConnection> conn_;
  std::string address_;
  uint16_t port_ = 0;
  int32_t session_ = 0;
  int64_t next_id_ = 1;
  IDvrRemoteEvents* sink_ = nullptr;
  link::LinkEventQueue queue_;
};

}  // namespace dvrlink
