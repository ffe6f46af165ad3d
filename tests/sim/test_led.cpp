// SPDX-License-Identifier: MIT
// The LED modes and the blink thread on the simulated box: /proc/led, set_LED,
// /proc/startrescue and the thread "blink" in virtual time.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

constexpr uint8_t kCmdControl = 0x4;
constexpr Nanos kTick = 10_ms;  // the box's default 100 Hz

struct LedFrame {
    Nanos time;
    uint8_t code;
};

/// LED-select frames the micom received, with their arrival times.
std::vector<LedFrame> led_frames(Box& box) {
    std::vector<LedFrame> v;
    for (auto& f : box.micom().frames())
        if (f.code == kCmdControl && f.payload.size() == 2 && f.payload[0] == 0x00)
            v.push_back({f.time, f.payload[1]});
    return v;
}

size_t blink_threads(Box& box) {
    size_t n = 0;
    for (Task* t : box.machine().live_tasks())
        n += t->is_kthread && t->name == "blink";
    return n;
}

class Led : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(box.boot(), 0);
        box.machine().run_for(20_ms);
        box.micom().clear_frames();
    }
    std::vector<uint8_t> codes_after(long expect_ret, const std::string& text) {
        box.micom().clear_frames();
        EXPECT_EQ(box.kernel().proc_write("led", text), expect_ret) << text;
        box.machine().run_for(20_ms);
        std::vector<uint8_t> v;
        for (auto& f : led_frames(box))
            v.push_back(f.code);
        return v;
    }
    std::string led() { return box.kernel().proc_read("led").data; }
    Box box;
};

}  // namespace

TEST_F(Led, ReadGivesTheLastModeSetAndOneCallPerRead) {
    ProcEntry* e = box.kernel().procfs().find("led");
    ASSERT_NE(e, nullptr);
    SysResult r = box.kernel().proc_read("led");
    EXPECT_EQ(r.ret, 2);
    EXPECT_EQ(r.data, "1\n");  // the load-time mode; nothing was sent for it
    EXPECT_TRUE(led_frames(box).empty());
    EXPECT_EQ(e->read_calls, 1u);  // end of file after the text: no second call
}

TEST_F(Led, AReaderTakingOneByteAtATimeGetsTheWholeTextThenEndOfFile) {
    std::string got;
    long last = -1;
    box.kernel().run_process("dd", [&] {
        long fd = box.kernel().sys_open("/proc/led");
        char c;
        for (int i = 0; i < 4; ++i) {
            last = box.kernel().sys_read(fd, &c, 1);
            if (last != 1)
                break;
            got += c;
        }
        box.kernel().sys_close(fd);
        return 0;
    });
    EXPECT_EQ(got, "1\n");
    EXPECT_EQ(last, 0);
}

TEST_F(Led, WritesSendThePatternCodesOfTheMode) {
    EXPECT_EQ(hex(codes_after(2, "2\n")), "04 05");
    EXPECT_EQ(led(), "2\n");
    EXPECT_EQ(hex(codes_after(2, "3\n")), "07");
    EXPECT_EQ(hex(codes_after(2, "1\n")), "06 03");
    EXPECT_EQ(hex(codes_after(2, "0\n")), "00");
    EXPECT_EQ(led(), "0\n");
    EXPECT_EQ(hex(codes_after(4, "  3\n")), "07");  // leading blanks are skipped
    // other modules pass the mode as text
    box.micom().clear_frames();
    box.kernel().call_export<void>("set_LED", "2");
    box.machine().run_for(20_ms);
    ASSERT_EQ(led_frames(box).size(), 2u);
    EXPECT_EQ(led_frames(box)[0].code, 0x04);
    EXPECT_EQ(led_frames(box)[1].code, 0x05);
    EXPECT_EQ(led(), "2\n");
    // a NULL text from another module sends nothing; the next text is taken
    box.kernel().call_export<void>("set_LED", static_cast<const char*>(nullptr));
    box.machine().run_for(20_ms);
    EXPECT_EQ(led_frames(box).size(), 2u);
    EXPECT_EQ(led(), "2\n");
    EXPECT_EQ(hex(codes_after(2, "3\n")), "07");
}

