// SPDX-License-Identifier: MIT
#include "context.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FP_ASAN 1
#endif
#if __has_feature(thread_sanitizer)
#define FP_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define FP_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define FP_TSAN 1
#endif

#ifdef FP_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif
#ifdef FP_TSAN
extern "C" {
void* __tsan_get_current_fiber(void);
void* __tsan_create_fiber(unsigned flags);
void __tsan_destroy_fiber(void* fiber);
void __tsan_switch_to_fiber(void* fiber, unsigned flags);
}
#endif

namespace sim {

namespace {

// Generous: the simulated programs keep buffers on their stacks, and the
// sanitizers' frames are larger.  Pages are only backed once touched.
constexpr size_t kStackSize = size_t(8) << 20;

// Mappings of ended contexts, kept for the next ones (a box starts contexts
// all the time: every system call from the world, every program).
// A fixed array: nothing here allocates, so the list is no part of any box
// (box_heap.h) and outlives each.
constexpr size_t kSparesKept = 16;
struct SpareStacks {
    void* m[kSparesKept];
    size_t n = 0;
    bool empty() const { return n == 0; }
    size_t size() const { return n; }
    void* back() const { return m[n - 1]; }
    void pop_back() { --n; }
    void push_back(void* s) { m[n++] = s; }
};
SpareStacks& spare_stacks() {
    static SpareStacks v;
    return v;
}

size_t page_size() {
    static const size_t p = size_t(sysconf(_SC_PAGESIZE));
    return p;
}

void* map_stack(size_t mapped) {
    auto& spares = spare_stacks();
    if (!spares.empty()) {
        void* m = spares.back();
        spares.pop_back();
        return m;
    }
    void* m = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK,
                   -1, 0);
    if (m == MAP_FAILED) {
        std::perror("fpsim: no memory for a context's stack");
        std::abort();
    }
    // a guard page below: an overflow faults instead of overwriting
    mprotect(m, page_size(), PROT_NONE);
    return m;
}

// @used_lo: the lowest address the context's frames may have left poisoned.
void unmap_stack(void* m, size_t mapped, const void* used_lo) {
#ifdef FP_ASAN
    // Frames of a context that ended by switching away stay poisoned: those
    // live at its last switch, all above its last stack pointer (deeper
    // frames unpoisoned themselves on return, or at a longjmp past them).
    char* lo = static_cast<char*>(m) + page_size();
    if (used_lo > lo)
        lo = static_cast<char*>(const_cast<void*>(used_lo));
    __asan_unpoison_memory_region(lo, size_t(static_cast<char*>(m) + mapped - lo));
#else
    (void)used_lo;
#endif
    auto& spares = spare_stacks();
    if (spares.size() < kSparesKept)
        spares.push_back(m);
    else
        munmap(m, mapped);
}

/// The context a switch came from (for the sanitizers' bookkeeping).
Context* g_switched_from = nullptr;

}  // namespace

#if defined(__x86_64__)
// fp_context_switch(&from_sp, to_sp): pushes the callee-saved registers and
// the floating-point control words, saves the stack pointer, loads @to_sp
// and pops the same from there.  A new context's stack is laid out as such a
// switch leaves it, returning into fp_context_start, which calls
// context_entry with the context (kept in r12).
extern "C" void fp_context_switch(void** from_sp, void* to_sp);
extern "C" void fp_context_start();
// (not instrumented: context_entry() never returns, and ASan would precede
// the call with __asan_handle_no_return(), a sigaltstack() system call at
// the start of every context; a fresh stack has no frames to unpoison)
extern "C" __attribute__((no_sanitize("address"))) void fp_context_entry(Context* self) {
    context_entry(self);
}
asm(R"(
    .text
    .globl fp_context_switch
    .hidden fp_context_switch
    .type fp_context_switch, @function
fp_context_switch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size fp_context_switch, .-fp_context_switch

    .globl fp_context_start
    .hidden fp_context_start
    .type fp_context_start, @function
fp_context_start:
    movq %r12, %rdi
    call fp_context_entry@PLT
    ud2
    .size fp_context_start, .-fp_context_start
)");
#endif

