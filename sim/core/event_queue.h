// SPDX-License-Identifier: MIT
// The queue of timed events of the simulated box: device activity and
// kernel timers.  Events at the same time run in the order they were queued.
// A cancelled event leaves the queue at once (timers are cancelled far more
// often than they fire).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <unordered_map>
#include <utility>

#include "sim_time.h"

namespace sim {

class EventQueue {
public:
    using Id = uint64_t;

    /// Queues @fn to run at @t; returns an id for cancel().
    Id at(Nanos t, std::function<void()> fn);
    /// Drops a queued event; an id that already ran (or 0) is ignored.
    void cancel(Id id);
    bool empty() const { return queue_.empty(); }
    /// Time of the earliest event; only valid when !empty().
    Nanos next_time() const { return queue_.begin()->first.first; }
    /// Removes the earliest event and returns it (time, function).
    bool pop(Nanos& t, std::function<void()>& fn);

private:
    std::map<std::pair<Nanos, Id>, std::function<void()>> queue_;  ///< by time, then id
    std::unordered_map<Id, Nanos> time_of_;                        ///< queued ids
    Id next_id_ = 1;
};

}  // namespace sim
