#include "dvrlink-onvif/replay_pull.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gst/gst.h>

namespace dvrlink::onvif {
namespace {

// Seconds from 1900-01-01 (the origin of rtspsrc's clock ranges in ONVIF
// mode) to 1970-01-01.
constexpr int64_t kEpoch1900 = 2208988800LL;

// The RTSP source in ONVIF replay mode as fast as the device sends, the
// H.264 of the recording depayloaded and parsed, muxed into MP4 fragments
// of one second ("streamable": written front to back, no seek back).
constexpr const char* kPipeline =
    "rtspsrc name=src onvif-mode=true onvif-rate-control=false buffer-mode=none protocols=tcp "
    "! rtph264depay ! h264parse name=parse ! mp4mux fragment-duration=1000 streamable=true ! fdsink name=sink sync=false";

bool g_gst_ready = false;

bool GstReady(std::string& error) {
  bool& ready = g_gst_ready;
  static std::string failure;
  if (!ready && failure.empty()) {
    GError* gerror = nullptr;
    if (gst_init_check(nullptr, nullptr, &gerror)) {
      ready = true;
    } else {
      failure = std::string("GStreamer does not start: ") + (gerror ? gerror->message : "unknown error");
      if (gerror) g_error_free(gerror);
    }
  }
  error = failure;
  return ready;
}

std::string Describe(GstMessage* message, bool warning) {
  GError* gerror = nullptr;
  gchar* debug = nullptr;
  if (warning) {
    gst_message_parse_warning(message, &gerror, &debug);
  } else {
    gst_message_parse_error(message, &gerror, &debug);
  }
  std::string text = gerror ? gerror->message : "unknown error";
  if (debug) {
    // The last line of the debug text says what happened ("The server
    // closed the connection.", "Timeout while waiting for server response").
    std::string detail = debug;
    size_t line = detail.find_last_of('\n');
    if (line != std::string::npos) text += " (" + detail.substr(line + 1) + ")";
  }
  if (gerror) g_error_free(gerror);
  g_free(debug);
  return text;
}

// Notes the first and last timestamp of the parsed video. It runs on the
// streaming thread and touches nothing but the two atomics it is given.
GstPadProbeReturn NoteTimestamp(GstPad*, GstPadProbeInfo* info, gpointer data) {
  auto* span = static_cast<ReplayPull::MediaSpan*>(data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (buffer && GST_BUFFER_PTS_IS_VALID(buffer)) {
    const auto pts = static_cast<int64_t>(GST_BUFFER_PTS(buffer));
    int64_t first = -1;
    span->first.compare_exchange_strong(first, pts);
    span->last.store(pts);
  }
  return GST_PAD_PROBE_OK;
}

}  // namespace

void ReleaseMediaLibrary() {
  if (g_gst_ready) gst_deinit();
  g_gst_ready = false;
}

ReplayPull::ReplayPull(EventLoop& loop, Handlers handlers) : loop_(&loop), handlers_(std::move(handlers)) {}

std::unique_ptr<ReplayPull> ReplayPull::Start(EventLoop& loop, const ReplaySpan& span, Handlers handlers,
                                              std::string& error) {
  if (!GstReady(error)) return nullptr;
  std::unique_ptr<ReplayPull> pull(new ReplayPull(loop, std::move(handlers)));
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    error = std::string("no socket pair: ") + strerror(errno);
    return nullptr;
  }
  pull->read_end_.Reset(fds[0]);
  pull->write_end_.Reset(fds[1]);
  ::fcntl(fds[0], F_SETFL, ::fcntl(fds[0], F_GETFL) | O_NONBLOCK);

  GError* gerror = nullptr;
  pull->pipeline_ = gst_parse_launch(kPipeline, &gerror);
  if (!pull->pipeline_ || gerror) {
    error = std::string("the replay pipeline cannot be made (is a GStreamer plugin missing?): ") +
            (gerror ? gerror->message : "unknown error");
    if (gerror) g_error_free(gerror);
    return nullptr;
  }
  GstElement* src = gst_bin_get_by_name(GST_BIN(pull->pipeline_), "src");
  GstElement* sink = gst_bin_get_by_name(GST_BIN(pull->pipeline_), "sink");
  GstElement* parse = gst_bin_get_by_name(GST_BIN(pull->pipeline_), "parse");
  GstPad* parsed = gst_element_get_static_pad(parse, "src");
  gst_pad_add_probe(parsed, GST_PAD_PROBE_TYPE_BUFFER, NoteTimestamp, pull->media_.get(), nullptr);
  gst_object_unref(parsed);
  gst_object_unref(parse);
  g_object_set(src, "location", span.uri.c_str(), nullptr);
  if (!span.user.empty()) g_object_set(src, "user-id", span.user.c_str(), "user-pw", span.password.c_str(), nullptr);
  g_object_set(sink, "fd", fds[1], nullptr);
  gst_object_unref(sink);

