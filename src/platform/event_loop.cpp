#include "platform/event_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "platform/platform_state.h"

namespace dvrlink {

struct TimerState {
  std::function<void()> handler;
  int32_t interval = 0;
  bool enabled = false;
  bool running = false;
  uint64_t generation = 0;
};

// poll(2)'s event bits are epoll's for what a watch may ask.
static_assert(POLLIN == EPOLLIN && POLLPRI == EPOLLPRI && POLLOUT == EPOLLOUT && POLLERR == EPOLLERR &&
              POLLHUP == EPOLLHUP);

EventLoop::EventLoop(std::unique_ptr<Clock> clock)
    : clock_(std::move(clock)), epoll_fd_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (epoll_fd_ < 0) throw std::runtime_error(std::string("cannot create the event loop: ") + std::strerror(errno));
}

EventLoop::~EventLoop() { ::close(epoll_fd_); }

void EventLoop::Post(std::function<void()> task) { tasks_.push_back(std::move(task)); }

EventLoop::WatchId EventLoop::Watch(int fd, short events, std::function<void(short)> handler) {
  WatchId id = next_watch_++;
  auto record = std::make_shared<WatchRecord>();
  record->fd = fd;
  record->events = events;
  record->handler = std::move(handler);
  watches_[id] = std::move(record);
  descriptors_[fd].ids.push_back(id);
  Register(fd, true);
  return id;
}

void EventLoop::SetWatchEvents(WatchId id, short events) {
  auto it = watches_.find(id);
  if (it == watches_.end()) return;
  it->second->events = events;
  Register(it->second->fd, false);
}

void EventLoop::Unwatch(WatchId id) {
  auto it = watches_.find(id);
  if (it == watches_.end()) return;
  const int fd = it->second->fd;
  watches_.erase(it);
  std::vector<WatchId>& ids = descriptors_[fd].ids;
  ids.erase(std::find(ids.begin(), ids.end(), id));
  Register(fd, false);
}

void EventLoop::Register(int fd, bool fresh) {
  Descriptor& d = descriptors_[fd];
  uint32_t events = 0;
  for (WatchId id : d.ids) events |= static_cast<uint16_t>(watches_[id]->events);
  if (events == d.registered && !fresh && d.refused == 0) return;
  if (d.registered != 0 && d.refused == 0) {
    --polled_;
    // Fails harmlessly when the descriptor was closed first (the kernel
    // dropped it then).
    if (events == 0) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
  }
  d.registered = events;
  d.refused = 0;
  refused_.erase(fd);
  if (events != 0) {
    epoll_event change{};
    change.events = events;
    change.data.fd = fd;
    // ADD for a descriptor number closed unwatched and now a new file; MOD
    // when the set already holds this file.
    int done = ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &change);
    if (done != 0 && errno == EEXIST) done = ::epoll_ctl(epoll_fd_, EPOLL_CTL_MOD, fd, &change);
    if (done == 0) {
      ++polled_;
    } else {
      d.refused = errno;
      refused_.insert(fd);
    }
  }
  if (d.ids.empty()) descriptors_.erase(fd);
}

void EventLoop::CollectRefused(std::vector<std::pair<WatchId, short>>& ready) {
  for (int fd : refused_) {
    const Descriptor& d = descriptors_[fd];
    for (WatchId id : d.ids) {
      const short events = watches_[id]->events;
      // A file is always ready; a number that names nothing is invalid.
      const short revents = d.refused == EPERM ? static_cast<short>(events & (POLLIN | POLLOUT)) : POLLNVAL;
      if (events != 0 && revents != 0) ready.emplace_back(id, revents);
    }
  }
}

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
  if (before_wait_.empty()) return;
  std::vector<std::function<void()>> due;
  due.swap(spare_before_wait_);  // a list kept from an earlier round, so no allocation
  due.swap(before_wait_);
  for (auto& task : due) task();
  due.clear();
  spare_before_wait_.swap(due);
}

bool EventLoop::PollSockets(int64_t timeout_micros) {
  RunBeforeWait();  // may change what the sockets wait for
  // A list kept from an earlier round, so no allocation; a handler that
  // runs a nested round takes another.
  std::vector<std::pair<WatchId, short>> ready;
  if (!spare_ready_.empty()) {
    ready = std::move(spare_ready_.back());
    spare_ready_.pop_back();
  }
  CollectRefused(ready);
  int timeout_ms = -1;
  if (!ready.empty()) {
    timeout_ms = 0;
  } else if (timeout_micros >= 0) {
    int64_t ms = (timeout_micros + 999) / 1000;  // round up: never wake early and spin
    timeout_ms = static_cast<int>(std::min<int64_t>(ms, 1'000'000));
  }
  if (polled_ == 0 && timeout_ms == 0 && ready.empty()) {
    spare_ready_.push_back(std::move(ready));
    return false;
  }
  BeforeOutput();
  constexpr int kMaxReady = 256;  // the rest stay ready for the next round
  epoll_event events[kMaxReady];
  const int n = ::epoll_wait(epoll_fd_, events, kMaxReady, timeout_ms);
  for (int i = 0; i < n; ++i) {
    auto found = descriptors_.find(events[i].data.fd);
    if (found == descriptors_.end()) continue;
    for (WatchId id : found->second.ids) {
      const short asked = watches_[id]->events;
      const auto revents = static_cast<short>(events[i].events & static_cast<uint16_t>(asked | POLLERR | POLLHUP));
      if (asked != 0 && revents != 0) ready.emplace_back(id, revents);
    }
  }
  // Oldest watch first, whatever order the kernel listed them in.
  std::sort(ready.begin(), ready.end());
  bool ran = false;
  for (const auto& [id, revents] : ready) {
    auto it = watches_.find(id);
    if (it == watches_.end()) continue;  // unwatched by an earlier handler
    std::shared_ptr<WatchRecord> record = it->second;
    ran = true;
    record->handler(revents);
  }
  ready.clear();
  spare_ready_.push_back(std::move(ready));
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
