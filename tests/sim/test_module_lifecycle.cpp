// SPDX-License-Identifier: MIT
// The module's start and stop on the simulated box: what the driver sends,
// what it registers, how it fails and what it leaves; send_cmd's frames; a
// signal ending a wait for the micom.
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

namespace {

// The SoC's own addresses, written here as the SoC documents them: the
// register sequence below is checked against them, not against soc_map.h.
constexpr uint32_t kUart0 = 0x6C200, kUart1 = 0x6CD00;

}  // namespace

TEST(Start, SilentMicomStartTakesBothTimeoutsAndSendsBothRequests) {
    Box box;
    box.micom().set_silent(true);
    ASSERT_EQ(box.boot(), 0);

    // 10 ms + 100 ticks + 50 ms + 200 ticks, each sleep rounded up to whole
    // ticks plus one as the kernel does, and the two frames on the wire
    const Nanos floor = 10_ms + 100 * 10_ms + 50_ms + 200 * 10_ms;
    EXPECT_GE(box.machine().now(), floor);
    EXPECT_LE(box.machine().now(), floor + 4 * 10_ms);

    EXPECT_EQ(hex(host_bytes(box.soc().primary())), "AA 20 A2 0A 0A 82 AA 20 D2 0D 0D F2");
    EXPECT_TRUE(host_bytes(box.soc().isp()).empty());

    auto msgs = log_messages(box);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], "MICOM FP starting 8652...");
    EXPECT_EQ(msgs[1], "DETECTED TAVIX lumeta MODEL");
    EXPECT_EQ(box.kernel().log().lines()[0].level(), 6);

    // no answer: nothing learnt, the kernel clock left alone
    EXPECT_EQ(priv(box)->bootinfo_ready, 0);
    EXPECT_EQ(priv(box)->time_ready, 0);
    EXPECT_LT(box.kernel().wall_ns(), int64_t(10_s));
}

TEST(Start, ProgramsBothUartsInOrderAndEnablesReceiveAfterTheInterrupt) {
    Box box;
    box.kernel().faults.irq_taken = false;
    ASSERT_EQ(box.boot(), 0);
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {kUart0 + 0x08, 0x00}, {kUart0 + 0x38, 0xEE}, {kUart0 + 0x10, 0x47},
        {kUart0 + 0x14, 0x03}, {kUart0 + 0x2C, 0x01}, {kUart0 + 0x28, 0x04},
        {kUart1 + 0x08, 0x00}, {kUart1 + 0x38, 0xEE}, {kUart1 + 0x10, 0x47},
        {kUart1 + 0x14, 0x03}, {kUart1 + 0x2C, 0x01}, {kUart1 + 0x28, 0x04},
        {kUart0 + 0x08, 0x01},
    };
    EXPECT_EQ(config_writes(box), expected);
    // the transmit register is the only one written over gbus
    for (auto& w : box.soc().reg_writes()) {
        if (w.via_gbus) {
            EXPECT_EQ(w.bus_addr, kUart0 + 0x04);
        }
    }

    // with interrupt 10 taken, the receive interrupt is never switched on
    box.kernel().unload_module();
    box.soc().clear_reg_writes();
    box.kernel().faults.irq_taken = true;
    EXPECT_EQ(box.boot(), -5);
    for (auto& [addr, value] : config_writes(box)) {
        EXPECT_FALSE(addr == kUart0 + 0x08 && value == 0x01);
    }
}

