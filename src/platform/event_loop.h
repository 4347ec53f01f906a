// The one message loop of the process: posted tasks, timers and socket
// readiness, dispatched one at a time on the calling thread. Delay pumps it
// re-entrantly through PumpNested, bounded to kMaxNesting levels.
//
// Descriptors are watched through one epoll set, so a round costs what is
// ready, not what is watched (hundreds of DVR and client sockets). Ready
// watches run in the order they were made, as with poll(2); a descriptor
// epoll refuses (a regular file) is reported as poll(2) would report it.
//
// Under a manual clock a round that finds nothing ready moves virtual time to
// the next due timer (or the end of the wait) instead of sleeping, so waits of
// hours finish at once and in real-time order.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <queue>
#include <set>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace dvrlink {

class Timer;
struct TimerState;

class EventLoop {
 public:
  // Deep enough for the service to overlap the connect waits of many DVR
  // instances at start-up (each start nests one level).
  static constexpr int kMaxNesting = 80;
  static constexpr int64_t kForever = -1;

  explicit EventLoop(std::unique_ptr<Clock> clock);
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  Clock& clock() { return *clock_; }
  int64_t NowMicros() { return clock_->MonotonicMicros(); }

  // Runs task on the loop after everything already posted. Safe to call
  // from inside any handler.
  void Post(std::function<void()> task);

  // Calls handler(revents) whenever fd is ready for events (POLLIN/POLLOUT;
  // POLLERR and POLLHUP always; 0 pauses the watch). The id stays valid until
  // Unwatch, which is safe from inside handlers. Several watches may share a
  // descriptor; a descriptor closed before its Unwatch is no longer reported
  // (unless its number is watched again for a new file).
  using WatchId = uint64_t;
  WatchId Watch(int fd, short events, std::function<void(short revents)> handler);
  void SetWatchEvents(WatchId id, short events);
  void Unwatch(WatchId id);

  // One round: the tasks posted before the round, the timers due, the ready
  // sockets. When nothing was ready, waits up to max_wait_micros (kForever:
  // until something happens) for the next event. Returns whether anything ran.
  bool RunOnce(int64_t max_wait_micros);
  // Runs until Stop().
  void Run();
  // Runs until the monotonic time has moved on by micros and nothing due is
  // left, or until Stop().
  void RunFor(int64_t micros);
  void RunForMillis(int64_t millis) { RunFor(millis * 1000); }
  void Stop() { stop_ = true; }
  void ClearStop() { stop_ = false; }
  bool Stopped() const { return stop_; }

  // Runs task once just before the loop next polls or sleeps, after the
  // handlers of the current round: output gathered in a round leaves together.
  void BeforeNextWait(std::function<void()> task);

  // A nested round for Delay: dispatches what is ready, waiting at most until
  // deadline_micros when nothing is. Beyond kMaxNesting levels nothing is
  // dispatched: the call only waits (or, under a manual clock, moves time).
  void PumpNested(int64_t deadline_micros);
  int NestingDepth() const { return depth_; }

 private:
  friend class Timer;
  struct TimerEntry {
    int64_t due;
    uint64_t seq;
    std::weak_ptr<TimerState> state;
    uint64_t generation;
  };
  struct Later {
    bool operator()(const TimerEntry& a, const TimerEntry& b) const {
      return a.due != b.due ? a.due > b.due : a.seq > b.seq;
    }
  };
  struct WatchRecord {
    int fd;
    short events;
    std::function<void(short)> handler;
  };
  // What the epoll set holds for one descriptor: the events of all its
  // watches, or why epoll refused it (0: it did not).
  struct Descriptor {
    std::vector<WatchId> ids;
    uint32_t registered = 0;
    int refused = 0;
  };

  void Schedule(const std::shared_ptr<TimerState>& state, int64_t due);
  bool RunDueTimers();
  bool RunTasks();
  bool PollSockets(int64_t timeout_micros);
  // Due time of the earliest live timer, or kForever.
  int64_t NextTimerDue();
  void WaitWithoutDispatch(int64_t deadline_micros);
  // Brings the epoll set in line with fd's watches; `fresh` after a Watch,
  // whose descriptor may be a new file under a number closed unwatched.
  void Register(int fd, bool fresh);
  // The watches epoll refused, with what poll(2) would report for them.
  void CollectRefused(std::vector<std::pair<WatchId, short>>& ready);
  void RunBeforeWait();

  std::unique_ptr<Clock> clock_;
  std::deque<std::function<void()>> tasks_;
  std::vector<std::function<void()>> before_wait_;
  std::vector<std::function<void()>> spare_before_wait_;              // empty, kept for its capacity
  std::vector<std::vector<std::pair<WatchId, short>>> spare_ready_;  // likewise
  std::priority_queue<TimerEntry, std::vector<TimerEntry>, Later> timers_;
  uint64_t next_seq_ = 0;
  std::map<WatchId, std::shared_ptr<WatchRecord>> watches_;
  std::unordered_map<int, Descriptor> descriptors_;
  std::set<int> refused_;  // descriptors epoll refused
  size_t polled_ = 0;       // descriptors in the epoll set
  int epoll_fd_ = -1;       // owned
  WatchId next_watch_ = 1;
  bool stop_ = false;
  int depth_ = 0;
};

// A timer control as forms have: Interval in milliseconds and Enabled.
// Enabling (re)starts the interval; a handler may disable and re-enable its
// own timer; a timer disabled while other handlers run does not fire. While
// its handler runs (for instance inside Delay), a timer does not fire again:
// the tick falls due one interval later. An interval of 0 never fires.
class Timer {
 public:
  Timer(EventLoop& loop, std::function<void()> handler = nullptr);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  void SetInterval(int32_t millis);
  int32_t Interval() const;
  void SetEnabled(bool enabled);
  bool Enabled() const;
  // Replaces the handler the timer calls.
  void SetHandler(std::function<void()> handler);

 private:
  void Arm();
  EventLoop* loop_;  // not owned; outlives the timer
  std::shared_ptr<TimerState> state_;
};

}  // namespace dvrlink
