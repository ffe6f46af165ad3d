// SPDX-License-Identifier: MIT
// A booted box put back from its snapshot (box_snapshot.h), as the fuzz
// harnesses start every input, is a freshly booted box: the same bytes on
// the box heap and in the module image, and the same answers afterwards.
#include <memory>
#include <string>

#include "box/box_snapshot.h"
#include "sim_helpers.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FP_SANITIZED 1
#endif
#endif
#ifndef FP_SANITIZED
#define FP_SANITIZED 0
#endif

namespace {

using sim::box_heap::Inside;
using namespace sim;

/// Zeroes the stack below the caller's frame.  A boot copies structures made on the
/// stack into the heap (the configuration, each wire byte), their padding
/// with them: what earlier calls left there must not tell two boots apart.
__attribute__((noinline)) void scrub_stack() {
    volatile char bytes[256 * 1024];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = 0;
}

/// (called right after scrub_stack(), so that its frame is on zeroes too)
std::unique_ptr<Box> boot_on_heap() {
    Inside inside;
    BoxConfig cfg;
    cfg.restore_module_image = true;
    auto box = std::make_unique<Box>(cfg);
    EXPECT_EQ(fptest::boot(*box, {.settle = 20'000'000}), 0);
    return box;
}

/// What the box does from here on: a key tap, a /proc read and write, the
/// time through an export, in the kernel log, on both lines and as events.
std::string behaviour(Box& box) {
    Inside inside;
    std::string s;
    {
        box.micom().press_key(0x49, 150'000'000);
        box.machine().run_for(400'000'000);
        s += box.kernel().proc_read("led").data;
        s += std::to_string(box.kernel().proc_write("led", "2\n"));
        s += std::to_string(box.kernel().call_export<unsigned long>("get_RTC_time"));
        box.machine().run_for(100'000'000);
        s += box.kernel().log().format();
        for (SerialLink* l : {&box.soc().primary(), &box.soc().isp()})
            for (const WireByte& w : l->log())
                s += std::to_string(w.start) + ":" + std::to_string(w.byte) + " ";
        for (const InputEvent& e : box.kernel().input().registered().at(0)->received())
            s += std::to_string(e.t) + "/" + std::to_string(e.code) + "/" + std::to_string(e.value) + " ";
    }
    box_heap::Outside outside;  // the answer outlives the box and its heap
    return std::string(s);
}

TEST(BoxSnapshot, RestoredBoxIsAFreshBoot) {
#ifdef FP_MODULE_HAS_GCOV
    // the gcov build maps the module anew at every load (its edge counts
    // are in its data), so there are no kept module bytes to put back
    GTEST_SKIP() << "the module has gcov counters in its data";
#endif
    box_heap::reset();
    scrub_stack();
    std::unique_ptr<Box> box = boot_on_heap();
    BoxSnapshot snapshot;
    std::string why;
    ASSERT_TRUE(snapshot.take(*box, &why)) << why;
    box_heap::Image booted;
    box_heap::save(booted);
    const std::vector<uint8_t> booted_module = ModuleLoader::kept_state().bytes;

    {
        // an input that leaves much behind: keys, the blink thread alive,
        // /dev/micom open in a program that is still running, a reboot
        Inside inside;
        box->micom().press_key(0x02, 300'000'000);
        EXPECT_EQ(box->kernel().proc_write("startrescue", "1\n"), 2);
        box->machine().run_for(1'000'000'000);
        EXPECT_EQ(box->kernel().proc_write("reboot", "\n"), 1);
        box->machine().run_for(3'000'000'000);
        box->machine().spawn("flasher", [&box] {
            box->kernel().sys_open("/dev/micom");
            box->machine().sleep(false, box->machine().now() + 5'000'000'000);
            return 0;
        }, true);
        box->machine().run_for(10'000'000);
    }
    EXPECT_FALSE(box->machine().live_tasks().empty());
    snapshot.restore(*box);
    box_heap::Image restored;
    box_heap::save(restored);
    EXPECT_TRUE(restored.bytes == booted.bytes);
    EXPECT_TRUE(ModuleLoader::kept_state().bytes == booted_module);
    EXPECT_TRUE(box->machine().live_tasks().empty());
    const std::string after_restore = behaviour(*box);

    {
        Inside inside;
        box.reset();
    }
    box_heap::reset();
    scrub_stack();
    box = boot_on_heap();
    box_heap::Image fresh;
    box_heap::save(fresh);
    ASSERT_EQ(fresh.bytes.size(), booted.bytes.size());
    size_t first_difference = fresh.bytes.size();
    for (size_t i = 0; i < fresh.bytes.size() && first_difference == fresh.bytes.size(); ++i)
        if (fresh.bytes[i] != booted.bytes[i])
            first_difference = i;
    // Under ASan or TSan the instrumented frames leave the sanitizer's own
    // addresses in the padding of structures built on the stack and copied
    // into the heap (scrub_stack cannot reach the sanitizer's frames), so
    // two boots differ there by their padding alone; the restore above and
    // the behaviour below are checked all the same.
#if !FP_SANITIZED
    EXPECT_EQ(first_difference, fresh.bytes.size()) << "the heaps differ from byte " << first_difference;
#endif
    EXPECT_TRUE(ModuleLoader::kept_state().bytes == booted_module);
    EXPECT_EQ(behaviour(*box), after_restore);
    {
        Inside inside;
        box.reset();
    }
    box_heap::reset();
}

}  // namespace
