// SPDX-License-Identifier: MIT
// What every fuzz harness shares: a reader that turns the fuzzer's bytes into
// decisions, a freshly booted box per input, and the checks of the
// invariants that hold whatever the micom or a user program did (the box's,
// in sim/checks, which fpsim soak checks too).
//
// Every input starts from a box as it is right after its boot.  The box is
// booted once per process, on the box heap, and its state kept
// (sim/box_snapshot.h); before each input that state is put back, the
// module's globals with it, so an input that fails fails again when run
// alone, in a process whose first and only input it is.  With
// FP_FUZZ_FRESH_BOOT=1 every input boots a box of its own instead (the
// answers must be the same); with FP_FUZZ_DIGEST=1 each input ends with a
// line "input digest: X", a hash of what the box did and of the driver's
// globals, to compare both ways.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "booted_box.h"
#include "box/box.h"
#include "box/box_snapshot.h"
#include "checks/invariants.h"
#include "frames.h"
#include "ir_vfd.h"
#include "line_inputs.h"
#include "module_coverage.h"

namespace fuzz {

using sim::Nanos;
using sim::operator""_us;
using sim::operator""_ms;
using sim::operator""_s;

/// Reports a broken invariant and aborts: the fuzzer keeps the input.
[[noreturn]] inline void fail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fputs("INVARIANT BROKEN: ", stderr);
    std::vfprintf(stderr, fmt, ap);
    std::fputc('\n', stderr);
    va_end(ap);
    std::abort();
}

/// The driver module next to the harness, where a fuzzing service's output
/// directory holds both; empty (the one built with the harness) otherwise.
inline const std::string& module_beside_harness() {
    static const std::string path = [] {
        char exe[4096];
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
        if (n <= 0)
            return std::string();
        std::string p(exe, size_t(n));
        p = p.substr(0, p.rfind('/') + 1) + "libfrontpanel_sim.so";
        return access(p.c_str(), R_OK) == 0 ? p : std::string();
    }();
    return path;
}

/// A box booted with a live micom; its start-up traffic is through.
inline std::unique_ptr<sim::Box> boot_box(uint64_t seed) {
    sim::BoxConfig cfg;
    cfg.seed = seed;
    cfg.module_path = module_beside_harness();
    cfg.restore_module_image = true;
    auto box = std::make_unique<sim::Box>(cfg);
    if (int r = fptest::boot(*box, {.settle = 20_ms, .clear_wire_log = true, .clear_irqs_off_stats = true}))
        fail("the box did not boot: %d", r);
    return box;
}

inline bool env_on(const char* name) {
    const char* v = std::getenv(name);
    return v && *v && *v != '0';
}

