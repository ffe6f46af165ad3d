// SPDX-License-Identifier: MIT
// A booted box for a test: the box boots with its live micom and runs on
// until its start-up traffic is through.  The tests of tests/sim, the fuzz
// harnesses and the long runs start from it.
#pragma once

#include <cstdint>

#include "box/box.h"

namespace fptest {

/// What follows the boot.
struct AfterBoot {
    sim::Nanos settle = 10'000'000;     ///< the box runs this long: its start-up traffic is through
    bool clear_wire_log = false;        ///< the primary line's log forgets the start-up bytes
    bool clear_irqs_off_stats = false;  ///< the longest stretch with interrupts off starts anew
};

/// Boots @box and does @after; gives what Box::boot() returned (nothing is
/// done after a boot that failed).
int boot(sim::Box& box, const AfterBoot& after = {});

/// A box configuration with the seed @seed, everything else the default.
sim::BoxConfig with_seed(uint64_t seed);

/// A box of a test, booted on construction (boot()); @boot_result tells
/// whether the boot went well (0).
struct BootedBox {
    explicit BootedBox(const sim::BoxConfig& config = {}, const AfterBoot& after = {})
        : box(config), boot_result(boot(box, after)) {}
    sim::Box box;
    int boot_result;
};

}  // namespace fptest
