// SPDX-License-Identifier: MIT
// An execution context switched in user space: a stack of its own and the
// registers saved at its last switch.  Every process context of the simulated
// box is one; all of them run on the host thread that created the box, and a
// switch between two costs a fraction of a microsecond (a hand-off between two
// host threads costs tens).
//
// AddressSanitizer and ThreadSanitizer are told of each switch (their fiber
// interfaces), so both follow the contexts as they do threads.  On x86-64 a
// switch saves and restores the callee-saved registers itself; elsewhere it
// is swapcontext().
#pragma once

#if !defined(__x86_64__)
#include <ucontext.h>
#endif

#include <cstddef>

namespace sim {

class Context {
public:
    /// The context the calling host thread runs in now.
    Context();
    /// A context that runs entry(arg) on a fresh stack the first time it is
    /// switched to.  entry must never return: it ends by switching away
    /// with @from_ends set.
    Context(void (*entry)(void*), void* arg);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    /// Saves the running context @from and continues @to.  Returns when
    /// something switches back to @from; with @from_ends, nothing will.
    static void switch_to(Context& from, Context& to, bool from_ends = false);

private:
    friend void context_entry(Context* self);
    void finish_switch();

#if defined(__x86_64__)
    void* sp_ = nullptr;  ///< its stack pointer while switched away
#else
    static void start(unsigned lo, unsigned hi);
    ucontext_t regs_{};
#endif
    void* stack_ = nullptr;   ///< the mapping: a guard page, then the stack
    size_t mapped_ = 0;
    const void* stack_lo_ = nullptr;  ///< the stack itself, as the sanitizers see it
    size_t stack_size_ = 0;
    void* fake_stack_ = nullptr;      ///< AddressSanitizer's, while switched away
    [[maybe_unused]] void* fiber_ = nullptr;  ///< ThreadSanitizer's (in its builds only)
    [[maybe_unused]] bool own_fiber_ = false;
    void (*entry_)(void*) = nullptr;
    void* arg_ = nullptr;
};

}  // namespace sim