TEST(Start, LiveMicomAnswersShortenTheStart) {
    Box box;
    box.micom().set_time(micom::DateTime{2013, 5, 1, 12, 0, 0});
    ASSERT_EQ(box.boot(), 0);
    // two sleeps (2 and 6 ticks) and two round trips on the wire
    EXPECT_LT(box.machine().now(), 100_ms);
    EXPECT_EQ(priv(box)->bootinfo_ready, 1);
    EXPECT_EQ(priv(box)->time_ready, 1);
    EXPECT_EQ(priv(box)->rtc_year, 2013);
    // the kernel clock is the micom's time plus half a second
    const int64_t micom_secs = 1367409600;  // 2013-05-01 12:00:00
    EXPECT_GE(box.kernel().wall_ns(), micom_secs * 1'000'000'000 + 500'000'000);
    EXPECT_LT(box.kernel().wall_ns(), micom_secs * 1'000'000'000 + 600'000'000);
}

TEST(Start, RegistersEntriesDeviceAndInput) {
    Box box;
    ASSERT_EQ(box.boot(), 0);

    struct Expect {
        bool read, write;
    };
    const std::map<std::string, Expect> entries = {
        {"vfd", {false, true}},      {"deepstandby", {false, true}}, {"vfdclock", {false, true}},
        {"model", {true, false}},    {"reboot", {false, true}},      {"rescue", {true, false}},
        {"startrescue", {false, true}}, {"settime", {false, true}},  {"led", {true, true}},
        {"enableisp", {false, true}},
    };
    EXPECT_EQ(box.kernel().procfs().names().size(), 10u);
    for (auto& [name, want] : entries) {
        ProcEntry* e = box.kernel().procfs().find(name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_EQ(e->mode, 0644) << name;
        EXPECT_EQ(e->read_proc != nullptr, want.read) << name;
        EXPECT_EQ(e->write_proc != nullptr, want.write) << name;
        EXPECT_EQ(e->data, priv(box)) << name;
    }

    Chrdev* dev = box.kernel().chrdevs().find(75, 0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->name, "micom");
    EXPECT_EQ(dev->baseminor, 0u);
    EXPECT_EQ(dev->count, 256u);

    auto devices = box.kernel().input().registered();
    ASSERT_EQ(devices.size(), 1u);
    InputDevice* in = devices[0];
    EXPECT_EQ(in->name, "marlowen remote control (native)");
    EXPECT_EQ(in->bustype, 0);
    EXPECT_EQ(in->vendor, 1);
    EXPECT_EQ(in->product, 1);
    EXPECT_EQ(in->version, 0x0100);
    EXPECT_TRUE(in->evbit.test(kEvKey));
    EXPECT_TRUE(in->evbit.test(kEvRep));
    EXPECT_FALSE(in->soft_repeat);
    EXPECT_EQ(in->rep_delay, 33);
    EXPECT_EQ(in->rep_period, 250);
    EXPECT_TRUE(in->keybit.test(389));  // KEY_DVD stands for every unmapped byte
    EXPECT_FALSE(in->keybit.test(0));   // KEY_RESERVED
    EXPECT_EQ(in->keybit.count(), 42u); // the 41 distinct keys of the map, and KEY_DVD

    fp_priv_t* p = priv(box);
    auto* ir_keycode = static_cast<uint32_t*>(box.kernel().module_symbol("ir_keycode"));
    ASSERT_NE(ir_keycode, nullptr);
    EXPECT_TRUE(std::equal(p->keymap, p->keymap + 256, ir_keycode));
    EXPECT_EQ(in->keycode, p->keymap);
    EXPECT_EQ(in->keycodesize, 4u);
    EXPECT_EQ(in->keycodemax, 256u);
    EXPECT_EQ(ir_keycode[0x49], 103u);  // KEY_UP
    EXPECT_EQ(ir_keycode[0x44], 389u);  // not a key of the remote
    EXPECT_TRUE(box.machine().irq_installed(FP_IRQ));
    EXPECT_FALSE(box.machine().irq_installed(FP_ISP_IRQ));
    EXPECT_NE(box.kernel().pm_power_off, nullptr);
    EXPECT_EQ(box.kernel().call_export<int>("get_power_status"), 0);
    // keys are reported from the end of the start on, nothing held before
    EXPECT_TRUE(in->held_keys().empty());
    box.micom().press_key(0x49, 50_ms);
    box.machine().run_for(200_ms);
    EXPECT_EQ(keys_read(box), (std::vector<std::pair<unsigned, int>>{{103, 1}, {103, 0}}));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST(Stop, UnloadRemovesEverythingInOrderAndSendsNothing) {
    Box box;
    ASSERT_EQ(box.boot(), 0);
    box.soc().primary().clear_log();
    box.soc().clear_reg_writes();
    size_t from = box.kernel().log().lines().size();
    ASSERT_EQ(box.kernel().unload_module(), 0);

    EXPECT_EQ(log_messages(box, from), std::vector<std::string>{"MICOM FP exiting ..."});
    EXPECT_EQ(box.kernel().procfs().removed(),
              (std::vector<std::string>{"vfdclock", "deepstandby", "model", "vfd", "reboot", "rescue",
                                        "startrescue", "settime", "led", "enableisp"}));
    EXPECT_TRUE(box.kernel().leftovers().empty());
    EXPECT_TRUE(box.soc().primary().log().empty());
    EXPECT_TRUE(box.soc().reg_writes().empty());  // the stop leaves the UARTs alone
    EXPECT_EQ(box.kernel().pm_power_off, nullptr);
    EXPECT_TRUE(box.kernel().bugs().empty());
    EXPECT_TRUE(box.kernel().last_unload_unmapped());
}

void other_power_off() {}

TEST(Stop, PowerOffHookReplacedByAnotherModuleIsLeftAlone) {
    Box box;
    ASSERT_EQ(box.boot(), 0);
    box.kernel().pm_power_off = other_power_off;
    ASSERT_EQ(box.kernel().unload_module(), 0);
    EXPECT_EQ(box.kernel().pm_power_off, other_power_off);
}

TEST(Stop, OpenMicomDeviceHoldsTheModule) {
    Box box;
    ASSERT_EQ(box.boot(), 0);
    long fd = -1;
    box.kernel().run_process("holder", [&] {
        fd = box.kernel().sys_open("/dev/micom");
        return 0;
    });
    ASSERT_GE(fd, 0);
    EXPECT_EQ(box.kernel().unload_module(), -16);
    EXPECT_TRUE(box.kernel().module_loaded());
    box.kernel().run_process("closer", [&] { return int(box.kernel().sys_close(fd)); });
    EXPECT_EQ(box.kernel().unload_module(), 0);
    EXPECT_TRUE(box.kernel().leftovers().empty());
}

struct StartFailure {
    const char* name;
    void (*arm)(KernelFaults&);
    int result;
    const char* message;  // last log line, or "" for none beyond the start lines
};

class StartFailures : public testing::TestWithParam<StartFailure> {};

TEST_P(StartFailures, GiveTheirResultAndLeaveNothingRegistered) {
    const StartFailure& f = GetParam();
    Box box;
    f.arm(box.kernel().faults);
    EXPECT_EQ(box.boot(), f.result);
    EXPECT_FALSE(box.kernel().module_loaded());
    if (*f.message) {
        EXPECT_EQ(log_messages(box).back(), f.message);
    }
    EXPECT_TRUE(box.kernel().leftovers().empty()) << testing::PrintToString(box.kernel().leftovers());
    EXPECT_EQ(box.kernel().pm_power_off, nullptr);
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
    // and once the fault is gone the module loads
    box.kernel().clear_faults();
    EXPECT_EQ(box.boot(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Spine, StartFailures,
    testing::Values(
        StartFailure{"major", [](KernelFaults& k) { k.major_taken = true; }, -16,
                     "MICOM: cannot obtain major number 75"},
        StartFailure{"irq", [](KernelFaults& k) { k.irq_taken = true; }, -5, "fp_micom: cannot register IRQ 10"},
        StartFailure{"proc1", [](KernelFaults& k) { k.proc_fail_nth = 1; }, -5, "DETECTED TAVIX lumeta MODEL"},
        StartFailure{"proc5", [](KernelFaults& k) { k.proc_fail_nth = 5; }, -5, "DETECTED TAVIX lumeta MODEL"},
        StartFailure{"proc10", [](KernelFaults& k) { k.proc_fail_nth = 10; }, -5, "DETECTED TAVIX lumeta MODEL"},
        StartFailure{"alloc", [](KernelFaults& k) { k.input_alloc_fail = true; }, -5,
                     "fp_micom: Bad input_alloc_device()"},
        StartFailure{"register", [](KernelFaults& k) { k.input_register_fail = true; }, -5,
                     "DETECTED TAVIX lumeta MODEL"}),
    [](const testing::TestParamInfo<StartFailure>& i) { return std::string(i.param.name); });

// send_cmd, called as the driver calls it, from process context.
class SendCmd : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(box.boot(), 0);
        box.soc().primary().clear_log();
        send = reinterpret_cast<void (*)(int, const uint8_t*, int, fp_priv_t*)>(
            box.kernel().module_symbol("_Z8send_cmdiPKhiP9fp_priv_t"));
        ASSERT_NE(send, nullptr);
    }
    std::vector<uint8_t> frame(int cmd, const std::vector<uint8_t>& payload, int len = -1) {
        box.soc().primary().clear_log();
        box.kernel().run_process("send", [&] {
            send(cmd, payload.data(), len < 0 ? int(payload.size()) : len, priv(box));
            return 0;
        });
        box.machine().run_for(10_ms);  // let the last bytes leave the wire
        return host_bytes(box.soc().primary());
    }
    Box box;
    void (*send)(int, const uint8_t*, int, fp_priv_t*) = nullptr;
};

TEST_F(SendCmd, FramesShortAndLongPayloads) {
    EXPECT_EQ(hex(frame(0xD, {0x0D, 0x0D})), "AA 20 D2 0D 0D F2");
    std::vector<uint8_t> p16(16), p15(15), p40(40);
    for (int i = 0; i < 40; ++i) {
        if (i < 16) p16[i] = uint8_t(i);
        if (i < 15) p15[i] = uint8_t(i);
        p40[i] = uint8_t(i + 1);
    }
    EXPECT_EQ(hex(frame(0x5, p16)), "AA 20 50 10 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 60");
    auto f15 = frame(0x5, p15);
    ASSERT_EQ(f15.size(), 19u);
    EXPECT_EQ(f15[2], 0x5F);
    // 40 bytes: only the first 32 go out
    auto f40 = frame(0x4, p40);
    ASSERT_EQ(f40.size(), 37u);
    EXPECT_EQ(f40[2], 0x40);
    EXPECT_EQ(f40[3], 0x20);
    EXPECT_EQ(f40[35], 32);
    uint8_t sum = 0;
    for (size_t i = 1; i < 36; ++i)
        sum ^= f40[i];
    EXPECT_EQ(f40[36], sum);
}

TEST_F(SendCmd, KeepsOnlyTheLowNibbleOfTheCodeAndHandlesEmptyPayloads) {
    EXPECT_EQ(hex(frame(0x1A, {0x0A, 0x0A})), "AA 20 A2 0A 0A 82");
    EXPECT_EQ(hex(frame(0x3, {})), "AA 20 30 10");
}

// In ISP mode the micom's flash programmer listens: no frame reaches it, and
// the warning comes at most once a second.
TEST_F(SendCmd, SendsNothingWhileIspModeIsOnAndWarnsOnceASecond) {
    priv(box)->isp_mode = 1;
    box.soc().isp().clear_log();
    const size_t from = box.kernel().log().lines().size();
    EXPECT_TRUE(frame(0xD, {0x0D, 0x0D}).empty());
    EXPECT_TRUE(frame(0x4, {0x00, 0x04}).empty());
    EXPECT_EQ(log_messages(box, from), std::vector<std::string>{"fp_micom: ISP mode, frame D2 not sent"});
    EXPECT_EQ(box.kernel().log().lines().back().level(), 4);
    box.machine().run_for(1_s);
    EXPECT_TRUE(frame(0x4, {0x00, 0x04}).empty());
    EXPECT_EQ(count_containing(box, "fp_micom: ISP mode, frame 42 not sent", from), 1u);
    EXPECT_TRUE(host_bytes(box.soc().isp()).empty());
    priv(box)->isp_mode = 0;
    EXPECT_EQ(hex(frame(0xD, {0x0D, 0x0D})), "AA 20 D2 0D 0D F2");
}

// A signal ends an interruptible wait early; the driver does not report it.
TEST(Signals, EndTheWaitForAnAnswerEarly) {
    Box box;
    box.micom().set_silent(true);
    ASSERT_EQ(box.boot(), 0);
    auto get_rtc = reinterpret_cast<unsigned long (*)()>(box.kernel().module_symbol("get_RTC_time"));
    ASSERT_NE(get_rtc, nullptr);
    const Nanos start = box.machine().now();
    Nanos returned = 0;
    Task* caller = box.machine().spawn("caller", [&] {
        get_rtc();
        returned = box.machine().now();
        return 0;
    }, true);
    box.machine().run_for(300_ms);
    EXPECT_EQ(returned, 0u);  // still waiting for the micom's answer
    box.machine().send_signal(caller);
    ASSERT_TRUE(box.machine().run_until_done(caller));
    EXPECT_EQ(returned, start + 300_ms);
}
