// SPDX-License-Identifier: MIT
// The simulator itself: the same scenario and seed give the same run, every
// load of the module starts from its load-time globals, kernel time-outs
// are counted in ticks.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

// The same scenario twice gives the same logs, byte for byte.
static std::string scenario_trace(uint64_t seed) {
    BoxConfig cfg;
    cfg.seed = seed;
    Box box(cfg);
    box.micom().set_time(micom::DateTime{2020, 2, 29, 23, 59, 58});
    box.boot();
    box.machine().run_for(3_s);
    box.kernel().unload_module();
    std::string trace = box.kernel().log().format();
    for (auto* link : {&box.soc().primary(), &box.soc().isp()})
        for (auto& w : link->log())
            trace += std::to_string(w.start) + (w.dir == Direction::HostToMicom ? " > " : " < ") +
                     std::to_string(w.byte) + "\n";
    return trace;
}

TEST(Determinism, SameScenarioGivesIdenticalLogs) {
    std::string a = scenario_trace(7), b = scenario_trace(7);
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, b);
}

TEST(FreshLoad, EveryLoadStartsFromTheLoadTimeGlobals) {
    Box box;
    ASSERT_EQ(box.boot(), 0);
    auto* led_status = static_cast<int32_t*>(box.kernel().module_symbol("led_status"));
    auto* have_rf = static_cast<int*>(box.kernel().module_symbol("have_RF"));
    ASSERT_NE(led_status, nullptr);
    ASSERT_NE(have_rf, nullptr);
    EXPECT_EQ(*led_status, 1);
    *led_status = 3;
    *have_rf = 1;
    ASSERT_EQ(box.kernel().unload_module(), 0);
    EXPECT_TRUE(box.kernel().last_unload_unmapped());
    ASSERT_EQ(box.boot(), 0);
    EXPECT_EQ(*static_cast<int32_t*>(box.kernel().module_symbol("led_status")), 1);
    EXPECT_EQ(*static_cast<int*>(box.kernel().module_symbol("have_RF")), 0);
}

// A restored image must be what a fresh mapping of the module gives, byte
// for byte, after a boot that changed its globals; a pointer word may differ
// only by where each image lies.  The unloaded image cannot be run.
TEST(FreshLoad, RestoredImageEqualsAFreshMappingAndAnUnloadedOneCannotRun) {
    BoxConfig cfg;
    cfg.restore_module_image = true;
    std::string path;
    {
        Box box(cfg);
        path = box.config().module_path;
        ASSERT_EQ(box.boot(), 0);
        ASSERT_EQ(box.kernel().proc_write("led", "3"), 1);
        simtest::micom_sends(box, {0xAA, 0xD8, 0x01, 0x00, 0x5F, 0x49, 0xB6, 0x9B ^ 0xD8 ^ 0x01 ^ 0x5F ^ 0x49 ^ 0xB6});
        ASSERT_EQ(box.kernel().unload_module(), 0);
        EXPECT_TRUE(box.kernel().last_unload_unmapped());
        auto init = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "init_fp"));
        EXPECT_EQ(init, nullptr);  // the module's symbols stay its own
    }
    ModuleLoader kept(path, true);
    if (!kept.restoring())
        GTEST_SKIP() << "this build maps the module anew at every load";
    std::string error;
    void* restored = kept.load(&error);
    ASSERT_NE(restored, nullptr) << error;
    const std::string copy = ::testing::TempDir() + "fresh_module_copy.so";
    {
        std::ifstream in(path, std::ios::binary);
        std::ofstream out(copy, std::ios::binary);
        out << in.rdbuf();
    }
    void* fresh = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(fresh, nullptr) << dlerror();
    const auto a = ModuleLoader::writable_image(restored), b = ModuleLoader::writable_image(fresh);
    ASSERT_EQ(a.bytes.size(), b.bytes.size());
    ASSERT_GT(a.bytes.size(), 0u);
    size_t differ = 0;
    for (size_t i = 0; i < a.bytes.size(); i += 8) {
        const size_t n = std::min<size_t>(8, a.bytes.size() - i);
        if (std::memcmp(&a.bytes[i], &b.bytes[i], n) == 0)
            continue;
        uint64_t wa = 0, wb = 0;
        std::memcpy(&wa, &a.bytes[i], n);
        std::memcpy(&wb, &b.bytes[i], n);
        if (n == 8 && wa - a.base == wb - b.base)
            continue;  // a pointer into each image
        ++differ;
        ADD_FAILURE() << "byte " << i << " of the writable image: " << std::hex << wa << " restored, " << wb
                      << " fresh";
        if (differ > 8)
            break;
    }
    dlclose(fresh);
    std::remove(copy.c_str());
    ASSERT_TRUE(kept.unload(restored));
    // the code of the unloaded image: no access at all
    const auto code = reinterpret_cast<uintptr_t>(dlsym(restored, "cleanup_fp"));
    std::ifstream maps("/proc/self/maps");
    std::string perms;
    for (std::string line; std::getline(maps, line);) {
        unsigned long lo = 0, hi = 0;
        char p[8] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &lo, &hi, p) == 3 && code >= lo && code < hi)
            perms = p;
    }
    EXPECT_EQ(perms, "---p");
}

TEST(TickRate, TimeoutsAreCountedInTicks) {
    BoxConfig cfg;
    cfg.hz = 250;
    Box box(cfg);
    box.micom().set_silent(true);
    ASSERT_EQ(box.boot(), 0);
    const Nanos floor = 10_ms + 100 * 4_ms + 50_ms + 200 * 4_ms;
    EXPECT_GE(box.machine().now(), floor);
    EXPECT_LE(box.machine().now(), floor + 4 * 4_ms);
}


// With faults on the line, the seed decides which bytes suffer: the same seed
// gives the same run, another seed another one.
static std::string noisy_trace(uint64_t seed) {
    BoxConfig cfg;
    cfg.seed = seed;
    Box box(cfg);
    box.boot();
    box.soc().primary().faults.drop = 0.05;
    box.soc().primary().faults.corrupt = 0.05;
    for (int i = 0; i < 30; ++i) {
        box.micom().press_key(0x49, 200_ms);
        box.machine().run_for(500_ms);
    }
    std::string trace = box.kernel().log().format();
    for (auto& e : box.kernel().input().registered().at(0)->received())
        trace += std::to_string(e.t) + " " + std::to_string(e.code) + " " + std::to_string(e.value) + "\n";
    return trace + std::to_string(box.soc().primary().faults_injected());
}

TEST(Determinism, SameSeedSameRunOtherSeedOtherRun) {
    const std::string a = noisy_trace(7);
    EXPECT_EQ(a, noisy_trace(7));
    EXPECT_NE(a, noisy_trace(8));
}
