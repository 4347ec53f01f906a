#include "dvrlink-onvif/replay.h"

#include <algorithm>
#include <climits>

#include "link/base64.h"
#include "link/link_protocol.h"

namespace dvrlink::onvif {
namespace {

// Reasons of get_video events.
constexpr int kProgress = 1;
constexpr int kDone = 2;
constexpr int kFailed = 3;
// The stream waits while this much waits unsent on the link connection.
constexpr size_t kHighWater = 256 * 1024;
constexpr int kChunksPerTurn = 4;
// A search the device has not completed is asked again this often at most.
constexpr int kSearchRounds = 5;
// Bit rate assumed for the first estimate when the profile names none.
constexpr int64_t kDefaultKbps = 4096;
// A clip may miss this much of its span (the first and last fragment, a
// frame at either end) and still count as complete.
constexpr double kSpanSlackSeconds = 2.0;

}  // namespace

const RecordingInfo* PickRecording(const std::vector<RecordingInfo>& recordings, const ReplayRequest& request) {
  for (const RecordingInfo& r : recordings) {
    if (!request.recording_token.empty() && r.token == request.recording_token) return &r;
  }
  if (!request.recording_token.empty()) return nullptr;
  for (const RecordingInfo& r : recordings) {
    if (!r.source_id.empty() && (r.source_id == request.source_token || r.source_id == request.profile_token)) {
      return &r;
    }
  }
  return request.camera < static_cast<int>(recordings.size()) ? &recordings[static_cast<size_t>(request.camera)]
                                                              : nullptr;
}

Replay::Replay(EventLoop& loop, DeviceSession& device, ReplayRequest request, int64_t stall_seconds,
               std::function<void(const std::string&)> log, std::function<void()> finished)
    : loop_(&loop),
      device_(&device),
      request_(std::move(request)),
      stall_ms_(stall_seconds * 1000),
      log_(std::move(log)),
      finished_(std::move(finished)) {}

Replay::~Replay() { *alive_ = false; }

void Replay::Log(const std::string& text) const {
  if (log_) log_("retrieval of camera " + std::to_string(request_.camera) + ": " + text);
}

LinkAnswer Replay::Failed(const CallResult& r, const char* op) {
  if (r.transport()) device_->Fail(r.error);
  Log(std::string(op) + " failed: " + r.error);
  return LinkAnswer::Error(kErrorDevice, std::string("the device failed ") + op + ": " + r.error);
}

void Replay::Start(LinkOps::Answer answer) {
  if (!device_->HasService(ns::kSearch) || !device_->HasService(ns::kReplay)) {
    return answer(LinkAnswer::Error(link::kErrorNotImplemented,
                                    "the device offers no recording search and replay (ONVIF Profile G)"));
  }
  Search(std::move(answer));
}

void Replay::Search(LinkOps::Answer answer) {
  std::weak_ptr<bool> alive = alive_;
  device_->client().Call(
      device_->ServiceUrl(ns::kSearch), ns::kSearch, "FindRecordings",
      [](Envelope& e, xmlNodePtr op) {
        e.Add(op, ns::kSearch, "Scope");
        e.Add(op, ns::kSearch, "KeepAliveTime", FormatDuration(10));
      },
      device_->config().request_timeout_ms, [this, alive, answer](CallResult r) {
        if (!alive.lock()) return;
        if (!r.ok()) return answer(Failed(r, "FindRecordings"));
        const std::string token = PathText(r.message.payload, ns::kSearch, {"SearchToken"});
        Results(token, 1, {}, answer);
      });
}

void Replay::Results(const std::string& search_token, int round, std::vector<RecordingInfo> found,
                     LinkOps::Answer answer) {
  std::weak_ptr<bool> alive = alive_;
  device_->client().Call(
      device_->ServiceUrl(ns::kSearch), ns::kSearch, "GetRecordingSearchResults",
      [search_token](Envelope& e, xmlNodePtr op) {
        e.Add(op, ns::kSearch, "SearchToken", search_token);
        e.Add(op, ns::kSearch, "WaitTime", FormatDuration(1));
      },
      device_->config().request_timeout_ms,
      [this, alive, answer, search_token, round, found = std::move(found)](CallResult r) mutable {
        if (!alive.lock()) return;
        if (!r.ok()) return answer(Failed(r, "GetRecordingSearchResults"));
        xmlNodePtr list = Child(r.message.payload, ns::kSearch, "ResultList");
        for (xmlNodePtr info : Children(list, ns::kSchema, "RecordingInformation")) {
          RecordingInfo recording;
          recording.token = PathText(info, ns::kSchema, {"RecordingToken"});
          recording.source_id = PathText(info, ns::kSchema, {"Source", "SourceId"});
          recording.earliest_utc = ParseUtc(PathText(info, ns::kSchema, {"EarliestRecording"})).value_or(0);
          recording.latest_utc = ParseUtc(PathText(info, ns::kSchema, {"LatestRecording"})).value_or(0);
          found.push_back(recording);
        }
        if (PathText(list, ns::kSchema, {"SearchState"}) != "Completed" && round < kSearchRounds) {
          return Results(search_token, round + 1, std::move(found), answer);
        }
        Chosen(found, answer);
      });
}

void Replay::Chosen(const std::vector<RecordingInfo>& found, LinkOps::Answer answer) {
  const RecordingInfo* recording = PickRecording(found, request_);
  const std::string span = "from " + request_.begin_text + " to " + request_.end_text;
  if (!recording) {
    Log("no recording of the camera among the device's " + std::to_string(found.size()));
    return answer(LinkAnswer::Error(link::kErrorBadArgument,
                                    "the device has no recording of camera " + std::to_string(request_.camera)));
  }
  if (request_.begin_utc < recording->earliest_utc || request_.end_utc > recording->latest_utc) {
    const std::string held = FormatUtc(recording->earliest_utc) + " to " + FormatUtc(recording->latest_utc);
    Log("recording " + recording->token + " holds " + held + ", not " + span);
    return answer(LinkAnswer::Error(link::kErrorBadArgument, "camera " + std::to_string(request_.camera) +
                                                                 " has no recording " + span + " (recorded " +
                                                                 held + " UTC)"));
  }
  AskUri(recording->token, std::move(answer));
}

void Replay::AskUri(const std::string& recording, LinkOps::Answer answer) {
  std::weak_ptr<bool> alive = alive_;
  device_->client().Call(
      device_->ServiceUrl(ns::kReplay), ns::kReplay, "GetReplayUri",
      [recording](Envelope& e, xmlNodePtr op) {
        xmlNodePtr setup = e.Add(op, ns::kReplay, "StreamSetup");
        e.Add(setup, ns::kSchema, "Stream", std::string("RTP-Unicast"));
        e.Add(e.Add(setup, ns::kSchema, "Transport"), ns::kSchema, "Protocol", std::string("RTSP"));
        e.Add(op, ns::kReplay, "RecordingToken", recording);
      },
      device_->config().request_timeout_ms, [this, alive, answer, recording](CallResult r) {
        if (!alive.lock()) return;
        if (!r.ok()) return answer(Failed(r, "GetReplayUri"));
        const std::string uri = PathText(r.message.payload, ns::kReplay, {"Uri"});
        if (uri.rfind("rtsp://", 0) != 0 && uri.rfind("rtsps://", 0) != 0) {
          Log("GetReplayUri answered no RTSP URI: '" + link::Clip(uri) + "'");
          return answer(LinkAnswer::Error(kErrorDevice, "the device gave no RTSP replay URI"));
        }
        const int64_t kbps = request_.bitrate_kbps > 0 ? request_.bitrate_kbps : kDefaultKbps;
        estimate_ = std::clamp<int64_t>((request_.end_utc - request_.begin_utc) * kbps * 125, 1, INT32_MAX);
        Log("recording " + recording + " from " + request_.begin_text + " to " + request_.end_text + " at " + uri +
            ", about " + std::to_string(estimate_) + " bytes");
        LinkAnswer a;
        a.result = Json{{"bytes", estimate_}, {"estimated", true}};
        std::weak_ptr<bool> still = alive_;
        a.then = [this, still, uri](LinkChannel channel) {
          if (still.lock()) Stream(uri, channel);
        };
        answer(a);
      });
}

void Replay::Stream(const std::string& uri, LinkChannel channel) {
  channel_ = channel;
  ReplaySpan span;
  span.uri = uri;
  span.user = device_->config().user;
  span.password = device_->config().password;
  span.begin_utc = request_.begin_utc;
  span.end_utc = request_.end_utc;
  ReplayPull::Handlers handlers;
  handlers.readable = [this] { Pump(); };
  handlers.ended = [this](bool complete, const std::string& why) {
    pull_ended_ = true;
    complete_ = complete;
    why_ = why;
    Pump();
  };
  std::string error;
  pull_ = ReplayPull::Start(*loop_, span, std::move(handlers), error);
  if (!pull_) return Finish(false, error);
  stall_timer_ = std::make_unique<Timer>(*loop_, [this] {
    Finish(false, "the device sent nothing for " + std::to_string(stall_ms_ / 1000) + " s");
  });
  stall_timer_->SetInterval(static_cast<int32_t>(stall_ms_));
  stall_timer_->SetEnabled(true);
  drain_timer_ = std::make_unique<Timer>(*loop_, [this] { Pump(); });
  drain_timer_->SetInterval(20);
}

int64_t Replay::Estimate() {
  const double span = static_cast<double>(request_.end_utc - request_.begin_utc);
  const double media = pull_ ? pull_->MediaSeconds() : 0;
  if (media >= 1.0 && media < span) estimate_ = static_cast<int64_t>(static_cast<double>(sent_) * span / media);
  return std::clamp<int64_t>(estimate_, sent_, INT32_MAX);
}

void Replay::Pump() {
  if (ended_) return;
  if (!channel_.Open()) return Cancel("the session has closed");
  drain_timer_->SetEnabled(false);
  for (int n = 0; n < kChunksPerTurn && channel_.PendingOutput() < kHighWater; ++n) {
    std::string bytes = pull_->Read(kChunkBytes);
    if (bytes.empty()) break;
    if (sent_ + static_cast<int64_t>(bytes.size()) > INT32_MAX) return Finish(false, "the clip exceeds 2 GiB");
    Json data = link::MakeEvent("video_data");
    data["offset"] = sent_;
    data["data"] = link::Base64Encode(bytes);
    channel_.Send(data);
    sent_ += static_cast<int64_t>(bytes.size());
    Json progress = link::MakeEvent("get_video");
    progress["reason"] = kProgress;
    progress["data1"] = sent_;
    progress["data2"] = Estimate();
    channel_.Send(progress);
    stall_timer_->SetEnabled(true);  // restarts the count
  }
  if (pull_->Drained()) return Finish(complete_, why_);
  // A connection that does not take the stream holds the pipeline back
  // (and the device behind it) without holding the loop.
  const bool room = channel_.PendingOutput() < kHighWater;
  pull_->SetReading(room);
  stall_timer_->SetEnabled(room && !pull_ended_);
  if (!room) drain_timer_->SetEnabled(true);
}

void Replay::Cancel(const std::string& why) {
  if (ended_) return;
  Finish(false, why);
}

void Replay::Finish(bool complete, const std::string& why) {
  if (ended_) return;
  ended_ = true;
  const double span = static_cast<double>(request_.end_utc - request_.begin_utc);
  const double media = pull_ ? pull_->MediaSeconds() : 0;
  std::string failure = why;
  if (complete && sent_ == 0) {
    failure = "the device sent no video";
  } else if (complete && media + kSpanSlackSeconds < span) {
    failure = "the device's stream ended after " + std::to_string(static_cast<int64_t>(media)) + " of " +
              std::to_string(static_cast<int64_t>(span)) + " s";
  } else if (complete) {
    failure.clear();
  } else if (failure.empty()) {
    failure = "the stream broke off";
  }
  if (stall_timer_) stall_timer_->SetEnabled(false);
  if (drain_timer_) drain_timer_->SetEnabled(false);
  // The pull may be the caller (its end): it goes on the loop, after this.
  loop_->Post([pull = std::shared_ptr<ReplayPull>(std::move(pull_))] {});
  Json last = link::MakeEvent("get_video");
  last["reason"] = failure.empty() ? kDone : kFailed;
  last["data1"] = sent_;
  last["data2"] = failure.empty() ? sent_ : std::max(estimate_, sent_);
  channel_.Send(last);
  Log(failure.empty() ? "done, " + std::to_string(sent_) + " bytes, " + std::to_string(static_cast<int64_t>(media)) +
                            " s of media"
                      : "failed after " + std::to_string(sent_) + " bytes: " + failure);
  std::weak_ptr<bool> alive = alive_;
  loop_->Post([alive, done = finished_] {
    if (alive.lock() && done) done();
  });
}

}  // namespace dvrlink::onvif
