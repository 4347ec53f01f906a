// The order in which a DVR link object hands its events to its sinks: first
// in, first out, each event a task on the message loop, so no event is ever
// delivered inside the call that caused it. Events can be held back (before
// delivery is started) and dropped (a sink detached, a session closed).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>

#include "platform/event_loop.h"

namespace dvrlink::link {

class LinkEventQueue {
 public:
  explicit LinkEventQueue(EventLoop& loop);
  // Events not yet delivered are dropped.
  ~LinkEventQueue();
  LinkEventQueue(const LinkEventQueue&) = delete;
  LinkEventQueue& operator=(const LinkEventQueue&) = delete;

  // target tells which sink the event is for; session which session it
  // belongs to (0: none).
  void Push(int target, int32_t session, std::function<void()> deliver);
  // While held, events wait; releasing schedules their delivery.
  void Hold(bool held);
  void DropTarget(int target);
  void DropSession(int32_t session);
  void DropAll();
  size_t Pending() const;

 private:
  struct Entry {
    int target;
    int32_t session;
    std::function<void()> deliver;
  };
  struct State {
    std::deque<Entry> entries;
    bool scheduled = false;
    bool held = false;
    bool alive = true;
    EventLoop* loop = nullptr;  // not owned; outlives the queue
  };
  static void Drain(const std::weak_ptr<State>& weak);
  static void Schedule(const std::shared_ptr<State>& state);

  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace dvrlink::link