/// FNV-1a over what an input's box did: its kernel log, both lines' wire
/// logs, the input events, the driver's register writes, the time, and the
/// module's writable bytes, with pointers into the box heap taken relative
/// to it and pointers into a loaded object as the symbol they fall in and
/// the offset from it (or, outside every symbol, relative to the object):
/// each lies elsewhere in another process, and the module's lazily bound
/// calls into the harness (its coverage hook, the sanitizers' checks) lie
/// elsewhere in another build of the harness, whose own code may have moved
/// them.  So the digests of two builds of a harness can be compared.
inline uint64_t box_digest(sim::Box& box) {
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            h = (h ^ static_cast<const uint8_t*>(p)[i]) * 1099511628211ull;
    };
    const std::string log = box.kernel().log().format();
    mix(log.data(), log.size());
    for (sim::SerialLink* l : {&box.soc().primary(), &box.soc().isp()})
        for (const sim::WireByte& w : l->log()) {
            mix(&w.start, sizeof w.start);
            mix(&w.byte, 1);
            mix(&w.dir, 1);
            mix(&w.error, 1);
        }
    for (sim::InputDevice* d : box.kernel().input().registered())
        for (const sim::InputEvent& e : d->received()) {
            mix(&e.t, sizeof e.t);
            mix(&e.type, sizeof e.type);
            mix(&e.code, sizeof e.code);
            mix(&e.value, sizeof e.value);
        }
    for (const sim::RegWrite& w : box.soc().reg_writes()) {
        mix(&w.t, sizeof w.t);
        mix(&w.bus_addr, sizeof w.bus_addr);
        mix(&w.value, sizeof w.value);
    }
    const sim::Nanos now = box.machine().now();
    mix(&now, sizeof now);
    const auto image = sim::ModuleLoader::kept_state();
    const auto heap = reinterpret_cast<uintptr_t>(sim::box_heap::region());
    for (size_t i = 0; i + 8 <= image.bytes.size(); i += 8) {
        uint64_t v;
        std::memcpy(&v, &image.bytes[i], 8);
        Dl_info info{};
        if (heap && v >= heap && v < heap + (uint64_t(4) << 30))
            v -= heap;
        else if (v >= 4096 && dladdr(reinterpret_cast<void*>(v), &info) && info.dli_fbase) {
            if (info.dli_sname && info.dli_saddr) {  // (a symbol of the dynamic table)
                mix(info.dli_sname, std::strlen(info.dli_sname));
                v -= reinterpret_cast<uintptr_t>(info.dli_saddr);
            } else {
                v -= reinterpret_cast<uintptr_t>(info.dli_fbase);
            }
        }
        mix(&v, 8);
    }
    return h;
}

/// The box an input starts from: the booted one put back (or, with
/// FP_FUZZ_FRESH_BOOT, one booted for the input), on the box heap while the
/// input runs.
class FreshBox {
public:
    explicit FreshBox(uint64_t seed = 1) {
        (void)module_beside_harness();  // (a static: not on a box's heap)
        if (env_on("FP_FUZZ_FRESH_BOOT")) {
            sim::box_heap::reset();
            sim::box_heap::set_on(true);
            own_ = boot_box(seed);
            box_ = own_.get();
        } else {
            Booted& b = booted(seed);
            b.snapshot.restore(*b.box);
            sim::box_heap::set_on(true);
            box_ = b.box.get();
        }
    }
    ~FreshBox() {
        fold_module_edges();
        if (env_on("FP_FUZZ_DIGEST"))
            std::fprintf(stderr, "input digest: %016llx\n", (unsigned long long)box_digest(*box_));
        own_.reset();
        sim::box_heap::set_on(false);
    }
    FreshBox(const FreshBox&) = delete;
    FreshBox& operator=(const FreshBox&) = delete;
    sim::Box& box() { return *box_; }
    fp_priv_t& priv() { return *static_cast<fp_priv_t*>(box_->kernel().module_symbol("fp_priv")); }
    sim::InputDevice& input() { return *box_->kernel().input().registered().at(0); }
    Nanos char_time() const { return box_->soc().primary().micom_format.char_time(); }

private:
    struct Booted {
        std::unique_ptr<sim::Box> box;
        sim::BoxSnapshot snapshot;
    };
    /// The box of this process, booted at its first input.
    static Booted& booted(uint64_t seed) {
        static Booted* b = nullptr;
        if (!b) {
            b = new Booted;
            {
                sim::box_heap::Inside inside;
                b->box = boot_box(seed);
            }
            std::string why;
            if (!b->snapshot.take(*b->box, &why))
                fail("the booted box cannot be kept: %s", why.c_str());
        }
        if (b->box->config().seed != seed)
            fail("the booted box has seed %llu, not %llu", (unsigned long long)b->box->config().seed,
                 (unsigned long long)seed);
        return *b;
    }

    std::unique_ptr<sim::Box> own_;
    sim::Box* box_ = nullptr;
};

