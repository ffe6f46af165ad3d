// SPDX-License-Identifier: MIT
#include "event_queue.h"

namespace sim {

EventQueue::Id EventQueue::at(Nanos t, std::function<void()> fn) {
    Id id = next_id_++;
    queue_.emplace(std::make_pair(t, id), std::move(fn));
    time_of_.emplace(id, t);
    return id;
}

void EventQueue::cancel(Id id) {
    auto it = time_of_.find(id);
    if (it == time_of_.end())
        return;
    queue_.erase({it->second, id});
    time_of_.erase(it);
}

bool EventQueue::pop(Nanos& t, std::function<void()>& fn) {
    if (queue_.empty())
        return false;
    auto it = queue_.begin();
    t = it->first.first;
    time_of_.erase(it->first.second);
    fn = std::move(it->second);
    queue_.erase(it);
    return true;
}

}  // namespace sim
