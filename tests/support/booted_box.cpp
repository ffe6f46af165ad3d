// SPDX-License-Identifier: MIT
#include "booted_box.h"

namespace fptest {

int boot(sim::Box& box, const AfterBoot& after) {
    if (int r = box.boot(); r != 0)
        return r;
    box.machine().run_for(after.settle);
    if (after.clear_wire_log)
        box.soc().primary().clear_log();
    if (after.clear_irqs_off_stats)
        box.machine().reset_irqs_off_stats();
    return 0;
}

sim::BoxConfig with_seed(uint64_t seed) {
    sim::BoxConfig config;
    config.seed = seed;
    return config;
}

}  // namespace fptest
