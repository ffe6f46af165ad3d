// SPDX-License-Identifier: MIT
// The queue of timed events of the simulated box: device activity and
// kernel timers.  Events at the same time run in the order they were queued.
#pragma once

#include <cstdint>
#include <functional>
#include <queue>
#include <unordered_set>
#include <vector>

#include "sim_time.h"

namespace sim {

class EventQueue {
public:
    using Id = uint64_t;

    /// Queues @fn to run at @t; returns an id for cancel().
    Id at(Nanos t, std::function<void()> fn);
    void cancel(Id id);
    bool empty() const { return live_.empty(); }
    /// Time of the earliest live event; only valid when !empty().
    Nanos next_time();
    /// Removes the earliest live event and returns it (time, function).
    bool pop(Nanos& t, std::function<void()>& fn);

private:
    struct Event {
        Nanos t;
        Id id;
        std::function<void()> fn;
    };
    struct Later {
        bool operator()(const Event& a, const Event& b) const {
            return a.t != b.t ? a.t > b.t : a.id > b.id;
        }
    };
    void drop_cancelled();

    std::priority_queue<Event, std::vector<Event>, Later> heap_;
    std::unordered_set<Id> live_;  // queued and not cancelled
    Id next_id_ = 1;
};

}  // namespace sim