/// A buffer of a simulated program, from the C library's heap, not the box's:
/// the sanitizer sees any access past its @n bytes.
class UserBuffer {
public:
    explicit UserBuffer(size_t n) : p_(static_cast<uint8_t*>(std::malloc(n ? n : 1))) {}
    ~UserBuffer() { std::free(p_); }
    UserBuffer(const UserBuffer&) = delete;
    UserBuffer& operator=(const UserBuffer&) = delete;
    uint8_t* get() { return p_; }
    char* chars() { return reinterpret_cast<char*>(p_); }

private:
    uint8_t* p_;
};

/// Aborts with what a check of the box (sim/checks/invariants.h) found,
/// when it found anything.
inline void require(const sim::checks::Finding& found) {
    if (!found.empty())
        fail("%s", found.c_str());
}

/// Every invariant of the box that holds at any moment: no kernel bug, the
/// driver's words in their ranges, the RTC class's alarm the driver's, the
/// held keys the pending press, every key event synced
/// (sim::checks::box_state()).
inline void check_box(sim::Box& box) { require(sim::checks::box_state(box)); }

/// Local interrupts were never off longer than @bound (@why: what allows it).
inline void check_irqs_off(sim::Box& box, Nanos bound, const char* why) {
    require(sim::checks::irqs_off_within(box, bound, why));
}

/// A whole key-event frame from the micom (key_event_frame()).
inline void send_key_event(sim::Box& box, uint8_t k0, uint8_t k1, uint8_t addr, uint8_t k3,
                           uint8_t k4) {
    for (uint8_t b : fptest::key_event_frame(k0, k1, addr, k3, k4))
        box.soc().primary().micom_send(b);
}

/// How many clean taps check_clean_tap() saw come through, reported at exit.
inline unsigned long& clean_taps_checked() {
    static unsigned long n = 0;
    return n;
}

/// A clean tap of the key byte @key: its press, 100 ms later its release.
inline void tap_key(FreshBox& fb, uint8_t key) {
    send_key_event(fb.box(), 0x01, 0x00, 0x5F, key, uint8_t(~key));
    fb.box().machine().run_for(100_ms);
    send_key_event(fb.box(), 0x01, 0x00, 0x5F, uint8_t(~key), key);
    fb.box().machine().run_for(100_ms);
}

/// Liveness: whatever came before, once the start has ended and the line has
/// been quiet for a second, a clean tap of the valid key byte @key reaches
/// user space as exactly that press and that release, nothing missing and
/// nothing extra.  A press still pending (its release lost on the line)
/// costs one tap, which must end it (the tap's press lets the pending key
/// go, or is its repeat); the tap after that must come through whole.
inline void check_clean_tap(FreshBox& fb, uint8_t key) {
    sim::Box& box = fb.box();
    fp_priv_t& p = fb.priv();
    while (box.soc().primary().micom_busy())
        box.machine().run_for(fb.char_time());
    p.input_ready = 1;
    box.machine().run_for(1_s);

    if (p.last_key != 0) {
        const uint16_t pending = p.last_key;
        tap_key(fb, key);
        if (p.last_key != 0 || !fb.input().held_keys().empty())
            fail("press %04X was pending; a clean tap of key byte %02X left press %04X pending "
                 "and %zu keys held",
                 pending, key, p.last_key, fb.input().held_keys().size());
    }
    const size_t from = sim::checks::input_events_read(box);
    const unsigned code = sim::checks::key_code_of(box, key);
    tap_key(fb, key);
    require(sim::checks::clean_tap_read(box, from, key, code));
    if (p.last_key != 0 || !fb.input().held_keys().empty())
        fail("a clean tap of key byte %02X left press %04X pending", key, p.last_key);
    ++clean_taps_checked();
}

/// Prints at exit how many clean taps came through (the harnesses that check them).
inline void report_clean_taps_at_exit() {
    static bool once = [] {
        std::atexit([] { std::fprintf(stderr, "clean taps checked: %lu\n", clean_taps_checked()); });
        return true;
    }();
    (void)once;
}

}  // namespace fuzz
