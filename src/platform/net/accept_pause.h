// What a listener does when the process runs out of file descriptors: accept
// fails while the connection waits, so the listener stays readable and a
// loop watching it would spin. The listener is then not watched for a
// while; the waiting clients stay in the kernel's queue and are taken once a
// descriptor is free again (a client of ours left, or the retry time
// passed). One spare descriptor is kept so that the line telling of it can
// still be written.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/event_loop.h"
#include "platform/net/fd.h"

namespace dvrlink::net {

// Whether an accept error means the process or system has no descriptor
// (or no memory) left for the connection.
bool IsOutOfDescriptors(int error_number);

class AcceptPause {
 public:
  static constexpr int32_t kRetryMs = 500;
  // `listener` is the listener's watch on loop.
  AcceptPause(EventLoop& loop, EventLoop::WatchId listener);
  ~AcceptPause();
  AcceptPause(const AcceptPause&) = delete;
  AcceptPause& operator=(const AcceptPause&) = delete;

  // After accept failed with error_number: false when that is not running
  // out of descriptors. Else the listener rests and, at the first failure of
  // a run, log(text) is called with the spare descriptor given back for it.
  bool Failed(int error_number, const std::function<void()>& log);
  // After an accept succeeded: true once after a run of failures.
  bool Succeeded();
  // A descriptor was given back: the listener is watched again at once.
  void Resume();

 private:
  EventLoop* loop_;  // not owned; outlives the pause
  EventLoop::WatchId listener_;
  Timer retry_;
  UniqueFd spare_;
  bool resting_ = false;
  bool failing_ = false;
};

}  // namespace dvrlink::net