TEST_F(Led, NumbersOutsideTheModesAreIgnoredAndTextsWithoutOneSetMode0) {
    ASSERT_EQ(hex(codes_after(2, "2\n")), "04 05");
    for (const char* t : {"7\n", "-1\n", "4\n", "300\n"}) {
        EXPECT_TRUE(codes_after(long(std::string(t).size()), t).empty()) << t;
        EXPECT_EQ(led(), "2\n") << t;
    }
    EXPECT_EQ(hex(codes_after(4, "abc\n")), "00");
    EXPECT_EQ(led(), "0\n");
    ASSERT_EQ(hex(codes_after(2, "3\n")), "07");
    EXPECT_EQ(hex(codes_after(0, "")), "00");  // an empty write: no number, mode 0
    EXPECT_EQ(led(), "0\n");
    // "2" without its line end: the last byte is dropped, no number is left
    EXPECT_EQ(hex(codes_after(1, "2")), "00");
}

// The kernel's %d, the same texts as in the QEMU guest test: no '+', blanks
// skipped, a number ends at its first non-digit, no 0x prefix.
TEST_F(Led, ModeTextsAreReadAsTheKernelReadsNumbers) {
    struct Case {
        const char* text;
        const char* codes;
        const char* mode;
    };
    for (const Case& c : {Case{"+2\n", "00", "0\n"}, Case{" 2\n", "04 05", "2\n"}, Case{"2x\n", "04 05", "2\n"},
                          Case{"0x2\n", "00", "0\n"}}) {
        ASSERT_EQ(hex(codes_after(2, "3\n")), "07");
        EXPECT_EQ(hex(codes_after(long(std::string(c.text).size()), c.text)), c.codes) << c.text;
        EXPECT_EQ(led(), c.mode) << c.text;
    }
}

TEST_F(Led, OversizedOrUnreadableWritesFailWithEfaultAndSendNothing) {
    EXPECT_TRUE(codes_after(-14, std::string(129, '2')).empty());
    box.kernel().faults.user_copy_fail = 1;
    EXPECT_TRUE(codes_after(-14, "2\n").empty());
    EXPECT_EQ(led(), "1\n");
    // 128 bytes are still taken
    EXPECT_EQ(hex(codes_after(128, "3" + std::string(127, '\n'))), "07");
}

