// SPDX-License-Identifier: MIT
// The box's records of what happened (kernel log, wire log, register and pin
// writes...) keep only their latest entries, as the kernel's own log buffer
// does, so that a box run for months or booted a hundred thousand times
// stays within a fixed amount of memory.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace sim {

/// Before @log grows: with @whole_bound, room for its whole bound (2 *
/// @limit entries) at once.  Where memory is the C library's (no box heap,
/// whose used bytes are a box's snapshot), its pages are backed only as
/// entries fill them, and it never moves: grown by doubling, a fresh process
/// touched twice the pages and copied every entry (a flash's 25,000 wire
/// bytes were a third of the page faults of a whole fpsim flash).
template <class T>
void make_room_bounded(std::vector<T>& log, size_t limit, bool whole_bound) {
    if (log.size() == log.capacity() && log.capacity() < 2 * limit && whole_bound)
        log.reserve(2 * limit);
}

/// Appends @value to @log.  Once @log holds 2 * @limit entries, the oldest
/// @limit go first (constant time per entry on average); the latest @limit
/// entries are always there.  Returns how many entries were dropped.
template <class T>
size_t append_bounded(std::vector<T>& log, T value, size_t limit) {
    size_t dropped = 0;
    if (log.size() >= 2 * limit) {
        log.erase(log.begin(), log.begin() + std::ptrdiff_t(limit));
        dropped = limit;
    }
    log.push_back(std::move(value));
    return dropped;
}

/// The same, for an entry made in place in @log, value-initialised (its
/// padding zero, not what a temporary on the stack held: a box's records are
/// compared as bytes, box_snapshot.h) and filled in by the caller.
template <class T>
T& append_bounded_entry(std::vector<T>& log, size_t limit, size_t& dropped) {
    if (log.size() >= 2 * limit) {
        log.erase(log.begin(), log.begin() + std::ptrdiff_t(limit));
        dropped += limit;
    }
    return log.emplace_back();
}

}  // namespace sim
