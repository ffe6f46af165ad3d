// SPDX-License-Identifier: MIT
// Edge coverage of the driver module for libFuzzer.
//
// The box loads the module afresh with dlopen() at every boot and unmaps it
// at every unload, so the module cannot register coverage counters of its own
// with libFuzzer (they would be read after the unmap).  It is compiled with
// -fsanitize-coverage=trace-pc and linked with
// --wrap=__sanitizer_cov_trace_pc: each edge calls the function below, which
// counts it in libFuzzer's "extra counters", a table in this executable that
// libFuzzer clears before and reads after every input.  An edge is known by
// its offset in the module's image, the same at every load.
//
// The same hook guards the unloaded module: code of the module that runs
// while the box has it unloaded (a timer or a callback left behind) aborts
// here, so the loader need not take its text's protections away at every
// unload (sim/simkernel/module_loader.h).
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "module_coverage.h"
#include "simkernel/module_loader.h"

namespace {

// libFuzzer reads and clears the whole table at every input: it is kept
// small.  The calls that mark two edges return to addresses at least four
// bytes apart, so a quarter of the offset keeps them apart over 64 KiB of
// code.
constexpr uintptr_t kCounters = 1 << 14;

__attribute__((section("__libfuzzer_extra_counters"), used)) uint8_t module_edges[kCounters];

uintptr_t image_lo, image_hi;

// Every edge counted since the process started, for the figure at its end:
// the counters of each input are folded in at its end (fold_module_edges()),
// not at every edge.
uint8_t edges_reached[kCounters / 8];

__attribute__((destructor)) void report_edges_reached() {
    fold_module_edges();  // (the last input's, or a program's without libFuzzer)
    unsigned n = 0;
    for (uint8_t byte : edges_reached)
        n += unsigned(__builtin_popcount(byte));
    std::fprintf(stderr, "driver edges reached: %u\n", n);
}

// (read directly: the hook does not call into the instrumented simulator)
const bool* module_runnable;

__attribute__((constructor)) void guard_unloaded_module() {
    sim::ModuleLoader::guard_by_edge_hook();
    module_runnable = sim::ModuleLoader::kept_image_runnable_flag();
}

}  // namespace

// (not itself instrumented: it runs at every edge of the module)
extern "C" __attribute__((no_sanitize("address", "undefined", "coverage"))) void
__wrap___sanitizer_cov_trace_pc() {
    const uintptr_t pc = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    if (!*module_runnable) {
        std::fprintf(stderr, "the driver module's code ran while it was unloaded, at offset %#lx\n",
                     static_cast<unsigned long>(pc - image_lo));
        std::abort();
    }
    if (pc < image_lo || pc >= image_hi) {
        // a new load of the module (or the first edge of the first)
        Dl_info info{};
        if (!dladdr(reinterpret_cast<void*>(pc), &info) || !info.dli_fbase)
            return;
        image_lo = reinterpret_cast<uintptr_t>(info.dli_fbase);
        image_hi = image_lo + (1u << 20);
    }
    const uintptr_t edge = (pc - image_lo) / 4 % kCounters;
    uint8_t& c = module_edges[edge];
    c = uint8_t(c + 1 ? c + 1 : c);
}

// (not instrumented either: it reads the whole table at every input)
__attribute__((no_sanitize("address", "undefined", "coverage"))) void fold_module_edges() {
    for (uintptr_t i = 0; i < kCounters; i += 8) {
        uint64_t eight;
        __builtin_memcpy(&eight, &module_edges[i], 8);
        if (!eight)
            continue;
        for (uintptr_t j = i; j < i + 8; ++j)
            if (module_edges[j])
                edges_reached[j / 8] |= uint8_t(1u << (j % 8));
    }
}
