// SPDX-License-Identifier: MIT
#include "machine.h"

#include <cstdio>

namespace sim {

// Deliveries of one line at one instant after which the line is taken for
// stuck (its handler never clears it) and disabled, as the kernel does.
static constexpr unsigned kIrqStormLimit = 10000;

Machine::Machine(unsigned hz) : hz_(hz ? hz : 100) {
    auto w = std::make_unique<Task>();
    w->id = 0;
    w->name = "world";
    w->is_world = true;
    w->state = Task::State::Runnable;
    w->context = std::make_unique<Context>();
    w->machine = this;
    world_ = w.get();
    running_ = world_;
    tasks_.push_back(std::move(w));
}

Machine::~Machine() {
    abort_all();
    // each ended context switched away for good: its stack can go
    tasks_.clear();
}

// ---------------------------------------------------------------- time

void Machine::busy_wait(Nanos dt) {
    const Nanos target = now_ + dt;
    while (!events_.empty() && events_.next_time() <= target) {
        Nanos t;
        EventQueue::Callback fn;
        events_.pop(t, fn);
        if (t > now_)
            now_ = t;
        fn();
        interrupt_point();
    }
    now_ = target;
    interrupt_point();
}

bool Machine::idle_step() {
    Nanos t;
    EventQueue::Callback fn;
    if (!events_.pop(t, fn))
        return false;
    if (t > now_)
        now_ = t;
    fn();
    interrupt_point();
    return true;
}

// ---------------------------------------------------------- interrupts

void Machine::set_irq_line(unsigned line, bool level) {
    if (line >= kIrqLines)
        return;
    const uint64_t bit = uint64_t(1) << (line % 64);
    raised_[line / 64] = level ? raised_[line / 64] | bit : raised_[line / 64] & ~bit;
}

void Machine::set_ready(unsigned line) {
    const uint64_t bit = uint64_t(1) << (line % 64);
    const auto it = slots_.find(line);
    const bool ready = it != slots_.end() && it->second.handler && !it->second.disabled;
    ready_[line / 64] = ready ? ready_[line / 64] | bit : ready_[line / 64] & ~bit;
}

int Machine::request_irq(unsigned line, IrqHandler h, void* cookie, std::string name) {
    if (line >= kIrqLines || irq_installed(line))
        return -16;  // EBUSY: the line is taken and not shared
    slots_[line] = IrqSlot{h, cookie, std::move(name), 0, false};
    set_ready(line);
    return 0;
}

bool Machine::free_irq(unsigned line, void* cookie) {
    const auto it = slots_.find(line);
    if (it == slots_.end() || !it->second.handler || it->second.cookie != cookie)
        return false;
    slots_.erase(it);
    set_ready(line);
    return true;
}

bool Machine::irq_installed(unsigned line) const {
    const auto it = slots_.find(line);
    return it != slots_.end() && it->second.handler;
}

void Machine::clear_irq(unsigned line) {
    if (slots_.erase(line))
        set_ready(line);
}

bool Machine::disable_irqs() {
    bool was = irq_enabled_;
    if (was) {
        irq_enabled_ = false;
        irqs_off_since_ = now_;
    }
    return was;
}

void Machine::restore_irqs(bool enabled) {
    if (enabled && !irq_enabled_) {
        Nanos off = now_ - irqs_off_since_;
        irqs_off_total_ += off;
        if (off > irqs_off_longest_)
            irqs_off_longest_ = off;
        irq_enabled_ = true;
        interrupt_point();
    }
}

void Machine::deliver_irqs() {
    Nanos storm_at = now_;
    unsigned storm = 0;
    for (;;) {
        // the lowest raised line that has a handler: none, at nearly every platform call
        unsigned line = kIrqLines;
        for (unsigned w = 0; w < kIrqLines / 64; ++w)
            if (const uint64_t due = raised_[w] & ready_[w]) {
                line = w * 64 + unsigned(__builtin_ctzll(due));
                break;
            }
        if (line == kIrqLines)
            return;
        const IrqSlot& s = slots_.at(line);
        disable_irqs();
        in_irq_ = true;
        int r = s.handler(int(line), s.cookie);
        in_irq_ = false;
        // (the handler may have freed its own line)
        const auto it = slots_.find(line);
        IrqSlot* after = it == slots_.end() ? nullptr : &it->second;
        // the handler returns with interrupts off; account, then go on
        Nanos off = now_ - irqs_off_since_;
        irqs_off_total_ += off;
        if (off > irqs_off_longest_)
            irqs_off_longest_ = off;
        irq_enabled_ = true;
        if (now_ != storm_at) {
            storm_at = now_;
            storm = 0;
        }
        if (r == 0 && after)
            ++after->unhandled;
        if (++storm >= kIrqStormLimit && after) {
            std::fprintf(stderr, "irq %u: nobody cared; disabling IRQ #%u\n", line, line);
            after->disabled = true;
            set_ready(line);
        }
    }
}

// ------------------------------------------------------------ contexts

Task* Machine::spawn(std::string name, std::function<int()> body, bool start, bool kthread) {
    reap();
    auto t = std::make_unique<Task>();
    t->id = next_task_id_++;
    t->name = std::move(name);
    t->body = std::move(body);
    t->is_kthread = kthread;
    t->machine = this;
    Task* raw = t.get();
    tasks_.push_back(std::move(t));
    raw->context = std::make_unique<Context>(&Machine::enter, raw);
    if (start)
        wake(raw);
    return raw;
}

void Machine::release(Task* t) {
    t->released = true;
    reap();
}

// Frees the released contexts that have ended, stack and all.  An ended
// context is only ever switched away from, never back to.
void Machine::reap() {
    for (size_t i = 0; i < tasks_.size();) {
        Task* t = tasks_[i].get();
        // an ended context may still run the idle loop on its way out
        if (!t->released || t->state != Task::State::Done || t->in_runq || t == running_) {
            ++i;
            continue;
        }
        for (auto& other : tasks_)
            std::erase(other->joiners, t);
        tasks_.erase(tasks_.begin() + std::ptrdiff_t(i));
    }
}

void Machine::enter(void* task) {
    Task* t = static_cast<Task*>(task);
    if (!t->aborting && setjmp(t->abort_jmp) == 0)
        t->result = t->body();
    else if (t->wait_entry && t->unlink_wait)
        t->unlink_wait(t);  // unwound in its sleep: out of the wait queue
    t->machine->exit_current();  // switches away for good
}

void Machine::exit_current() {
    Task* self = running_;
    self->state = Task::State::Done;
    if (self->timer) {
        events_.cancel(self->timer);
        self->timer = 0;
    }
    for (Task* j : self->joiners)
        wake(j);
    self->joiners.clear();
    schedule();  // switches away for good
}

void Machine::wake(Task* t, bool interruptible_only) {
    switch (t->state) {
    case Task::State::Done:
    case Task::State::Runnable:
        return;
    case Task::State::New:
        if (interruptible_only)
            return;
        break;
    case Task::State::Sleeping:
        if (interruptible_only && !t->interruptible)
            return;
        break;
    }
    t->state = Task::State::Runnable;
    if (t->timer) {
        events_.cancel(t->timer);
        t->timer = 0;
    }
    if (t != running_ && !t->in_runq) {
        runq_.push_back(t);
        t->in_runq = true;
    }
}

void Machine::set_sleeping(bool interruptible) {
    running_->state = Task::State::Sleeping;
    running_->interruptible = interruptible;
}

void Machine::block(Nanos deadline) {
    Task* self = running_;
    if (self->state != Task::State::Sleeping)
        return;  // woken between set_sleeping() and here
    if (self->interruptible && self->signal) {
        self->state = Task::State::Runnable;  // a pending signal ends the sleep at once
        return;
    }
    if (deadline)
        self->timer = events_.at(deadline, [this, self] {
            self->timer = 0;
            wake(self);
        });
    schedule();
    if (self->aborting && !self->is_world)
        std::longjmp(self->abort_jmp, 1);
}

void Machine::sleep(bool interruptible, Nanos deadline) {
    set_sleeping(interruptible);
    block(deadline);
}

void Machine::join(Task* t) {
    Task* self = running_;
    while (t->state != Task::State::Done && !deadlocked_) {
        t->joiners.push_back(self);
        sleep(false);
    }
}

void Machine::send_signal(Task* t) {
    t->signal = true;
    wake(t, true);
}

Task* Machine::pick() {
    for (auto it = runq_.begin(); it != runq_.end(); ++it) {
        if (!(*it)->is_world) {
            Task* t = *it;
            runq_.erase(it);
            t->in_runq = false;
            return t;
        }
    }
    if (!runq_.empty()) {  // only the world is left: it runs last
        Task* t = runq_.front();
        runq_.pop_front();
        t->in_runq = false;
        return t;
    }
    return nullptr;
}

void Machine::schedule() {
    Task* self = running_;
    for (;;) {
        if (self->state == Task::State::Runnable)
            return;  // woken while this context ran the idle loop
        Task* next = pick();
        if (next) {
            switch_to(next);
            return;
        }
        if (!idle_step()) {
            // Nothing runnable and nothing will happen: wake the world so
            // it can tell.
            deadlocked_ = true;
            if (on_deadlock)
                on_deadlock();
            if (world_->state == Task::State::Done)
                return;
            world_->state = Task::State::Sleeping;
            wake(world_);
        }
    }
}

void Machine::switch_to(Task* next) {
    Task* self = running_;
    running_ = next;
    Context::switch_to(*self->context, *next->context, self->state == Task::State::Done);
    if (self->aborting)
        std::longjmp(self->abort_jmp, 1);
}

bool Machine::run_until_done(Task* t) {
    deadlocked_ = false;
    join(t);
    return t->state == Task::State::Done;
}

void Machine::run_for(Nanos dt) {
    sleep(false, now_ + dt);
}

void Machine::settle() {
    Task* self = running_;
    if (runq_.empty())
        return;
    self->state = Task::State::Runnable;
    runq_.push_back(self);
    self->in_runq = true;
    // the world runs last: it gets the baton back once nothing else is runnable
    Task* next = pick();
    if (next != self)
        switch_to(next);
}

void Machine::abort_all() {
    for (auto& t : tasks_) {
        Task* task = t.get();
        if (task->is_world || task->state == Task::State::Done)
            continue;
        task->aborting = true;
        if (task->timer) {
            events_.cancel(task->timer);
            task->timer = 0;
        }
        task->state = Task::State::Sleeping;
        wake(task);
    }
    // each aborting context unwinds when it runs, then switches on
    while (!live_tasks().empty() && !runq_.empty())
        settle();
}

void Machine::drop_contexts() {
    abort_all();
    std::erase_if(tasks_, [this](const std::unique_ptr<Task>& t) {
        return !t->is_world && t->state == Task::State::Done && !t->in_runq && t.get() != running_;
    });
}

std::vector<Task*> Machine::live_tasks() const {
    std::vector<Task*> v;
    for (auto& t : tasks_)
        if (!t->is_world && t->state != Task::State::Done)
            v.push_back(t.get());
    return v;
}

}  // namespace sim
