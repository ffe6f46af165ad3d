// SPDX-License-Identifier: MIT
// Faults of the micom, of its serial line and of the kernel's user copies,
// seeded: the driver gives a clear error, keeps nothing stale in user space,
// resynchronises, and hangs nowhere.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "micom_ioctl.h"
#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

constexpr Nanos kPollLimit = 2_ms;  // the parser's wait for the next byte of a frame

size_t micom_bytes_sent(Box& box) {
    return size_t(std::count_if(box.soc().primary().log().begin(), box.soc().primary().log().end(),
                                [](const WireByte& w) { return w.dir == Direction::MicomToHost; }));
}

unsigned long rtc_time(Box& box) { return box.kernel().call_export<unsigned long>("get_RTC_time"); }

}  // namespace

// ---------------------------------------------------------------- noisy line

TEST(Faults, NoisyPrimaryLineDuringALongKeySessionLeavesNoKeyHeld) {
    constexpr uint8_t kKeys[] = {0x49, 0x4A, 0x46, 0x20, 0x21, 0x43, 0x42, 0x01, 0x72, 0x4E};
    for (uint64_t seed : {1u, 2u, 3u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Booted b(seed);
        Box& box = b.box;
        fp_priv_t* p = priv(box);
        box.machine().reset_irqs_off_stats();
        box.soc().primary().faults.drop = 0.02;
        box.soc().primary().faults.corrupt = 0.02;
        box.soc().primary().faults.duplicate = 0.02;

        std::mt19937 rng{unsigned(seed)};
        for (int i = 0; i < 150; ++i) {
            const uint8_t key = kKeys[rng() % std::size(kKeys)];
            const Nanos hold = Nanos(20 + rng() % 600) * 1_ms;
            box.micom().press_key(key, hold);
            box.machine().run_for(hold + 300_ms);
        }
        EXPECT_GT(box.soc().primary().faults_injected(), 20u);
        EXPECT_TRUE(box.kernel().bugs().empty()) << box.kernel().bugs().front();

        // The line is clean again: one ordinary key press sorts out whatever
        // press the noise left pending, and nothing stays held.
        box.soc().primary().faults = LinkFaults{};
        box.micom().press_key(0x49, 400_ms);
        box.machine().run_for(1_s);
        box.micom().press_key(0x4A, 50_ms);
        box.machine().run_for(1_s);
        EXPECT_EQ(p->last_key, 0);
        EXPECT_TRUE(input(box).held_keys().empty());

        // The parser is in step with the micom: a time answer is read whole.
        micom::DateTime t{2021, 6, 7, 8, 9, 10};
        box.micom().set_time(t);
        EXPECT_EQ(int64_t(rtc_time(box)), epoch_of(t));

        // Noise never made the parser hold the CPU past the poll limit plus a
        // frame and its duplicated bytes.
        std::printf("seed %llu: %llu faults, interrupts off at most %.3f ms\n",
                    (unsigned long long)seed, (unsigned long long)box.soc().primary().faults_injected(),
                    double(box.machine().irqs_off_longest()) / 1e6);
        EXPECT_LT(box.machine().irqs_off_longest(),
                  kPollLimit + 24 * box.soc().primary().micom_format.char_time());
    }
}

// One flipped bit in a time answer would set the kernel clock years off, so
// a frame whose checksum fails is dropped.  The XOR cannot see the same
// bit flipped in two bytes of one answer: the clock may be wrong only after
// such an answer, which the test finds by comparing what the micom sent with
// what arrived (the line only flips bits here, so both line up byte by byte).
TEST(Faults, CorruptedTimeAnswersNeverMoveTheClockToAWrongDate) {
    size_t blind_total = 0, answers_total = 0;
    for (uint64_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Booted b(seed);
        Box& box = b.box;
        box.micom().set_time(micom::DateTime{2013, 5, 1, 12, 0, 0});
        const int64_t t0 = int64_t(rtc_time(box));
        ASSERT_EQ(t0, epoch_of(micom::DateTime{2013, 5, 1, 12, 0, 0}));
        std::vector<uint8_t> rx;
        auto deliver = box.soc().primary().deliver_to_host;
        box.soc().primary().deliver_to_host = [&rx, deliver](uint8_t v, bool error) {
            rx.push_back(v);
            deliver(v, error);
        };
        const size_t from = box.kernel().log().lines().size();
        box.soc().primary().faults.corrupt = 0.05;
        bool blind = false;  // the clock came from an answer the XOR could not refuse
        for (int i = 0; i < 100; ++i) {
            rx.clear();
            box.soc().primary().clear_log();
            const int64_t got = int64_t(rtc_time(box));
            std::vector<uint8_t> sent;  // as the micom sent them; the log holds them as they arrived
            for (const auto& w : box.soc().primary().log())
                if (w.dir == Direction::MicomToHost)
                    sent.push_back(w.sent);
            ASSERT_EQ(rx, wire_bytes(box.soc().primary(), Direction::MicomToHost));
            for (size_t k = 0; k + 12 <= sent.size(); ++k) {
                if (sent[k] != 0xAA || sent[k + 1] != 0xDF || sent[k + 2] != 0xD8 || rx[k] != 0xAA ||
                    rx[k + 1] != 0xDF || rx[k + 2] != 0xD8)
                    continue;
                uint8_t sum = 0;
                for (size_t j = k + 1; j < k + 12; ++j)
                    sum ^= rx[j];
                if (sum == 0) {  // taken: as sent, or damaged past what the XOR sees
                    blind = !std::equal(rx.begin() + long(k), rx.begin() + long(k + 12), sent.begin() + long(k));
                    blind_total += blind;
                    ++answers_total;
                }
            }
            if (blind)
                continue;
            const int64_t micom_now = epoch_of(box.micom().time());
            EXPECT_GE(got, t0) << "answer " << i;
            EXPECT_LE(got, micom_now) << "answer " << i;
            EXPECT_LE(std::llabs(box.kernel().wall_ns() / 1'000'000'000 - micom_now), 1) << "answer " << i;
        }
        EXPECT_GT(count_containing(box, "fp_micom: bad checksum, frame D8 dropped", from), 10u);
        EXPECT_TRUE(box.kernel().bugs().empty());
    }
    std::printf("[figures] %zu time answers taken under 5%% corrupted bytes, %zu of them damaged past the XOR\n",
                answers_total, blind_total);
}

// ------------------------------------------------------------ stalled micom

TEST(Faults, MicomStallingInTheMiddleOfATimeAnswer) {
    Booted b;
    Box& box = b.box;
    fp_priv_t* p = priv(box);
    const unsigned long before = rtc_time(box);
    box.machine().reset_irqs_off_stats();
    const size_t log_from = box.kernel().log().lines().size();

    // the micom's next answer stops after its fifth byte
    box.soc().primary().faults.stall_after = micom_bytes_sent(box) + 5;
    box.micom().set_time(micom::DateTime{2030, 1, 2, 3, 4, 5});
    const Nanos t0 = box.machine().now();
    const unsigned long got = rtc_time(box);
    const Nanos waited = box.machine().now() - t0;

    // the caller waits its 200 ticks and gets the clock of the last answer
    EXPECT_GT(waited, 199 * box.machine().tick_ns());  // 200 ticks from mid-tick
    EXPECT_LT(waited, 202 * box.machine().tick_ns());
    EXPECT_EQ(got, before);
    EXPECT_EQ(p->time_ready, 0);
    // the parser gave the frame up after its poll limit, with one warning
    size_t warnings = 0;
    for (auto& m : log_messages(box, log_from))
        warnings += m.find("frame cut short (5 bytes)") != std::string::npos;
    EXPECT_EQ(warnings, 1u);
    EXPECT_GE(box.machine().irqs_off_longest(), kPollLimit);
    EXPECT_LT(box.machine().irqs_off_longest(), kPollLimit + 12 * box.soc().primary().micom_format.char_time());

    // the micom comes back: the next answer is read
    box.soc().primary().faults.stall_after = 0;
    micom::DateTime t{2030, 1, 2, 3, 4, 5};
    box.micom().set_time(t);
    EXPECT_EQ(int64_t(rtc_time(box)), epoch_of(t));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// The same at the start, in the boot information: nothing of it is taken, the
// start waits out both answers and succeeds, and the parser hears the micom again.
TEST(Faults, MicomStallingInTheMiddleOfItsBootInformation) {
    Box box;
    box.soc().primary().faults.stall_after = 5;  // the boot information is the first answer
    const Nanos t0 = box.machine().now();
    ASSERT_EQ(box.boot(), 0);
    EXPECT_GE(box.machine().now() - t0, 300 * box.machine().tick_ns());
    EXPECT_EQ(priv(box)->bootinfo_ready, 0);
    EXPECT_EQ(count_containing(box, "frame cut short (5 bytes)"), 1u);

    box.soc().primary().faults.stall_after = 0;
    micom::DateTime t{2030, 1, 2, 3, 4, 5};
    box.micom().set_time(t);
    EXPECT_EQ(int64_t(rtc_time(box)), epoch_of(t));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// ------------------------------------------------------------- silent micom

TEST(Faults, SilentMicomAtStartDelaysTheStartButDoesNotStopIt) {
    Box box;
    box.micom().set_silent(true);
    const Nanos t0 = box.machine().now();
    ASSERT_EQ(box.boot(), 0);
    const Nanos took = box.machine().now() - t0;
    // boot information (100 ticks) and time (200 ticks) both waited out
    EXPECT_GE(took, 300 * box.machine().tick_ns());
    EXPECT_LT(took, 310 * box.machine().tick_ns());

    fp_priv_t* p = priv(box);
    EXPECT_EQ(p->bootinfo_ready, 0);
    EXPECT_EQ(p->time_ready, 0);
    EXPECT_EQ(box.kernel().procfs().names().size(), 10u);
    ASSERT_EQ(box.kernel().input().registered().size(), 1u);
    EXPECT_EQ(p->input_ready, 1);

    // once the micom speaks, the driver hears it
    box.micom().set_silent(false);
    micom::DateTime t{2019, 3, 4, 5, 6, 7};
    box.micom().set_time(t);
    EXPECT_EQ(int64_t(rtc_time(box)), epoch_of(t));
    EXPECT_EQ(box.kernel().unload_module(), 0);
    EXPECT_TRUE(box.kernel().leftovers().empty());
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST(Faults, SilentMicomDuringGetRtcTimeReturnsTheLastClockAfterTheTimeOut) {
    Booted b;
    Box& box = b.box;
    micom::DateTime t{2016, 2, 29, 23, 59, 58};
    box.micom().set_time(t);
    ASSERT_EQ(int64_t(rtc_time(box)), epoch_of(t));

    box.micom().set_silent(true);
    box.machine().run_for(5_s);
    const Nanos t0 = box.machine().now();
    EXPECT_EQ(int64_t(rtc_time(box)), epoch_of(t));  // the stale answer, not garbage
    const Nanos waited = box.machine().now() - t0;
    EXPECT_GT(waited, 199 * box.machine().tick_ns());  // 200 ticks from mid-tick
    EXPECT_LT(waited, 202 * box.machine().tick_ns());
    EXPECT_EQ(priv(box)->time_ready, 0);
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// ---------------------------------------------------------- failing copies

TEST(Faults, FailingUserCopiesOnEveryProcEntry) {
    Booted b;
    Box& box = b.box;
    struct Case {
        const char* name;
        long expect;  // text entries refuse; command entries ignore the text
    };
    const Case writes[] = {{"settime", -14},    {"led", -14},      {"startrescue", 2},
                           {"vfd", 2},          {"vfdclock", 2},   {"enableisp", 2},
                           {"deepstandby", 2},  {"reboot", 2}};
    for (const Case& c : writes) {
        SCOPED_TRACE(c.name);
        if (!box.kernel().module_loaded()) {
            // the previous entry switched the box off or rebooted it
            box.machine().run_for(3_s);
            if (!box.kernel().module_loaded()) {
                ASSERT_EQ(box.boot(), 0);
            }
        }
        box.micom().clear_frames();
        box.kernel().faults.user_copy_fail = 1;
        EXPECT_EQ(box.kernel().proc_write(c.name, "1\n"), c.expect);
        box.machine().run_for(50_ms);
        if (c.expect < 0) {
            EXPECT_TRUE(box.micom().frames().empty()) << "a refused text was acted on";
            EXPECT_EQ(box.kernel().faults.user_copy_fail, 0) << "the handler did not copy";
        } else {
            EXPECT_EQ(box.kernel().faults.user_copy_fail, 1) << "a command entry copied the text";
        }
        box.kernel().faults.user_copy_fail = 0;
    }
    box.machine().run_for(3_s);
    if (!box.kernel().module_loaded()) {
        ASSERT_EQ(box.boot(), 0);
    }
    for (const char* name : {"led", "model"}) {
        box.kernel().faults.user_copy_fail = 1;
        EXPECT_EQ(box.kernel().proc_read(name).ret, -14) << name;
        box.kernel().faults.user_copy_fail = 0;
        EXPECT_GT(box.kernel().proc_read(name).ret, 0) << name;
    }
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST(Faults, FailingUserCopiesOnEveryDevMicomOperation) {
    Booted b;
    Box& box = b.box;
    fp_priv_t* p = priv(box);
    const unsigned copying[] = {
        MICOM_ISP_GET_SYNC,           MICOM_ISP_CHECKSUM_STATUS,       MICOM_ISP_CHECKSUM_VALUE,
        MICOM_ISP_CHIP_ERASE_STATUS,  MICOM_ISP_ERASE_VERIFY_STATUS,   MICOM_ISP_BLOCK_PROGRAM,
        MICOM_ISP_BLOCK_PROGRAM_STATUS, MICOM_ISP_BYTE_STATUS,         MICOM_ISP_BLOCK_VERIFY,
        MICOM_ISP_BLOCK_VERIFY_STATUS, MICOM_ISP_STD_RESET_STATUS,     MICOM_ISP_STD_CHECKSUM_STATUS,
        MICOM_ISP_STD_CHECKSUM_VALUE, MICOM_ISP_STD_CHIP_ERASE_STATUS, MICOM_ISP_STD_PROGRAM_STATUS,
        MICOM_ISP_STD_FREQ_SET_STATUS, MICOM_ISP_STD_REPLY,
    };
    box.kernel().run_process("flasher", [&] {
        const long fd = box.kernel().sys_open("/dev/micom");
        EXPECT_GE(fd, 0);
        for (unsigned cmd : copying) {
            SCOPED_TRACE(cmd);
            const size_t sent = host_bytes(box.soc().isp()).size();
            int32_t word = 3;
            box.kernel().faults.user_copy_fail = 1;
            EXPECT_EQ(box.kernel().sys_ioctl(fd, cmd, reinterpret_cast<unsigned long>(&word)), -14);
            EXPECT_EQ(box.kernel().faults.user_copy_fail, 0);
            box.kernel().faults.user_copy_fail = 0;
            if (cmd == MICOM_ISP_BLOCK_PROGRAM || cmd == MICOM_ISP_BLOCK_VERIFY) {
                // the block number could not be read: nothing is sent or armed
                EXPECT_EQ(host_bytes(box.soc().isp()).size(), sent);
                EXPECT_EQ(p->isp_program_state, 0);
                EXPECT_EQ(p->isp_verify_state, 0);
            }
        }
        // a write whose bytes cannot be read sends and arms nothing
        const size_t sent = host_bytes(box.soc().isp()).size();
        const uint8_t byte = 0x5A;
        box.kernel().faults.user_copy_fail = 1;
        EXPECT_EQ(box.kernel().sys_write(fd, &byte, 1), -14);
        box.kernel().faults.user_copy_fail = 0;
        EXPECT_EQ(host_bytes(box.soc().isp()).size(), sent);
        EXPECT_EQ(p->isp_byte_state, 0);
        // and the device still works
        EXPECT_EQ(box.kernel().sys_write(fd, &byte, 1), 1);
        EXPECT_EQ(box.kernel().sys_close(fd), 0);
        return 0;
    });
    EXPECT_EQ(p->isp_mode, 0);
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// ------------------------------------------- bytes while /dev/micom switches

// The first register write of the close (the alternate UART's interrupt
// enable) costs one register access; a byte from the micom that arrives
// within it must not raise interrupt 71 once isp_mode is 0: the parser
// would read the primary UART, the alternate one would keep its line up and
// the handler would run for ever.  Both writes sit in the locked section
// that changes isp_mode.
TEST(Faults, ByteOnTheIspLineWhileDevMicomClosesDoesNotHangTheBox) {
    Booted b;
    Box& box = b.box;
    const Nanos byte_time = box.soc().isp().micom_format.char_time();
    int closed = -1;
    box.kernel().run_process("flasher", [&] {
        const long fd = box.kernel().sys_open("/dev/micom");
        EXPECT_GE(fd, 0);
        const Nanos at = box.machine().now() + 10_ms;
        // the byte's last bit ends 50 ns into the close's first register access
        box.machine().events().at(at + 50 - byte_time, [&box] { box.soc().isp().micom_send(0x06); });
        box.machine().sleep(false, at);
        closed = int(box.kernel().sys_close(fd));
        return 0;
    });
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(priv(box)->isp_mode, 0);
    EXPECT_FALSE(box.machine().irq_installed(FP_ISP_IRQ));
    // the primary line works as before
    micom::DateTime t{2022, 2, 2, 2, 2, 2};
    box.micom().set_time(t);
    EXPECT_EQ(int64_t(rtc_time(box)), epoch_of(t));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// The same on the open: a byte on the primary line within the open's first
// register access (the primary UART's interrupt enable).
TEST(Faults, ByteOnThePrimaryLineWhileDevMicomOpensDoesNotHangTheBox) {
    Booted b;
    Box& box = b.box;
    const Nanos byte_time = box.soc().primary().micom_format.char_time();
    long fd = -1;
    box.kernel().run_process("flasher", [&] {
        const Nanos at = box.machine().now() + 10_ms;
        // the FIFO triggers at 4 bytes: the fourth ends within the access
        box.machine().events().at(at + 50 - 4 * byte_time, [&box] {
            for (uint8_t c : {0x11, 0x22, 0x33, 0x44})
                box.soc().primary().micom_send(c);
        });
        box.machine().sleep(false, at);
        fd = box.kernel().sys_open("/dev/micom");
        EXPECT_EQ(box.kernel().sys_close(fd), 0);
        return 0;
    });
    EXPECT_GE(fd, 0);
    EXPECT_EQ(priv(box)->isp_mode, 0);
    micom::DateTime t{2022, 3, 3, 3, 3, 3};
    box.micom().set_time(t);
    EXPECT_EQ(int64_t(rtc_time(box)), epoch_of(t));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// ------------------------------------------------------- stuck transmitter

// A transmitter that does not drain within the driver's 2 ms poll (here a
// line at 1200 bit/s, 8.3 ms a character): each such byte is dropped, the
// log gets one warning a second, and interrupts are never off for long.
TEST(Faults, TransmitterThatDoesNotDrainDropsBytesWithOneWarningASecond) {
    BoxConfig cfg;
    cfg.baud = 1200;
    Box box(cfg);
    ASSERT_EQ(box.boot(), 0);  // the start's two requests lose bytes too
    const Nanos t0 = box.machine().now();
    box.machine().reset_irqs_off_stats();
    const size_t from = box.kernel().log().lines().size();
    const size_t wire_from = host_bytes(box.soc().primary()).size();
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(box.kernel().proc_write("led", "2\n"), 2);  // two frames of 6 bytes
        box.machine().run_for(100_ms);
    }
    const size_t warnings = count_containing(box, "transmitter stuck", from);
    const size_t seconds = size_t((box.machine().now() - t0) / 1'000'000'000) + 1;
    EXPECT_GE(warnings, seconds - 1);
    EXPECT_LE(warnings, seconds);
    EXPECT_LT(host_bytes(box.soc().primary()).size() - wire_from, 360u);
    // at worst every byte of a frame waits out one poll (each step 1 us and a register read)
    EXPECT_LT(box.machine().irqs_off_longest(), 6 * (kPollLimit + 2000 * cfg.reg_access_ns));
    EXPECT_TRUE(box.kernel().bugs().empty());
}