TEST_F(Led, BlinkThreadAlternatesModes0And1Every50TicksAndProcLedFollows) {
    const Nanos t0 = box.machine().now();
    EXPECT_EQ(box.kernel().proc_write("startrescue", "1\n"), 2);
    EXPECT_EQ(blink_threads(box), 1u);
    EXPECT_NE(*static_cast<kp_task**>(box.kernel().module_symbol("tblink")), nullptr);

    box.machine().run_for(t0 + 40 * kTick - box.machine().now());
    EXPECT_TRUE(led_frames(box).empty());  // the first change waits 50 ticks
    EXPECT_EQ(led(), "1\n");

    // at 75, 125, 175, 225 ticks: modes 0, 1, 0, 1
    const char* want_led[] = {"0\n", "1\n", "0\n", "1\n"};
    for (int k = 0; k < 4; ++k) {
        box.machine().run_for(t0 + Nanos(75 + 50 * k) * kTick - box.machine().now());
        EXPECT_EQ(led(), want_led[k]) << k;
    }
    auto f = led_frames(box);
    std::string codes;
    for (auto& x : f)
        codes += hex({x.code}) + " ";
    EXPECT_EQ(codes, "00 06 03 00 06 03 ");
    // every change comes 50 ticks after the one before, the first 50 ticks after the write
    const size_t first_of_change[] = {0, 1, 3, 4};
    for (int k = 0; k < 4; ++k) {
        const Nanos at = f[first_of_change[k]].time - t0;
        EXPECT_GE(at, Nanos(50 * (k + 1) - 1) * kTick) << k;
        EXPECT_LE(at, Nanos(50 * (k + 1) + 1) * kTick) << k;
    }
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST_F(Led, SecondStartrescueWhileBlinkingIsIgnored) {
    const Nanos t0 = box.machine().now();
    ASSERT_EQ(box.kernel().proc_write("startrescue", ""), 0);
    kp_task* first = *static_cast<kp_task**>(box.kernel().module_symbol("tblink"));
    box.machine().run_for(t0 + 75 * kTick - box.machine().now());
    EXPECT_EQ(box.kernel().proc_write("startrescue", "1\n"), 2);
    EXPECT_EQ(blink_threads(box), 1u);
    EXPECT_EQ(*static_cast<kp_task**>(box.kernel().module_symbol("tblink")), first);
    // the running thread keeps its rhythm: a new thread would send mode 0 at 125 ticks
    box.machine().run_for(t0 + 140 * kTick - box.machine().now());
    std::string codes;
    for (auto& x : led_frames(box))
        codes += hex({x.code}) + " ";
    EXPECT_EQ(codes, "00 06 03 ");

    // the module's stop ends the one thread; it leaves nothing behind
    ASSERT_EQ(box.kernel().unload_module(), 0);
    EXPECT_EQ(blink_threads(box), 0u);
    EXPECT_TRUE(box.kernel().leftovers().empty()) << testing::PrintToString(box.kernel().leftovers());
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

// Two writers race across the thread's creation, which sleeps: the one that
// loses stops its own thread, which never runs, and the winner's blinks.
TEST_F(Led, TwoWritersRacingStartOneBlinkThread) {
    Machine& m = box.machine();
    auto writer = [this] {
        const long fd = box.kernel().sys_open("/proc/startrescue");
        const long r = box.kernel().sys_write(fd, "1\n", 2);
        box.kernel().sys_close(fd);
        return int(r);
    };
    const Nanos t0 = box.machine().now();
    Task* a = m.spawn("writer-a", writer, true);
    Task* b = m.spawn("writer-b", writer, true);
    ASSERT_TRUE(m.run_until_done(a));
    ASSERT_TRUE(m.run_until_done(b));
    EXPECT_EQ(a->result, 2);
    EXPECT_EQ(b->result, 2);
    m.release(a);
    m.release(b);
    std::vector<Task*> blink;
    for (Task* t : m.live_tasks())
        if (t->is_kthread && t->name == "blink")
            blink.push_back(t);
    ASSERT_EQ(blink.size(), 1u);
    EXPECT_EQ(*static_cast<void**>(box.kernel().module_symbol("tblink")), static_cast<void*>(blink[0]));
    box.machine().run_for(t0 + 60 * kTick - box.machine().now());
    EXPECT_EQ(led_frames(box).size(), 1u);  // one thread: one change of mode

    ASSERT_EQ(box.kernel().unload_module(), 0);
    EXPECT_EQ(blink_threads(box), 0u);
    EXPECT_TRUE(box.kernel().leftovers().empty()) << testing::PrintToString(box.kernel().leftovers());
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

TEST_F(Led, ThreadToldToStopInItsSleepChangesTheModeOnceMore) {
    const Nanos t0 = box.machine().now();
    ASSERT_EQ(box.kernel().proc_write("startrescue", "1\n"), 2);
    box.machine().run_for(t0 + 75 * kTick - box.machine().now());
    ASSERT_EQ(led_frames(box).size(), 1u);  // mode 0
    ASSERT_EQ(box.kernel().unload_module(), 0);
    box.machine().run_for(2_s);
    std::string codes;
    for (auto& x : led_frames(box))
        codes += hex({x.code}) + " ";
    EXPECT_EQ(codes, "00 06 03 ");  // woken early, mode 1 once, then the end
    EXPECT_LT(led_frames(box).back().time - t0, 80 * kTick);
    EXPECT_EQ(blink_threads(box), 0u);
}

TEST_F(Led, FailedThreadCreationKeepsNoHandleAndALaterWriteStartsOne) {
    box.kernel().faults.kthread_fail = true;
    EXPECT_EQ(box.kernel().proc_write("startrescue", "1\n"), 2);
    EXPECT_EQ(*static_cast<kp_task**>(box.kernel().module_symbol("tblink")), nullptr);
    EXPECT_EQ(blink_threads(box), 0u);
    box.machine().run_for(2_s);
    EXPECT_TRUE(led_frames(box).empty());

    box.kernel().faults.kthread_fail = false;
    EXPECT_EQ(box.kernel().proc_write("startrescue", "1\n"), 2);
    EXPECT_EQ(blink_threads(box), 1u);
    box.machine().run_for(60 * kTick);
    EXPECT_EQ(led_frames(box).size(), 1u);
}