void context_entry(Context* self) {
#ifdef FP_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &g_switched_from->stack_lo_, &g_switched_from->stack_size_);
#endif
    self->entry_(self->arg_);
    std::fputs("fpsim: a context returned instead of switching away\n", stderr);
    std::abort();
}

Context::Context() {
#ifdef FP_TSAN
    fiber_ = __tsan_get_current_fiber();
#endif
}

Context::Context(void (*entry)(void*), void* arg) : entry_(entry), arg_(arg) {
    mapped_ = kStackSize + page_size();
    stack_ = map_stack(mapped_);
    stack_lo_ = static_cast<char*>(stack_) + page_size();
    stack_size_ = kStackSize;
#if defined(__x86_64__)
    // as fp_context_switch leaves a stack: control words, r15, r14, r13,
    // r12 (this context), rbx, rbp, the return address; 16-byte aligned
    // after the return, as at a call
    auto* top = reinterpret_cast<uint64_t*>(static_cast<char*>(stack_) + mapped_);
    uint64_t* sp = top - 10;
    sp[0] = 0x037Full << 32 | 0x1F80;  // MXCSR and x87 control word at their defaults
    sp[1] = sp[2] = sp[3] = 0;
    sp[4] = reinterpret_cast<uint64_t>(this);
    sp[5] = sp[6] = 0;
    sp[7] = reinterpret_cast<uint64_t>(&fp_context_start);
    sp_ = sp;
#else
    getcontext(&regs_);
    regs_.uc_stack.ss_sp = const_cast<void*>(stack_lo_);
    regs_.uc_stack.ss_size = stack_size_;
    regs_.uc_link = nullptr;
    const auto self = reinterpret_cast<uintptr_t>(this);
    makecontext(&regs_, reinterpret_cast<void (*)()>(&Context::start), 2, unsigned(self & 0xFFFFFFFFu),
                unsigned(uint64_t(self) >> 32));
#endif
#ifdef FP_TSAN
    fiber_ = __tsan_create_fiber(0);
    own_fiber_ = true;
#endif
}

Context::~Context() {
#ifdef FP_TSAN
    if (own_fiber_)
        __tsan_destroy_fiber(fiber_);
#endif
    if (stack_) {
        const void* used_lo = nullptr;
#if defined(__x86_64__)
        // (with a margin for the red zone below the stack pointer)
        if (sp_)
            used_lo = reinterpret_cast<const void*>((reinterpret_cast<uintptr_t>(sp_) - 512) & ~uintptr_t(7));
#endif
        unmap_stack(stack_, mapped_, used_lo);
    }
}

#if !defined(__x86_64__)
void Context::start(unsigned lo, unsigned hi) {
    context_entry(reinterpret_cast<Context*>(uintptr_t(lo) | uintptr_t(hi) << 32));
}
#endif

void Context::switch_to(Context& from, Context& to, bool from_ends) {
    g_switched_from = &from;
#ifdef FP_ASAN
    __sanitizer_start_switch_fiber(from_ends ? nullptr : &from.fake_stack_, to.stack_lo_, to.stack_size_);
#endif
#ifdef FP_TSAN
    __tsan_switch_to_fiber(to.fiber_, 0);
#endif
#if defined(__x86_64__)
    fp_context_switch(&from.sp_, to.sp_);
#else
    swapcontext(&from.regs_, &to.regs_);
#endif
    (void)from_ends;
    from.finish_switch();
}

void Context::finish_switch() {
#ifdef FP_ASAN
    __sanitizer_finish_switch_fiber(fake_stack_, &g_switched_from->stack_lo_, &g_switched_from->stack_size_);
#endif
}

}  // namespace sim
