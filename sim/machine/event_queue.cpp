// SPDX-License-Identifier: MIT
#include "event_queue.h"

#include <stdexcept>

namespace sim {

namespace {
constexpr uint32_t kNone = UINT32_MAX;
}

// The heap's helpers are inline: defined here only, they are not interposable
// symbols of the shared library and so get inlined into at/cancel/pop.
inline void EventQueue::place(size_t i, const Entry& e) {
    heap_[i] = e;
    slots_[e.slot].pos = uint32_t(i);
}

inline void EventQueue::sift_up(size_t i, Entry e) {
    while (i > 0) {
        const size_t parent = (i - 1) / 2;
        if (!before(e, heap_[parent]))
            break;
        place(i, heap_[parent]);
        i = parent;
    }
    place(i, e);
}

inline void EventQueue::sift_down(size_t i, Entry e) {
    const size_t n = heap_.size();
    for (;;) {
        size_t child = 2 * i + 1;
        if (child >= n)
            break;
        if (child + 1 < n && before(heap_[child + 1], heap_[child]))
            ++child;
        if (!before(heap_[child], e))
            break;
        place(i, heap_[child]);
        i = child;
    }
    place(i, e);
}

inline void EventQueue::remove_at(size_t i, Callback& out) {
    const uint32_t s = heap_[i].slot;
    const Entry last = heap_.back();
    heap_.pop_back();
    if (i < heap_.size()) {
        // the last entry fills the hole: it may belong above or below it
        if (i > 0 && before(last, heap_[(i - 1) / 2]))
            sift_up(i, last);
        else
            sift_down(i, last);
    }
    Slot& slot = slots_[s];
    out = std::move(slot.fn);
    slot.generation = (slot.generation + 1) & kGenerationMask;
    if (slot.generation == 0)
        slot.generation = 1;  // 0 is never an id
    slot.pos = free_;
    free_ = s;
}

uint32_t EventQueue::acquire() {
    if (free_ != kNone) {
        const uint32_t s = free_;
        free_ = slots_[s].pos;
        return s;
    }
    if (slots_.size() > kSlotMask)
        throw std::length_error("more than 16777215 events queued at once");
    slots_.emplace_back();
    return uint32_t(slots_.size() - 1);
}

EventQueue::Id EventQueue::enqueue(Nanos t, uint32_t s) {
    heap_.push_back(Entry{0, 0, 0});
    sift_up(heap_.size() - 1, Entry{t, next_seq_++, s});
    return (slots_[s].generation << kSlotBits) | s;
}

void EventQueue::cancel(Id id) {
    const uint64_t s = id & kSlotMask;
    if (s >= slots_.size())
        return;
    const Slot& slot = slots_[s];
    if (slot.generation != id >> kSlotBits)
        return;  // ran or cancelled already (or 0)
    Callback gone;
    remove_at(slot.pos, gone);
    // destroyed here, with the queue whole again: its captures may queue or cancel
}

bool EventQueue::reschedule(Id id, Nanos t) {
    const uint64_t s = id & kSlotMask;
    if (s >= slots_.size() || slots_[s].generation != id >> kSlotBits)
        return false;  // ran or cancelled already (or 0)
    const size_t i = slots_[s].pos;
    const Entry e{t, next_seq_++, uint32_t(s)};  // queued anew
    if (i > 0 && before(e, heap_[(i - 1) / 2]))
        sift_up(i, e);
    else
        sift_down(i, e);
    return true;
}

bool EventQueue::pop(Nanos& t, Callback& fn) {
    fn.reset();  // what it held may queue or cancel: done before the queue is taken apart
    if (heap_.empty())
        return false;
    t = heap_.front().t;
    remove_at(0, fn);
    return true;
}

}  // namespace sim
