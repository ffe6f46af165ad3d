// SPDX-License-Identifier: MIT
// The simulated CPU: virtual time, the event queue, interrupt lines and
// their delivery, and the scheduler of process contexts (one CPU).
//
// Time moves only when the CPU idles (every context blocked: it jumps to
// the next event) or busy-waits (busy_wait: it runs the events it passes).
// Code between two platform calls takes no virtual time.
//
// Each process context (module load/unload, user programs, kernel threads,
// and the world: the code that drives the simulation) is an execution
// context of its own (context.h), all on the host thread that made the
// machine; exactly one runs at a time.  A context that blocks runs the idle
// loop itself on its own stack, device events and interrupt handlers
// included, until some context is runnable; only when that is another
// context does it switch.  Contexts are not preempted: the running one keeps
// the CPU until it sleeps or ends.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "context.h"
#include "event_queue.h"
#include "sim_time.h"

namespace sim {

/// A process context.
struct Task {
    enum class State { New, Runnable, Sleeping, Done };

    int id = 0;
    std::string name;
    State state = State::New;
    bool interruptible = false;   ///< its sleep ends on a signal or an interruptible wake-up
    bool signal = false;          ///< a signal is pending
    bool should_stop = false;     ///< kthread_stop() was called
    bool is_kthread = false;
    bool is_world = false;
    bool in_runq = false;
    bool aborting = false;        ///< the box is going away: unwind at the next switch
    bool released = false;        ///< nobody looks at it any more: reaped once it has ended
    int result = 0;
    EventQueue::Id timer = 0;     ///< wake-up timer of its current sleep
    std::function<int()> body;
    std::vector<Task*> joiners;   ///< contexts waiting for this one to end
    std::unique_ptr<Context> context;  ///< its stack, freed with the Task
    class Machine* machine = nullptr;
    std::jmp_buf abort_jmp;
    /// The wait-queue entry the context is linked into (prepare_to_wait), and
    /// the kernel's function that unlinks it: a context unwound in its sleep
    /// leaves no entry (on its stack) behind in the queue.
    void* wait_entry = nullptr;
    void (*unlink_wait)(Task*) = nullptr;
};

using IrqHandler = int (*)(int irq, void* cookie);

class Machine {
public:
    explicit Machine(unsigned hz = 100);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // ---- time ----
    Nanos now() const { return now_; }
    unsigned hz() const { return hz_; }
    Nanos tick_ns() const { return 1'000'000'000ull / hz_; }
    unsigned long jiffies() const { return (unsigned long)(now_ / tick_ns()); }
    EventQueue& events() { return events_; }
    /// The running context spins for @dt: events in between run, and
    /// interrupts are taken if enabled.
    void busy_wait(Nanos dt);

    // ---- interrupts ----
    void set_irq_line(unsigned line, bool level);
    bool irq_line(unsigned line) const { return line < kIrqLines && (raised_[line / 64] >> (line % 64) & 1); }
    /// 0, or -16 (EBUSY) when the line is taken.
    int request_irq(unsigned line, IrqHandler h, void* cookie, std::string name);
    /// Returns false when no such handler was installed.
    bool free_irq(unsigned line, void* cookie);
    bool irq_installed(unsigned line) const;
    /// Removes whatever handler the line has (the box lost power).
    void clear_irq(unsigned line);
    bool irqs_enabled() const { return irq_enabled_; }
    bool in_irq() const { return in_irq_; }
    /// Local interrupt state, as spin_lock_irqsave/irqrestore change it.
    bool disable_irqs();
    void restore_irqs(bool enabled);
    /// Takes pending interrupts if local interrupts are on.  Every platform
    /// call and register access is such a point.
    void interrupt_point() {
        // (inline: nearly every platform call finds nothing due)
        if (irq_enabled_ && !in_irq_ && ((raised_[0] & ready_[0]) | (raised_[1] & ready_[1])))
            deliver_irqs();
    }
    /// Total time spent with local interrupts off, and the longest stretch.
    Nanos irqs_off_total() const { return irqs_off_total_; }
    Nanos irqs_off_longest() const { return irqs_off_longest_; }
    void reset_irqs_off_stats() { irqs_off_total_ = irqs_off_longest_ = 0; }

    // ---- contexts ----
    Task* current() const { return running_; }
    Task* world() const { return world_; }
    /// A new context, runnable at once unless @start is false (kthread_create).
    /// The Task stays valid (its result readable) until release().
    Task* spawn(std::string name, std::function<int()> body, bool start, bool kthread = false);
    /// The caller no longer looks at @t: once it has ended, the Task is freed.
    /// Until then a context that ended keeps its Task and its stack, so every
    /// context spawned must be released.
    void release(Task* t);
    /// Makes a sleeping or new context runnable; @interruptible_only wakes
    /// only interruptible sleepers.
    void wake(Task* t, bool interruptible_only = false);
    /// The current context sleeps until woken, or until @deadline (0: none).
    void sleep(bool interruptible, Nanos deadline = 0);
    /// Marks the current context sleeping without blocking yet (prepare_to_wait).
    void set_sleeping(bool interruptible);
    /// Blocks if still marked sleeping; returns at once when woken meanwhile.
    void block(Nanos deadline = 0);
    /// The current context waits until @t has ended.
    void join(Task* t);
    void send_signal(Task* t);
    /// From the world: runs the box until @t has ended; false on a deadlock.
    bool run_until_done(Task* t);
    /// From the world: runs the box for @dt of virtual time.
    void run_for(Nanos dt);
    /// From the world: runs the box until no context is runnable and no event is due before @limit.
    void settle();
    /// Ends every context but the world (the box is switched off); the
    /// contexts unwind without running further.
    void abort_all();
    /// Ends every context but the world, as abort_all(), and frees them all,
    /// stacks and Tasks, whoever still holds one (the box's state is about
    /// to be replaced by a saved one that knows none of them).
    void drop_contexts();
    bool deadlocked() const { return deadlocked_; }
    /// Contexts that have not ended (the world excluded).
    std::vector<Task*> live_tasks() const;

    /// Called by the scheduler when nothing is runnable and no event is left.
    std::function<void()> on_deadlock;

private:
    void schedule();
    Task* pick();
    void switch_to(Task* next);
    static void enter(void* task);
    void exit_current();
    bool idle_step();
    void deliver_irqs();
    void reap();

    unsigned hz_;
    Nanos now_ = 0;
    EventQueue events_;

    struct IrqSlot {
        IrqHandler handler = nullptr;
        void* cookie = nullptr;
        std::string name;
        unsigned unhandled = 0;
        bool disabled = false;
    };
    static constexpr unsigned kIrqLines = 128;
    static_assert(kIrqLines == 128, "interrupt_point() checks two words");
    uint64_t raised_[kIrqLines / 64] = {};  ///< lines at their active level
    uint64_t ready_[kIrqLines / 64] = {};   ///< lines with a handler, not disabled
    void set_ready(unsigned line);
    std::map<unsigned, IrqSlot> slots_;  ///< the lines that have a handler
    bool irq_enabled_ = true;
    bool in_irq_ = false;
    Nanos irqs_off_since_ = 0;
    Nanos irqs_off_total_ = 0, irqs_off_longest_ = 0;

    Task* running_ = nullptr;
    Task* world_ = nullptr;
    std::deque<Task*> runq_;
    std::vector<std::unique_ptr<Task>> tasks_;
    int next_task_id_ = 1;
    bool deadlocked_ = false;
};

}  // namespace sim
