// SPDX-License-Identifier: MIT
// The normal firmware on the primary link: frame checking, the boot-information
// and time answers, the clock, LEDs and clock display.
#include <gtest/gtest.h>

#include "fake_env.h"

namespace micom::test {
namespace {

constexpr Link P = Link::Primary;

class NormalFirmware : public ::testing::Test {
protected:
    FakeEnv env;
    MicomConfig cfg;
    MicomModel m{env, cfg};

    // Sends @frame and lets the micom react; returns what it sent meanwhile.
    std::vector<uint8_t> exchange(const std::vector<uint8_t>& frame, Nanos settle = 10 * kMs) {
        const size_t before = env.count(P);
        env.host_send(m, P, frame);
        env.run_for(settle);
        return env.bytes(P, before);
    }
};

TEST_F(NormalFirmware, BootInformationWithoutWakeUpAfterAnswerDelay) {
    const auto req = host_frame(0xA, {0x0A, 0x0A});
    ASSERT_EQ(req, (std::vector<uint8_t>{0xAA, 0x20, 0xA2, 0x0A, 0x0A, 0x82}));
    EXPECT_EQ(exchange(req), micom_frame(0xA8, {0, 0, 0, 0, 0, 0, 0, 0}));

    // The answer starts answer_delay after the request's last byte.
    const Nanos request_end = req.size() * env.char_time(P);
    EXPECT_EQ(env.sent_on(P).front().start, request_end + cfg.answer_delay);
    ASSERT_EQ(m.frames().size(), 1u);
    EXPECT_EQ(m.frames()[0].code, 0xA);
    EXPECT_EQ(m.frames()[0].payload, (std::vector<uint8_t>{0x0A, 0x0A}));
    EXPECT_EQ(m.frames()[0].time, request_end);
}

TEST_F(NormalFirmware, TimeAnswerCarriesTheRunningClock) {
    m.set_time({2013, 5, 1, 11, 59, 30});
    env.run_for(90 * kSec + 400 * kMs);  // 13:01:00.4 on the micom's clock
    const auto req = host_frame(0xD, {0x0D, 0x0D});
    EXPECT_EQ(req, (std::vector<uint8_t>{0xAA, 0x20, 0xD2, 0x0D, 0x0D, 0xF2}));
    EXPECT_EQ(exchange(req), micom_frame(0xD8, {0x00, 0x01, 0xD2, 0x00, 0x01, 0x05, 0x13, 0x00}));
    const DateTime t = m.time();
    EXPECT_EQ(t.year, 2013);
    EXPECT_EQ(t.hour, 12);
    EXPECT_EQ(t.min, 1);

    // Unprompted time answer, at once.
    const size_t before = env.count(P);
    m.send_time_answer();
    EXPECT_EQ(env.bytes(P, before).size(), 12u);
    EXPECT_EQ(env.sent_on(P)[before].start, env.now());
}

TEST_F(NormalFirmware, SetClockRecordIsTakenAndItsFlagsReported) {
    // 2013-12-06 15:30:00 with flags 0x81, as written through /proc/settime.
    EXPECT_TRUE(exchange(host_frame(0xC, {0x00, 0x30, 0xD5, 0x00, 0x06, 0x12, 0x13, 0x81})).empty());
    const DateTime t = m.time();
    EXPECT_EQ(t.year, 2013);
    EXPECT_EQ(t.mon, 12);
    EXPECT_EQ(t.day, 6);
    EXPECT_EQ(t.hour, 15);
    EXPECT_EQ(t.min, 30);
    EXPECT_EQ(exchange(host_frame(0xD, {0x0D, 0x0D}))[10], 0x81);

    // Without the century bits the year is in the 1900s; the weekday byte is ignored.
    exchange(host_frame(0xC, {0x59, 0x59, 0x23, 0x05, 0x31, 0x12, 0x99, 0x80}));
    EXPECT_EQ(m.time().year, 1999);
    EXPECT_EQ(m.time().hour, 23);
    EXPECT_EQ(m.time().sec, 59);
    env.run_for(1 * kSec);
    EXPECT_EQ(m.time().year, 2000);  // the clock runs over the century
    EXPECT_EQ(exchange(host_frame(0xD, {0x0D, 0x0D}))[5], 0xC0);

    // Records that are no date leave the clock alone.
    const DateTime before = m.time();
    exchange(host_frame(0xC, {0x00, 0x00, 0xC0, 0x00, 0x01, 0x13, 0x13, 0x00}));  // month 13
    exchange(host_frame(0xC, {0x00, 0x00, 0xC0, 0x00, 0x31, 0x02, 0x13, 0x00}));  // 31 February
    exchange(host_frame(0xC, {0x0A, 0x00, 0xC0, 0x00, 0x01, 0x01, 0x13, 0x00}));  // digit above 9
    EXPECT_EQ(m.time().year, before.year);
    EXPECT_EQ(m.time().mon, before.mon);
}

TEST_F(NormalFirmware, BadFramesAreIgnoredAndTheParserResynchronises) {
    auto bad = host_frame(0xA, {0x0A, 0x0A});
    bad.back() ^= 0x01;
    EXPECT_TRUE(exchange(bad).empty());
    EXPECT_TRUE(m.frames().empty());

    // Garbage, a lone start byte, a repeated start byte, an echoed micom frame:
    // the good frame at the end is still found.
    std::vector<uint8_t> noise{0x00, 0x55, 0xAA, 0x13, 0xAA, 0xAA};
    const auto echoed = micom_frame(0xD8, {1, 2, 3, 4, 5, 6, 7, 8});
    noise.insert(noise.end(), echoed.begin(), echoed.end());
    noise.push_back(0xAA);
    const auto good = host_frame(0xD, {0x0D, 0x0D});
    noise.insert(noise.end(), good.begin() + 1, good.end());  // "AA AA 20 D2 ...": the second AA starts it
    EXPECT_EQ(exchange(noise).size(), 12u);
    ASSERT_EQ(m.frames().size(), 1u);
    EXPECT_EQ(m.frames()[0].code, 0xD);
}

TEST_F(NormalFirmware, CutFramesAreAbandoned) {
    const auto req = host_frame(0xA, {0x0A, 0x0A});
    // A byte with a framing error spoils its frame.
    env.host_send(m, P, {req.begin(), req.begin() + 3});
    env.run();
    env.host_send(m, P, {0x0A}, 0, false);
    env.run();
    env.host_send(m, P, {req.begin() + 4, req.end()});
    env.run();
    EXPECT_TRUE(m.frames().empty());

    // The first half of a frame, then a long pause, then a whole frame: the
    // stale half does not swallow the new frame.
    env.host_send(m, P, {0xAA, 0x20, 0x42, 0x00});
    env.run();
    env.host_send(m, P, req, cfg.frame_gap_timeout + 1);
    env.run();
    ASSERT_EQ(m.frames().size(), 1u);
    EXPECT_EQ(m.frames()[0].code, 0xA);
    EXPECT_TRUE(m.led_codes().empty());
}

TEST_F(NormalFirmware, LongAndEmptyFramesAreRecorded) {
    std::vector<uint8_t> payload;
    for (uint8_t i = 0; i < 16; ++i) payload.push_back(i);
    const auto long_frame = host_frame(5, payload);
    EXPECT_EQ(long_frame.size(), 21u);
    EXPECT_EQ(long_frame.back(), 0x60);
    exchange(long_frame);
    exchange(host_frame(7, {}));  // AA 20 70 50
    std::vector<uint8_t> max(32, 0xAA);
    exchange(host_frame(6, max));
    ASSERT_EQ(m.frames().size(), 3u);
    EXPECT_EQ(m.frames()[0].payload, payload);
    EXPECT_EQ(m.frames()[1].code, 7);
    EXPECT_TRUE(m.frames()[1].payload.empty());
    EXPECT_EQ(m.frames()[2].payload, max);
    m.clear_frames();
    EXPECT_TRUE(m.frames().empty());
}

TEST_F(NormalFirmware, LedCodesAndClockDisplay) {
    for (uint8_t code : {0x06, 0x03, 0x04, 0x05, 0x00, 0x07}) exchange(host_frame(0x4, {0x00, code}));
    EXPECT_EQ(m.led_codes(), (std::vector<uint8_t>{0x06, 0x03, 0x04, 0x05, 0x00, 0x07}));
    EXPECT_FALSE(m.clock_display());
    exchange(host_frame(0x3, {0x03, 0x03}));
    EXPECT_TRUE(m.clock_display());
    EXPECT_TRUE(env.sent.empty());  // none of these is answered
    EXPECT_TRUE(env.power.empty());
}

TEST_F(NormalFirmware, SilentMicomRecordsButDoesNotAnswer) {
    m.set_silent(true);
    EXPECT_TRUE(exchange(host_frame(0xA, {0x0A, 0x0A})).empty());
    EXPECT_TRUE(exchange(host_frame(0xD, {0x0D, 0x0D})).empty());
    EXPECT_EQ(m.frames().size(), 2u);
    m.set_silent(false);
    EXPECT_EQ(exchange(host_frame(0xD, {0x0D, 0x0D})).size(), 12u);
}

TEST_F(NormalFirmware, RequestsBackToBackAreBothAnsweredInOrder) {
    auto both = host_frame(0xA, {0x0A, 0x0A});
    const auto t = host_frame(0xD, {0x0D, 0x0D});
    both.insert(both.end(), t.begin(), t.end());
    const auto out = exchange(both);
    ASSERT_EQ(out.size(), 24u);
    EXPECT_EQ(out[2], 0xA8);
    EXPECT_EQ(out[14], 0xD8);
}

}  // namespace
}  // namespace micom::test
