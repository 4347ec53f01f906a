// "DVRAPILib.DvrRemote" over the DVR link: one connection to the DVR's
// command port carrying one session. Every call waits for its reply on this
// connection alone, up to the reply bound, without running the message loop;
// the DVR's events (time_sync, get_video) reach the sink later, from the loop.
//
// When the connection is gone (the DVR restarted, the network broke), the
// next call connects again by itself and asks the DVR for a new session,
// within the same reply bound; the session number the component holds stays
// valid and is translated to the DVR's new one in requests and events.
//
// A retrieval (GetVideo) returns once the DVR has taken it; its video_data
// events are written to the file as they are read (by the loop, or by a later
// call waiting for its own reply), so other calls on the session go on while
// it streams.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dvr/dvr_api.h"
#include "link/dvr_link.h"
#include "link/link_connection.h"
#include "link/link_event_queue.h"
#include "link/link_protocol.h"
#include "link/video_file_writer.h"

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
  // This client's version, followed by the DVR's when a session is open and
  // the DVR told it during Connect. Never asks the DVR, never raises.
  std::string Version() override;
  void TimeSync(int32_t session, DateTime time) override;
  void GenerateAlarm(int32_t session, int16_t camera, int16_t duration) override;
  void StopAlarm(int32_t session, int16_t camera) override;
  // Starts the retrieval into the file named relative to the export folder.
  // A name that is refused (or no export folder) sends nothing: one
  // OnGetVideoEvent with reason 3 follows from the loop. Raises like the
  // other calls when the DVR does not take the request.
  void GetVideo(int32_t session, int16_t camera, DateTime begin, DateTime end, const std::string& file) override;

  // The session number given to the caller (0: none).
  int32_t Session() const { return session_; }

 private:
  // Sends a request and waits for its reply; the result, or a RuntimeError.
  link::Json Call(const std::string& op, link::Json request, link::SteadyTime deadline);
  // The same; on_result (which may raise) sees the result before the lines
  // that came with the reply are handed on.
  link::Json Exchange(const std::string& op, link::Json request, link::SteadyTime deadline,
                      const std::function<void(const link::Json&)>& on_result);
  // Connects to the DVR and asks for a session; the DVR's number, or 0
  // with the reason in error (the connection is then gone).
  int32_t OpenSession(link::SteadyTime deadline, std::string& error);
  // A session that lost its connection connects again (logged); then the
  // connection must be there (else raises).
  void Attach(const std::string& op, link::SteadyTime deadline);
  void RequireConnection(const std::string& op) const;
  // The DVR's version from the connect reply, or else from one `version`
  // request before the deadline; unknown (logged) when neither gives it.
  void LearnDvrVersion(const link::Json& connect_result, link::SteadyTime deadline);
  // The session number as the DVR knows it, and back.
  int32_t ToDvr(int32_t session) const { return session == session_ && dvr_session_ > 0 ? dvr_session_ : session; }
  int32_t FromDvr(int32_t session) const { return session == dvr_session_ && session_ > 0 ? session_ : session; }
  // The connection is gone; the session stays, to be connected again.
  void LoseConnection(const std::string& reason);
  // Hands on the lines WaitLine read past the reply.
  void HandOnBuffered();
  link::SteadyTime Deadline() const;
  // A line that is not the reply being waited for: events are queued, stray
  // replies (of calls that timed out) dropped, bad lines logged.
  void HandleLine(const std::string& line);
  void HandleClosed(const std::string& reason);
  void Drop();

  // The retrieval streaming on this connection. (No default member
  // initializers: clang 14 then refuses std::optional of this nested class.)
  struct Retrieval {
    int32_t session;
    int64_t total;
    // The DVR announced an estimate: the real size comes with reason 2.
    bool estimated;
    std::string file;
    // Null once it failed here: its remaining events are skipped until the
    // DVR's last one.
    std::unique_ptr<link::VideoFileWriter> writer;
  };
  void HandleVideoData(const link::Json& body);
  void HandleGetVideo(const link::Json& body);
  // Ends the retrieval here with reason 3 (the partial file removed); the
  // DVR's remaining events of it are skipped.
  void FailRetrieval(const std::string& reason);
  // The connection is gone: a retrieval still streaming has failed.
  void EndRetrieval(const std::string& reason);
  void PushVideoEvent(int32_t session, int32_t reason, int32_t data1, int32_t data2);
  std::string Where() const;

  EventLoop* loop_;  // not owned; outlives the object
  DvrLinkOptions options_;
  std::unique_ptr<link::LinkConnection> conn_;
  std::string address_;
  uint16_t port_ = 0;
  std::string login_;
  int32_t session_ = 0;
  std::string dvr_version_;  // empty: unknown
  int32_t dvr_session_ = 0;  // the DVR's number on the present connection
  int64_t next_id_ = 1;
  IDvrRemoteEvents* sink_ = nullptr;
  link::LinkEventQueue queue_;
  std::optional<Retrieval> retrieval_;
};

}  // namespace dvrlink
