// SPDX-License-Identifier: MIT
// The receive path on the simulated box: frames from the micom as raw bytes
// on the primary line, what the parser stores and sets from them, how it
// copes with noise and cut frames, and how long it keeps interrupts off.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "platform/kp_soc.h"
#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

using Bytes = std::vector<uint8_t>;

using fptest::micom_frame;

Bytes key_frame(uint8_t key, uint8_t pair, uint8_t address = 0x5F) {
    return micom_frame(0xE5, {0x01, 0x00, address, key, pair});
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

using Keys = std::vector<std::pair<unsigned, int>>;
constexpr unsigned kUp = 103, kOk = 352;

/// A booted box's start-up traffic is out of the primary line's log.
constexpr fptest::AfterBoot kStartForgotten{.clear_wire_log = true};

}  // namespace

TEST(Receive, BootInformationStoresTheWakeUpTimeOnlyWithAStatus) {
    Booted b(1, kStartForgotten);
    fp_priv_t* p = priv(b.box);

    // status 0: no wake-up time, whatever date the record carries
    p->bootinfo_ready = 0;
    p->alarm_time = 1234;
    micom_sends(b.box, micom_frame(0xA8, {0x06, 0x05, 0xC4, 0x00, 0x03, 0x02, 0x14, 0x00}));
    EXPECT_EQ(p->alarm_status, 0);
    EXPECT_EQ(p->alarm_time, 0u);
    EXPECT_EQ(p->bootinfo_ready, 1);

    // status 1: the record is the wake-up time, in seconds since 1970
    p->bootinfo_ready = 0;
    micom_sends(b.box, micom_frame(0xA8, {0x06, 0x05, 0xC4, 0x00, 0x03, 0x02, 0x14, 0x01}));
    EXPECT_EQ(p->alarm_status, 1);
    EXPECT_EQ(int64_t(p->alarm_time), epoch_of(2014, 2, 3, 4, 5, 6));
    EXPECT_EQ(p->bootinfo_ready, 1);
    EXPECT_EQ(p->time_ready, 1);  // left as the start set it
    EXPECT_TRUE(b.box.kernel().bugs().empty());
}

TEST(Receive, TimeAnswerSetsTheFieldsAndTheKernelClockHalfASecondAhead) {
    Booted b(1, kStartForgotten);
    fp_priv_t* p = priv(b.box);
    p->time_ready = 0;
    micom_sends(b.box, micom_frame(0xD8, {0x00, 0x00, 0xD2, 0x00, 0x01, 0x05, 0x13, 0x2A}));
    EXPECT_EQ(p->time_ready, 1);
    EXPECT_EQ(std::make_tuple(p->rtc_year, p->rtc_mon, p->rtc_day, p->rtc_hour, p->rtc_min, p->rtc_sec),
              std::make_tuple(2013, 5, 1, 12, 0, 0));
    EXPECT_EQ(p->time_flags, 0x2A);
    const int64_t set = epoch_of(2013, 5, 1, 12, 0, 0) * 1'000'000'000 + 500'000'000;
    EXPECT_LE(wall_at_last_rx(b.box), set);
    EXPECT_GE(wall_at_last_rx(b.box), set - int64_t(20_us));
}

struct ClockCase {
    const char* what;
    Bytes record;  // bytes 0..6
    int year, mon, day, hour, min, sec;
};