  pull->bus_ = gst_element_get_bus(pull->pipeline_);
  GPollFD bus_fd{};
  gst_bus_get_pollfd(pull->bus_, &bus_fd);
  ReplayPull* self = pull.get();
  pull->bus_watch_ = loop.Watch(bus_fd.fd, POLLIN, [self](short) { self->OnBus(); });
  pull->data_watch_ = loop.Watch(fds[0], POLLIN, [self](short) {
    if (self->handlers_.readable) self->handlers_.readable();
  });

  // The span is a seek in the source's clock (nanoseconds since 1900) made
  // before PLAY, so the first PLAY carries its range. None of these calls
  // waits for the device: rtspsrc talks to it from its own task.
  gst_element_set_state(pull->pipeline_, GST_STATE_PAUSED);
  const bool seeking = gst_element_send_event(
      src, gst_event_new_seek(1.0, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH, GST_SEEK_TYPE_SET,
                              static_cast<int64_t>(span.begin_utc + kEpoch1900) * GST_SECOND, GST_SEEK_TYPE_SET,
                              static_cast<int64_t>(span.end_utc + kEpoch1900) * GST_SECOND));
  gst_object_unref(src);
  if (!seeking) {
    error = "the RTSP source does not take the span";
    return nullptr;
  }
  if (gst_element_set_state(pull->pipeline_, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
    error = "the replay pipeline does not start";
    return nullptr;
  }
  return pull;
}

ReplayPull::~ReplayPull() {
  *alive_ = false;
  if (data_watch_) loop_->Unwatch(data_watch_);
  if (bus_watch_) loop_->Unwatch(bus_watch_);
  if (pipeline_) {
    // Flushing unblocks fdsink and the source; the state change joins their
    // threads. Both are bounded by GStreamer's own time-outs, not the device.
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    gst_object_unref(pipeline_);
  }
  if (bus_) gst_object_unref(bus_);
}

void ReplayPull::SetReading(bool on) {
  if (reading_ == on || !data_watch_) return;
  reading_ = on;
  loop_->SetWatchEvents(data_watch_, on ? POLLIN : 0);
}

std::string ReplayPull::Read(size_t max) {
  std::string bytes(max, '\0');
  ssize_t n = ::read(read_end_.get(), bytes.data(), max);
  if (n > 0) {
    bytes.resize(static_cast<size_t>(n));
    return bytes;
  }
  // Nothing now: the pipeline may still write, unless it has ended (then
  // the write end is closed and every byte has been read).
  if (n == 0 || (ended_ && (errno == EAGAIN || errno == EWOULDBLOCK))) drained_ = ended_;
  return std::string();
}

double ReplayPull::MediaSeconds() const {
  const int64_t first = media_->first.load();
  const int64_t last = media_->last.load();
  return first < 0 || last < first ? 0 : static_cast<double>(last - first) / GST_SECOND;
}

void ReplayPull::OnBus() {
  std::weak_ptr<bool> alive = alive_;
  while (GstMessage* message = gst_bus_pop(bus_)) {
    const GstMessageType type = GST_MESSAGE_TYPE(message);
    if (type == GST_MESSAGE_EOS) {
      Finish(!failed_, failure_);
    } else if (type == GST_MESSAGE_ERROR) {
      Finish(false, Describe(message, false));
    } else if (type == GST_MESSAGE_WARNING) {
      // rtspsrc reports a device that closes the stream as a warning and
      // then ends the stream as if it were complete.
      GError* gerror = nullptr;
      gst_message_parse_warning(message, &gerror, nullptr);
      const bool broken = gerror && gerror->domain == GST_RESOURCE_ERROR;
      if (gerror) g_error_free(gerror);
      if (broken && !failed_) {
        failed_ = true;
        failure_ = Describe(message, true);
      }
    }
    gst_message_unref(message);
    if (!alive.lock() || ended_) return;
  }
}

void ReplayPull::Finish(bool complete, const std::string& why) {
  if (ended_) return;
  ended_ = true;
  // Every byte fdsink wrote is in the socket pair now; with the pipeline
  // stopped and the write end closed, reading ends at end of file.
  gst_element_set_state(pipeline_, GST_STATE_NULL);
  write_end_.Reset();
  if (handlers_.ended) handlers_.ended(complete, why);
}

}  // namespace dvrlink::onvif
