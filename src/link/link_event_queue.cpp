#include "link/link_event_queue.h"

#include <algorithm>

namespace dvrlink::link {

LinkEventQueue::LinkEventQueue(EventLoop& loop) { state_->loop = &loop; }

LinkEventQueue::~LinkEventQueue() {
  state_->alive = false;
  state_->entries.clear();
}

void LinkEventQueue::Push(int target, int32_t session, std::function<void()> deliver) {
  state_->entries.push_back(Entry{target, session, std::move(deliver)});
  Schedule(state_);
}

void LinkEventQueue::Hold(bool held) {
  state_->held = held;
  if (!held) Schedule(state_);
}

void LinkEventQueue::Schedule(const std::shared_ptr<State>& state) {
  State& s = *state;
  if (s.scheduled || s.held || s.entries.empty() || !s.alive) return;
  s.scheduled = true;
  std::weak_ptr<State> weak = state;
  s.loop->Post([weak] { Drain(weak); });
}

void LinkEventQueue::Drain(const std::weak_ptr<State>& weak) {
  std::shared_ptr<State> s = weak.lock();
  if (!s) return;
  s->scheduled = false;
  // One at a time from the front: a sink that waits in Delay lets a nested
  // drain deliver the next events, still in order.
  while (s->alive && !s->held && !s->entries.empty()) {
    std::function<void()> deliver = std::move(s->entries.front().deliver);
    s->entries.pop_front();
    try {
      deliver();
    } catch (...) {
      Schedule(s);  // the events behind it are still delivered
      throw;
    }
  }
}

void LinkEventQueue::DropTarget(int target) {
  auto& e = state_->entries;
  e.erase(std::remove_if(e.begin(), e.end(), [target](const Entry& x) { return x.target == target; }), e.end());
}

void LinkEventQueue::DropSession(int32_t session) {
  auto& e = state_->entries;
  e.erase(std::remove_if(e.begin(), e.end(), [session](const Entry& x) { return x.session == session; }), e.end());
}

void LinkEventQueue::DropAll() { state_->entries.clear(); }

size_t LinkEventQueue::Pending() const { return state_->entries.size(); }

}  // namespace dvrlink::link