TEST(Receive, ClockRecordDecoding) {
    const ClockCase cases[] = {
        {"year 05 with the century bit", {0x00, 0x00, 0xC0, 0x00, 0x01, 0x01, 0x05}, 2005, 1, 1, 0, 0, 0},
        {"hour 21 without century bits", {0x00, 0x00, 0x21, 0x00, 0x01, 0x01, 0x87}, 1987, 1, 1, 21, 0, 0},
        {"century from bit 6 alone", {0x00, 0x00, 0x45, 0x00, 0x01, 0x01, 0x10}, 2010, 1, 1, 5, 0, 0},
        {"bit 7 alone is no century", {0x00, 0x00, 0x85, 0x00, 0x01, 0x01, 0x99}, 1999, 1, 1, 5, 0, 0},
        {"masks drop the flag bits", {0xD9, 0xB0, 0xE3, 0x06, 0xF1, 0xF2, 0x99}, 2099, 12, 31, 23, 30, 59},
        {"a digit above 9 ends the number", {0x1A, 0x0A, 0xCA, 0x00, 0x07, 0x1B, 0xA5}, 2000, 1, 7, 0, 0, 1},
        {"a second digit above 9 keeps the first", {0x00, 0x00, 0x40, 0x00, 0x01, 0x01, 0x2F}, 2002, 1, 1, 0, 0, 0},
    };
    Booted b(1, kStartForgotten);
    fp_priv_t* p = priv(b.box);
    for (const ClockCase& c : cases) {
        SCOPED_TRACE(c.what);
        micom_sends(b.box, micom_frame(0xD8, c.record + Bytes{0x00}));
        EXPECT_EQ(std::make_tuple(p->rtc_year, p->rtc_mon, p->rtc_day, p->rtc_hour, p->rtc_min, p->rtc_sec),
                  std::make_tuple(c.year, c.mon, c.day, c.hour, c.min, c.sec));
        const int64_t secs = epoch_of(c.year, c.mon, c.day, c.hour, c.min, c.sec);
        if (c.mon >= 1 && c.day >= 1 && secs <= sim::kBoxLastClockSecond) {  // else the box's clock refuses it
            const int64_t set = secs * 1'000'000'000 + 500'000'000;
            EXPECT_LE(wall_at_last_rx(b.box), set);
            EXPECT_GE(wall_at_last_rx(b.box), set - int64_t(20_us));
        }
    }
}

TEST(Receive, StrayBytesRightBeforeAFrameDoNotLoseIt) {
    // Up to 8 stray bytes directly in front of a frame, back to back, so that
    // the frame's start byte lands at every place of the FIFO's trigger level.
    Booted b(1, kStartForgotten);
    Keys want;
    for (int n = 0; n <= 8; ++n) {
        SCOPED_TRACE(n);
        Bytes noise;
        for (int i = 0; i < n; ++i)
            noise.push_back(uint8_t(0x11 * (i + 1)));  // never 0xAA
        micom_sends(b.box, noise + key_frame(0x49, 0xB6) + noise + key_frame(0xB6, 0x49));
        want.emplace_back(kUp, 1);
        want.emplace_back(kUp, 0);
        EXPECT_EQ(keys_read(b.box), want);
        EXPECT_EQ(priv(b.box)->last_key, 0);
    }
    // stray bytes alone: dropped without a message
    size_t from = b.box.kernel().log().lines().size();
    micom_sends(b.box, {0x01, 0x02, 0xDF, 0xE5, 0x03});
    EXPECT_EQ(b.box.kernel().log().lines().size(), from);
}

TEST(Receive, DoubledStartByteLosesTheFrameAndTheParserRescans) {
    Booted b(1, kStartForgotten);
    fp_priv_t* p = priv(b.box);
    p->time_ready = 0;
    const int year = p->rtc_year;
    // AA AA DF D8 ...: the second AA is the direction byte; the time answer
    // is lost, and the key event right behind it is found.
    Bytes lost = Bytes{0xAA} + micom_frame(0xD8, {0x00, 0x00, 0xC1, 0x00, 0x01, 0x01, 0x30, 0x00});
    micom_sends(b.box, lost + key_frame(0x46, 0xB9) + key_frame(0xB9, 0x46));
    EXPECT_EQ(p->time_ready, 0);
    EXPECT_EQ(p->rtc_year, year);
    EXPECT_EQ(keys_read(b.box), (Keys{{kOk, 1}, {kOk, 0}}));
}

