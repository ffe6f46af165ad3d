// SPDX-License-Identifier: MIT
#include "event_queue.h"

namespace sim {

EventQueue::Id EventQueue::at(Nanos t, std::function<void()> fn) {
    Id id = next_id_++;
    live_.insert(id);
    heap_.push(Event{t, id, std::move(fn)});
    return id;
}

void EventQueue::cancel(Id id) {
    live_.erase(id);
}

void EventQueue::drop_cancelled() {
    while (!heap_.empty() && !live_.count(heap_.top().id))
        heap_.pop();
}

Nanos EventQueue::next_time() {
    drop_cancelled();
    return heap_.top().t;
}

bool EventQueue::pop(Nanos& t, std::function<void()>& fn) {
    drop_cancelled();
    if (heap_.empty())
        return false;
    // priority_queue::top() is const; the function is moved out before pop().
    Event& e = const_cast<Event&>(heap_.top());
    t = e.t;
    live_.erase(e.id);
    fn = std::move(e.fn);
    heap_.pop();
    return true;
}

}  // namespace sim
