// One `retrieve` of the DVR link served from an ONVIF recorder (Profile G):
// the camera's recording found through the search service (FindRecordings,
// GetRecordingSearchResults), the span checked against the recording's
// earliest and latest times, its replay URI asked (GetReplayUri), then the
// span pulled over RTSP (ReplayPull) and streamed back as `video_data` and
// `get_video` events of docs/dvr-link.md.
//
// The clip's size is known only once it has been pulled, so the reply
// announces an estimate ("estimated": true: the camera's encoder bit rate
// times the span) and the progress events carry the estimate refined from
// the media time pulled so far; the last event (reason 2) carries the real
// size. The client writes the bytes into a hidden file and renames it only
// then; a failure (reason 3) removes it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dvrlink-onvif/device_session.h"
#include "dvrlink-onvif/link_server.h"
#include "dvrlink-onvif/replay_pull.h"

namespace dvrlink::onvif {

struct ReplayRequest {
  int camera = 0;
  std::string source_token;     // the camera's video source
  std::string profile_token;    // its media profile
  std::string recording_token;  // configured (recording.N); empty: found
  int64_t begin_utc = 0;
  int64_t end_utc = 0;
  std::string begin_text;  // the 14 digits asked, for messages
  std::string end_text;
  int64_t bitrate_kbps = 0;  // the profile's encoder limit; 0: unknown
};

// A recording as the search service describes it.
struct RecordingInfo {
  std::string token;
  std::string source_id;
  int64_t earliest_utc = 0;
  int64_t latest_utc = 0;
};

// The recording of a camera among the device's: the configured token, else
// the one whose source is the camera's video source or profile, else the
// camera's place in the device's list; nullptr when there is none.
const RecordingInfo* PickRecording(const std::vector<RecordingInfo>& recordings, const ReplayRequest& request);

class Replay {
 public:
  // Chunks of video_data (docs/dvr-link.md: at most 49152 bytes).
  static constexpr size_t kChunkBytes = 49152;
  // The longest span one retrieval covers (as dvrsim's).
  static constexpr int64_t kMaxSeconds = 3600;

  // device and loop must outlive the retrieval; finished runs (from the
  // loop) once it has ended, so its owner may release it.
  Replay(EventLoop& loop, DeviceSession& device, ReplayRequest request, int64_t stall_seconds,
         std::function<void(const std::string&)> log, std::function<void()> finished);
  ~Replay();
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  // Finds the recording and its URI; answer gets the reply (the estimated
  // size and the stream that follows it) or the error: code 5 for a span
  // the device holds no recording of, 7 for a device without recording
  // search or replay, 8 when the device fails.
  void Start(LinkOps::Answer answer);
  // Ends a running stream with reason 3 (nothing more is sent when the
  // session has gone).
  void Cancel(const std::string& why);

 private:
  void Search(LinkOps::Answer answer);
  void Results(const std::string& search_token, int round, std::vector<RecordingInfo> found,
               LinkOps::Answer answer);
  void Chosen(const std::vector<RecordingInfo>& found, LinkOps::Answer answer);
  void AskUri(const std::string& recording, LinkOps::Answer answer);
  void Stream(const std::string& uri, LinkChannel channel);
  void Pump();
  void Finish(bool complete, const std::string& why);
  int64_t Estimate();
  LinkAnswer Failed(const CallResult& r, const char* op);
  void Log(const std::string& text) const;

  EventLoop* loop_;  // not owned
  DeviceSession* device_;  // not owned
  ReplayRequest request_;
  int64_t stall_ms_;
  std::function<void(const std::string&)> log_;
  std::function<void()> finished_;
  LinkChannel channel_;
  std::unique_ptr<ReplayPull> pull_;
  std::unique_ptr<Timer> stall_timer_;
  std::unique_ptr<Timer> drain_timer_;
  int64_t sent_ = 0;
  int64_t estimate_ = 0;
  bool ended_ = false;
  bool pull_ended_ = false;
  bool complete_ = false;
  std::string why_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::onvif