TEST(Receive, EchoedHostFramesAndUnknownFramesAreDroppedSilently) {
    Booted b(1, kStartForgotten);
    fp_priv_t* p = priv(b.box);
    p->time_ready = 0;
    p->bootinfo_ready = 0;
    size_t from = b.box.kernel().log().lines().size();
    const Bytes echoes = Bytes{0xAA, 0x20, 0xD2, 0x0D, 0x0D, 0xF2} + Bytes{0xAA, 0x20, 0xA2, 0x0A, 0x0A, 0x82};
    const Bytes unknown = micom_frame(0xC2, {0x55, 0x66});
    micom_sends(b.box, echoes + unknown + key_frame(0x49, 0xB6) + key_frame(0xB6, 0x49));
    EXPECT_EQ(p->time_ready, 0);
    EXPECT_EQ(p->bootinfo_ready, 0);
    EXPECT_EQ(keys_read(b.box), (Keys{{kUp, 1}, {kUp, 0}}));
    // only the two hex dumps of the key events
    EXPECT_EQ(log_messages(b.box, from).size(), 2u);
}

TEST(Receive, KeyEventsAreDumpedAtDebugLevelOnlyFromTheRemoteOrFrontKeys) {
    Booted b(1, kStartForgotten);
    size_t from = b.box.kernel().log().lines().size();
    micom_sends(b.box, micom_frame(0xE5, {0x01, 0x7E, 0x5F, 0x49, 0xB6}));
    ASSERT_EQ(b.box.kernel().log().lines().size(), from + 1);
    const LogLine& dump = b.box.kernel().log().lines()[from];
    EXPECT_EQ(dump.level(), 7);
    EXPECT_EQ(dump.message(), "ir raw data: 01 7e 5f 49 b6 e5");

    // address 0x34: neither dump nor input event, and nothing pending
    micom_sends(b.box, key_frame(0x4A, 0xB5, 0x34));
    EXPECT_EQ(b.box.kernel().log().lines().size(), from + 1);
    EXPECT_EQ(keys_read(b.box), (Keys{{kUp, 1}}));
    EXPECT_EQ(priv(b.box)->last_key, 0x49B6);

    // the front keys' address 0x12 is ours
    micom_sends(b.box, key_frame(0xB6, 0x49, 0x12));
    EXPECT_EQ(b.box.kernel().log().lines().back().message(), "ir raw data: 01 00 12 b6 49 d6");
    EXPECT_EQ(keys_read(b.box), (Keys{{kUp, 1}, {kUp, 0}}));
}

// One flipped bit: the frame is dropped whole, with a warning at most once a second.
TEST(Receive, FramesWithAWrongChecksumAreDroppedWhole) {
    Booted b(1, kStartForgotten);
    Box& box = b.box;
    fp_priv_t* p = priv(box);
    auto flipped = [](Bytes f, size_t at) {
        f[at] ^= 0x02;
        return f;
    };
    p->time_ready = 0;
    p->bootinfo_ready = 0;
    const auto clock = std::make_tuple(p->rtc_year, p->rtc_mon, p->rtc_day, p->rtc_hour, p->rtc_min, p->rtc_sec,
                                       p->time_flags);
    const int64_t wall_before = box.kernel().wall_ns() - int64_t(box.machine().now());
    const size_t from = box.kernel().log().lines().size();
    // 2013 read as 2011; a wake-up status; a first byte (compared by nothing else)
    micom_sends(box, flipped(micom_frame(0xD8, {0x00, 0x00, 0xD2, 0x00, 0x01, 0x05, 0x13, 0x00}), 9));
    micom_sends(box, flipped(micom_frame(0xA8, {0x06, 0x05, 0xC4, 0x00, 0x03, 0x02, 0x14, 0x01}), 3));
    micom_sends(box, flipped(key_frame(0x49, 0xB6), 3));
    EXPECT_EQ(p->time_ready, 0);
    EXPECT_EQ(std::make_tuple(p->rtc_year, p->rtc_mon, p->rtc_day, p->rtc_hour, p->rtc_min, p->rtc_sec,
                              p->time_flags),
              clock);
    EXPECT_EQ(box.kernel().wall_ns() - int64_t(box.machine().now()), wall_before);
    EXPECT_EQ(p->bootinfo_ready, 0);
    EXPECT_EQ(p->alarm_status, 0);
    EXPECT_TRUE(keys_read(box).empty());
    EXPECT_EQ(p->last_key, 0);
    EXPECT_EQ(log_messages(box, from), std::vector<std::string>{"fp_micom: bad checksum, frame D8 dropped"});
    EXPECT_EQ(box.kernel().log().lines().back().level(), 4);

    box.machine().run_for(1_s);
    micom_sends(box, flipped(key_frame(0x49, 0xB6), 8));  // the checksum byte itself
    EXPECT_EQ(count_containing(box, "fp_micom: bad checksum, frame E5 dropped", from), 1u);
    micom_sends(box, key_frame(0x49, 0xB6));
    EXPECT_EQ(keys_read(box), (Keys{{kUp, 1}}));
}

