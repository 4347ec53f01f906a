#include "platform/event_loop.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>

#include "platform/platform_state.h"

namespace dvrlink {

struct TimerState {
  std::function<void()> handler;
  int32_t interval = 0;
  bool enabled = false;
  bool running = false;
  uint64_t generation = 0;
};

EventLoop::EventLoop(std::unique_ptr<Clock> clock) : clock_(std::move(clock)) {}
EventLoop::~EventLoop() = default;

void EventLoop::Post(std::function<void()> task) { tasks_.push_back(std::move(task)); }

EventLoop::WatchId EventLoop::Watch(int fd, short events, std::function<void(short)> handler) {
  WatchId id = next_watch_++;
  auto record = std::make_shared<WatchRecord>();
  record->fd = fd;
  record->events = events;
  record->handler = std::move(handler);
  watches_[id] = std::move(record);
  return id;
}

void EventLoop::SetWatchEvents(WatchId id, short events) {
  auto it = watches_.find(id);
  if (it != watches_.end()) it->second->events = events;
}

void EventLoop::Unwatch(WatchId id) { watches_.erase(id); }

void EventLoop::Schedule(const std::shared_ptr<TimerState>& state, int64_t due) {
  timers_.push(TimerEntry{due, next_seq_++, state, state->generation});
}

int64_t EventLoop::NextTimerDue() {
  // Drop stale entries lazily: disabled, re-armed or destroyed timers.
  while (!timers_.empty()) {
    const TimerEntry& top = timers_.top();
    auto state = top.state.lock();
    if (state && state->enabled && state->generation == top.generation) return top.due;
    timers_.pop();
  }
  return kForever;
}

bool EventLoop::RunTasks() {
  // Only the tasks present at the start of the round, so a task that posts
  // another cannot keep the round going forever.
  size_t count = tasks_.size();
  for (size_t i = 0; i < count && !tasks_.empty(); ++i) {
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    task();
  }
  return count > 0;
}

bool EventLoop::RunDueTimers() {
  int64_t now = NowMicros();
  std::vector<TimerEntry> due;
  while (NextTimerDue() != kForever && timers_.top().due <= now) {
    due.push_back(timers_.top());
    timers_.pop();
  }
  bool ran = false;
  for (const TimerEntry& entry : due) {
    std::shared_ptr<TimerState> state = entry.state.lock();  // alive while its handler runs
    if (!state || !state->enabled || state->generation != entry.generation) continue;
    // Periodic: the next tick is one interval on, whatever the handler does.
    ++state->generation;
    Schedule(state, std::max(entry.due + state->interval * int64_t{1000}, now + 1));
    if (state->running) continue;  // its handler is still on the stack
    state->running = true;
    ran = true;
    auto handler = state->handler;
    try {
      if (handler) handler();
    } catch (...) {
      state->running = false;
      throw;
    }
    state->running = false;
  }
  return ran;
}

void EventLoop::BeforeNextWait(std::function<void()> task) { before_wait_.push_back(std::move(task)); }

void EventLoop::RunBeforeWait() {
  std::vector<std::function<void()>> due;
  due.swap(before_wait_);
  for (auto& task : due) task();
}

bool EventLoop::PollSockets(int64_t timeout_micros) {
  RunBeforeWait();  // may change what the sockets wait for
  std::vector<pollfd> fds;
  std::vector<WatchId> ids;
  for (const auto& [id, record] : watches_) {
    if (record->events == 0) continue;
    fds.push_back(pollfd{record->fd, record->events, 0});
    ids.push_back(id);
  }
  int timeout_ms = -1;
  if (timeout_micros >= 0) {
    int64_t ms = (timeout_micros + 999) / 1000;  // round up: never wake early and spin
    timeout_ms = static_cast<int>(std::min<int64_t>(ms, 1'000'000));
  }
  if (fds.empty() && timeout_ms == 0) return false;
  BeforeOutput();
  int n = ::poll(fds.data(), fds.size(), timeout_ms);
  if (n <= 0) return false;
  bool ran = false;
  for (size_t i = 0; i < fds.size(); ++i) {
    if (fds[i].revents == 0) continue;
    auto it = watches_.find(ids[i]);
    if (it == watches_.end()) continue;  // unwatched by an earlier handler
    std::shared_ptr<WatchRecord> record = it->second;
    ran = true;
    record->handler(fds[i].revents);
  }
  return ran;
}

bool EventLoop::RunOnce(int64_t max_wait_micros) {
  bool ran = RunTasks();
  ran = RunDueTimers() || ran;
  int64_t now = NowMicros();
  int64_t next_due = NextTimerDue();
  int64_t wait = max_wait_micros;
  if (ran || !tasks_.empty() || clock_->IsManual()) {
    wait = 0;
  } else if (next_due != kForever) {
    int64_t until_timer = std::max<int64_t>(next_due - now, 0);
    wait = wait < 0 ? until_timer : std::min(wait, until_timer);
  }
  ran = PollSockets(wait) || ran;
  if (!ran && tasks_.empty() && clock_->IsManual()) {
    // Nothing ready: move virtual time to the next event or the wait's end.
    int64_t target = next_due;
    if (max_wait_micros >= 0) {
      int64_t end = now + max_wait_micros;
      target = target == kForever ? end : std::min(target, end);
    }
    if (target != kForever && target > now) {
      static_cast<ManualClock&>(*clock_).Advance(target - now);
    }
  }
  return ran;
}

void EventLoop::Run() {
  while (!stop_) {
    if (!RunOnce(kForever) && clock_->IsManual() && NextTimerDue() == kForever && tasks_.empty()) {
      break;  // a manual clock with nothing left to wait for would never move
    }
  }
}

void EventLoop::RunFor(int64_t micros) {
  int64_t end = NowMicros() + micros;
  while (!stop_) {
    // A round that starts at or after the end and finds nothing to do ends
    // the run; work due exactly at the end still runs.
    int64_t now = NowMicros();
    bool ran = RunOnce(std::max<int64_t>(end - now, 0));
    if (!ran && now >= end) break;
  }
}

void EventLoop::WaitWithoutDispatch(int64_t deadline_micros) {
  int64_t now = NowMicros();
  if (deadline_micros <= now) return;
  RunBeforeWait();
  if (clock_->IsManual()) {
    static_cast<ManualClock&>(*clock_).Advance(deadline_micros - now);
    return;
  }
  int64_t wait = deadline_micros - now;
  BeforeOutput();
  timespec ts{static_cast<time_t>(wait / 1'000'000), static_cast<long>((wait % 1'000'000) * 1000)};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void EventLoop::PumpNested(int64_t deadline_micros) {
  if (depth_ >= kMaxNesting) {
    WaitWithoutDispatch(deadline_micros);
    return;
  }
  ++depth_;
  try {
    RunOnce(std::max<int64_t>(deadline_micros - NowMicros(), 0));
  } catch (...) {
    --depth_;
    throw;
  }
  --depth_;
}

Timer::Timer(EventLoop& loop, std::function<void()> handler)
    : loop_(&loop), state_(std::make_shared<TimerState>()) {
  state_->handler = std::move(handler);
}

Timer::~Timer() {
  // Entries left in the loop's heap find the state gone and are dropped.
  state_->enabled = false;
  ++state_->generation;
}

void Timer::Arm() {
  ++state_->generation;
  if (state_->enabled && state_->interval > 0) {
    loop_->Schedule(state_, loop_->NowMicros() + state_->interval * int64_t{1000});
  }
}

void Timer::SetInterval(int32_t millis) {
  state_->interval = millis < 0 ? 0 : millis;
  Arm();
}

int32_t Timer::Interval() const { return state_->interval; }

void Timer::SetEnabled(bool enabled) {
  state_->enabled = enabled;
  Arm();
}

bool Timer::Enabled() const { return state_->enabled; }

void Timer::SetHandler(std::function<void()> handler) { state_->handler = std::move(handler); }

}  // namespace dvrlink
