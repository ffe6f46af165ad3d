// SPDX-License-Identifier: MIT
// The queue of timed events of the simulated box: device activity and
// kernel timers.  Events at the same time run in the order they were queued.
// A cancelled event leaves the queue at once (timers are cancelled far more
// often than they fire).
//
// Nothing here allocates once the queue has grown to the most events the
// box keeps queued at a time: each event lives in a slot that is reused
// through a free list, its callable is stored inside the slot, and the order
// is a binary heap of slot numbers that knows where each slot sits in it, so
// a cancel takes the event out in O(log n).
#pragma once

#include <cstdint>
#include <vector>

#include "inline_function.h"
#include "sim_time.h"

namespace sim {

class EventQueue {
public:
    using Id = uint64_t;
    /// What an event runs: captures of up to six pointers fit.
    using Callback = InlineFunction<void(), 48>;

    EventQueue() {
        heap_.reserve(16);  // what a box keeps queued at a time, mostly
        slots_.reserve(16);
    }

    /// Queues @fn to run at @t; returns an id for cancel() (never 0).
    template <class F>
    Id at(Nanos t, F&& fn) {
        const uint32_t s = acquire();
        slots_[s].fn.emplace(std::forward<F>(fn));  // in its slot at once: no move
        return enqueue(t, s);
    }
    /// Drops a queued event; an id that already ran, was cancelled, or 0 is ignored.
    void cancel(Id id);
    /// Moves a queued event to @t, keeping its id and callable: the same as
    /// cancelling it and queueing it anew (it runs after the events queued
    /// for @t before now), without remaking it.  False when @id is not queued.
    bool reschedule(Id id, Nanos t);
    bool empty() const { return heap_.empty(); }
    /// Time of the earliest event; only valid when !empty().
    Nanos next_time() const { return heap_.front().t; }
    /// Removes the earliest event and returns it (time, function).
    bool pop(Nanos& t, Callback& fn);
    /// Events queued now.
    size_t size() const { return heap_.size(); }
    /// Slots ever made: the most events that were queued at one time.
    size_t capacity() const { return slots_.size(); }

private:
    // An id is the slot number in its low bits and the slot's generation,
    // bumped each time the slot is freed, above them: an id that ran or was
    // cancelled no longer matches, even once its slot holds another event.
    static constexpr unsigned kSlotBits = 24;
    static constexpr uint64_t kSlotMask = (uint64_t(1) << kSlotBits) - 1;
    static constexpr uint64_t kGenerationMask = UINT64_MAX >> kSlotBits;

    struct Entry {
        Nanos t;
        uint64_t seq;   ///< order of queueing: breaks ties in time
        uint32_t slot;
        // Copied field by field: the heap moves entries all the time, and a
        // whole-struct copy is a call to a checked memcpy under ASan.
        Entry(Nanos t_, uint64_t seq_, uint32_t slot_) : t(t_), seq(seq_), slot(slot_) {}
        Entry(const Entry& o) : t(o.t), seq(o.seq), slot(o.slot) {}
        Entry& operator=(const Entry& o) {
            t = o.t;
            seq = o.seq;
            slot = o.slot;
            return *this;
        }
    };
    struct Slot {
        Callback fn;
        uint64_t generation = 1;
        uint32_t pos = 0;  ///< index in heap_ while queued, next free slot while free
    };

    static bool before(const Entry& a, const Entry& b) { return a.t != b.t ? a.t < b.t : a.seq < b.seq; }
    void place(size_t i, const Entry& e);
    void sift_up(size_t i, Entry e);
    void sift_down(size_t i, Entry e);
    /// Takes heap_[i] out of the heap and frees its slot; its callable goes
    /// to @out, which must be empty (nothing of the caller's runs meanwhile).
    void remove_at(size_t i, Callback& out);
    /// A free slot (its callable empty), made if none is left.
    uint32_t acquire();
    /// Queues the event in slot @s at @t.
    Id enqueue(Nanos t, uint32_t s);

    std::vector<Entry> heap_;
    std::vector<Slot> slots_;
    uint32_t free_ = UINT32_MAX;  ///< first free slot, UINT32_MAX: none
    uint64_t next_seq_ = 0;
};

}  // namespace sim