TEST(Receive, FrameCutInTheMiddleIsAbandonedBoundedAndLoggedOnceASecond) {
    Booted b(1, kStartForgotten);
    Box& box = b.box;
    const Bytes whole = key_frame(0x49, 0xB6);
    size_t from = box.kernel().log().lines().size();

    box.machine().reset_irqs_off_stats();
    micom_sends(box, Bytes(whole.begin(), whole.begin() + 5));  // AA DF E5 01 00, then silence
    // the wait for the missing byte is bounded: a few milliseconds at most
    EXPECT_LT(box.machine().irqs_off_longest(), 3_ms);
    EXPECT_GT(box.machine().irqs_off_longest(), 1_ms);
    std::printf("[figures] frame cut after 5 bytes: interrupts off %.1f us\n",
                double(box.machine().irqs_off_longest()) / 1e3);
    EXPECT_EQ(count_containing(box, "fp_micom: frame cut short (5 bytes)", from), 1u);
    EXPECT_EQ(box.kernel().log().lines().back().level(), 4);
    EXPECT_TRUE(keys_read(box).empty());

    // the parser is back between frames: the next whole frame counts
    micom_sends(box, whole);
    EXPECT_EQ(keys_read(box), (Keys{{kUp, 1}}));

    // a second cut within the second is not logged again, one after it is
    micom_sends(box, {0xAA, 0xDF});
    micom_sends(box, {0xAA});
    EXPECT_EQ(count_containing(box, "cut short", from), 1u);
    box.machine().run_for(1_s);
    micom_sends(box, {0xAA, 0xDF, 0xD8, 0x00});
    EXPECT_EQ(count_containing(box, "cut short", from), 2u);
    EXPECT_EQ(count_containing(box, "fp_micom: frame cut short (4 bytes)", from), 1u);

    // the rest of a frame that comes late is taken as stray bytes
    micom_sends(box, Bytes(whole.begin() + 5, whole.end()));
    micom_sends(box, key_frame(0xB6, 0x49));
    EXPECT_EQ(keys_read(box), (Keys{{kUp, 1}, {kUp, 0}}));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST(Receive, OnTheIspPathFrameBytesMeanNothingToTheFramePath) {
    Booted b(1, kStartForgotten);
    Box& box = b.box;
    fp_priv_t* p = priv(box);
    long fd = -1;
    box.kernel().run_process("isp", [&] {
        fd = box.kernel().sys_open("/dev/micom");
        return 0;
    });
    ASSERT_GE(fd, 0);
    ASSERT_EQ(p->isp_mode, 1);
    p->time_ready = 0;
    const int64_t wall_before = box.kernel().wall_ns() - int64_t(box.machine().now());
    const Bytes time_answer = micom_frame(0xD8, {0x00, 0x00, 0xC1, 0x00, 0x01, 0x01, 0x30, 0x00});
    for (uint8_t c : time_answer + key_frame(0x49, 0xB6))
        box.soc().isp().micom_send(c);
    box.machine().run_for(20_ms);
    EXPECT_EQ(p->time_ready, 0);
    EXPECT_EQ(box.kernel().wall_ns() - int64_t(box.machine().now()), wall_before);
    EXPECT_TRUE(keys_read(box).empty());
    EXPECT_EQ(p->last_key, 0);
    box.kernel().run_process("close", [&] { return int(box.kernel().sys_close(fd)); });
    micom_sends(box, key_frame(0x49, 0xB6));
    EXPECT_EQ(keys_read(box), (Keys{{kUp, 1}}));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST(Receive, InterruptsOffForOneFrameIsTheRestOfItsWireTime) {
    Booted b(1, kStartForgotten);
    Box& box = b.box;
    const Nanos ch = box.soc().primary().micom_format.char_time();

    // The interrupt comes when four bytes are in (the FIFO's trigger level);
    // the handler then polls for the rest of the frame.
    box.machine().reset_irqs_off_stats();
    box.micom().press_key(0x49, 10_ms);  // a press, then its release 10 ms later
    box.machine().run_for(5_ms);
    const Nanos key_off = box.machine().irqs_off_longest();
    EXPECT_GE(key_off, 5 * ch - 10_us);
    EXPECT_LE(key_off, 5 * ch + 20_us);

    box.machine().run_for(20_ms);
    box.machine().reset_irqs_off_stats();
    box.micom().send_time_answer();
    box.machine().run_for(5_ms);
    const Nanos time_off = box.machine().irqs_off_longest();
    EXPECT_GE(time_off, 8 * ch - 10_us);
    EXPECT_LE(time_off, 8 * ch + 20_us);
    EXPECT_EQ(priv(box)->time_ready, 1);

    std::printf("[figures] char time %.1f us at %u bit/s\n", double(ch) / 1e3, box.soc().primary().micom_format.baud);
    std::printf("[figures] key event (9 bytes, wire %.1f us): interrupts off %.1f us\n", double(9 * ch) / 1e3,
                double(key_off) / 1e3);
    std::printf("[figures] time answer (12 bytes, wire %.1f us): interrupts off %.1f us\n",
                double(12 * ch) / 1e3, double(time_off) / 1e3);
}

// The register poll passes over the rounds in which nothing can change; it
// must end where polling round by round ends, on the same round, with the
// same answer, whatever the line does around it.
TEST(Receive, RegisterPollEndsWhereRoundByRoundPollingEnds) {
    struct Poll {
        sim::Nanos at;
        int got;
        uint32_t rbr;
    };
    auto run = [](uint64_t seed, bool round_by_round) {
        sim::Box box;
        const uint32_t lsr = (box.soc().uart(0).base() + sim::Uart::LSR) | FP_KSEG1;
        const uint32_t rbr = (box.soc().uart(0).base() + sim::Uart::RBR) | FP_KSEG1;
        const uint32_t thr = (box.soc().uart(0).base() + sim::Uart::THR) | FP_KSEG1;
        std::mt19937_64 rnd(seed);
        for (int i = 0; i < 30; ++i)  // bytes from the micom now and then
            box.machine().events().at(sim::Nanos(rnd() % 8'000'000), [&box, i] {
                box.soc().primary().micom_send(uint8_t(i));
            });
        std::vector<Poll> polls;
        box.kernel().run_process("poller", [&] {
            for (int i = 0; i < 60; ++i) {
                const uint32_t bits = (i % 3 == 2) ? 0x20u : 0x01u;  // THRE or DR
                if (bits == 0x20)
                    kp_reg_write32(thr, 0x55);
                const unsigned limit = unsigned(rnd() % 400);
                int got;
                if (round_by_round) {
                    unsigned us = 0;
                    for (; us < limit; us++) {
                        if ((kp_reg_read32(lsr) & bits) == bits)
                            break;
                        tangox_udelay(1);
                    }
                    got = us < limit || (kp_reg_read32(lsr) & bits) == bits;
                } else {
                    got = kp_reg_poll32(lsr, bits, limit);
                }
                polls.push_back({box.machine().now(), got, got && bits == 1 ? kp_reg_read32(rbr) : 0});
            }
            return 0;
        });
        return polls;
    };
    for (uint64_t seed = 1; seed <= 10; ++seed) {
        auto a = run(seed, true), b = run(seed, false);
        ASSERT_EQ(a.size(), b.size());
        for (size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].at, b[i].at) << "seed " << seed << ", poll " << i;
            EXPECT_EQ(a[i].got, b[i].got) << "seed " << seed << ", poll " << i;
            EXPECT_EQ(a[i].rbr, b[i].rbr) << "seed " << seed << ", poll " << i;
        }
    }
}
