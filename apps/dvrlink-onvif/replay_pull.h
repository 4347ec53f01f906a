// One span of a recording pulled from a device's ONVIF replay URI with
// GStreamer and remuxed, without re-encoding, into fragmented MP4 (a file
// that plays and knows its duration although it is written front to back).
//
// The RTSP client is GStreamer's rtspsrc in ONVIF mode: the PLAY carries
// "Require: onvif-replay", "Range: clock=BEGIN-END" and "Rate-Control: no",
// so the device sends the span as fast as it can. The pipeline runs on
// GStreamer's own streaming threads; none of this program's code runs there.
// Its muxed bytes arrive through a socket pair (fdsink writes one end, the
// loop reads the other) and its bus through the bus's poll descriptor, so
// the loop never waits on the device: the other ports keep answering.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "link/link_socket.h"
#include "platform/event_loop.h"

typedef struct _GstElement GstElement;
typedef struct _GstBus GstBus;

namespace dvrlink::onvif {

struct ReplaySpan {
  std::string uri;  // rtsp://...
  std::string user;
  std::string password;
  int64_t begin_utc = 0;  // seconds since 1970
  int64_t end_utc = 0;
};

// Releases GStreamer at the end of the program, after every pull has gone
// (nothing when no pull was made).
void ReleaseMediaLibrary();

class ReplayPull {
 public:
  struct Handlers {
    // Bytes of the clip are waiting (call Read).
    std::function<void()> readable;
    // The pipeline has ended: complete (true) or failed (false, why). Bytes
    // read before may still wait: Read until it returns "" and then Drained().
    std::function<void(bool complete, const std::string& why)> ended;
  };

  // Starts the pipeline; nullptr with the reason when GStreamer or one of
  // its elements is missing. The loop must outlive the pull.
  static std::unique_ptr<ReplayPull> Start(EventLoop& loop, const ReplaySpan& span, Handlers handlers,
                                           std::string& error);
  // Stops the pipeline (its threads are joined) and closes the socket pair.
  ~ReplayPull();
  ReplayPull(const ReplayPull&) = delete;
  ReplayPull& operator=(const ReplayPull&) = delete;

  // Up to max bytes of the clip, without waiting; "" when none is there.
  std::string Read(size_t max);
  // Whether the pipeline has ended and every byte it wrote has been read.
  bool Drained() const { return drained_; }
  // Stops (false) or resumes (true) reading the clip: while stopped the
  // pipeline waits on the socket pair and the device on the pipeline.
  void SetReading(bool on);
  // Seconds from the first to the last video frame pulled so far.
  double MediaSeconds() const;

  // The first and last timestamp (ns, -1 before any) of the parsed video,
  // noted on the streaming thread.
  struct MediaSpan {
    std::atomic<int64_t> first{-1};
    std::atomic<int64_t> last{-1};
  };

 private:
  ReplayPull(EventLoop& loop, Handlers handlers);
  void OnBus();
  void Finish(bool complete, const std::string& why);

  EventLoop* loop_;  // not owned
  Handlers handlers_;
  GstElement* pipeline_ = nullptr;
  GstBus* bus_ = nullptr;
  link::UniqueFd read_end_;
  link::UniqueFd write_end_;
  EventLoop::WatchId data_watch_ = 0;
  EventLoop::WatchId bus_watch_ = 0;
  bool reading_ = true;
  bool ended_ = false;
  bool drained_ = false;
  bool failed_ = false;  // a read failure of the source came before the end
  std::string failure_;
  // Outlives the pipeline (its probe writes here until the pipeline stops).
  std::unique_ptr<MediaSpan> media_ = std::make_unique<MediaSpan>();
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace dvrlink::onvif
