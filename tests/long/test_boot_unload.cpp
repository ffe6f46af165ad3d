// SPDX-License-Identifier: MIT
// Thirty thousand loads and unloads of the driver in one process: the
// simulator's memory (mappings and resident size) stays flat.  Every context
// of the box runs on a host thread and every load maps a fresh module image,
// so anything a load or a context leaves behind shows here long before a
// long-running shell script or soak would die of it.
#include <gtest/gtest.h>

#include <cstdio>

#include "box/box.h"
#include "machine/footprint.h"

namespace {

TEST(LongRun, ThirtyThousandBootsKeepMappingsAndResidentSizeFlat) {
    sim::Box box;
    sim::HostFootprint at_1000;
    for (int boot = 1; boot <= 30000; ++boot) {
        ASSERT_EQ(box.boot(), 0) << "boot " << boot;
        ASSERT_EQ(box.kernel().unload_module(), 0) << "unload " << boot;
        if (boot == 1000)
            at_1000 = sim::host_footprint();
    }
    const sim::HostFootprint at_30000 = sim::host_footprint();
    ASSERT_GT(at_1000.mappings, 0) << "/proc/self/maps cannot be read";
    std::printf("after 1,000 boots: %ld mappings, VmRSS %ld kB; after 30,000: %ld mappings, VmRSS %ld kB\n",
                at_1000.mappings, at_1000.rss_kb, at_30000.mappings, at_30000.rss_kb);
    EXPECT_TRUE(box.kernel().bugs().empty()) << box.kernel().bugs().front();
    // a leaked thread stack or image costs a mapping or two per boot: 29,000 more
    EXPECT_LE(at_30000.mappings, at_1000.mappings + 8);
    // the box's records fill up to their bounds (about 1 MB more) and stay there
    if (sim::kResidentSizeTracksHeap) {
        EXPECT_LE(at_30000.rss_kb, at_1000.rss_kb + 3 * 1024);
    }
}

}  // namespace
