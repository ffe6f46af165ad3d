// SPDX-License-Identifier: MIT
// Key events, deep standby with and without a wake-up time, reboot.
#include <gtest/gtest.h>

#include "fake_env.h"

namespace micom::test {
namespace {

constexpr Link P = Link::Primary;

class KeysAndPower : public ::testing::Test {
protected:
    FakeEnv env;
    MicomConfig cfg;
    MicomModel m{env, cfg};

    void send(const std::vector<uint8_t>& frame) {
        env.host_send(m, P, frame);
        env.run_for(10 * kMs);
    }
    std::vector<uint8_t> boot_info() {
        const size_t before = env.count(P);
        send(host_frame(0xA, {0x0A, 0x0A}));
        return env.bytes(P, before);
    }
    // Splits what the micom sent into 9-byte key frames with their start times.
    std::vector<std::pair<Nanos, std::vector<uint8_t>>> key_frames() {
        std::vector<std::pair<Nanos, std::vector<uint8_t>>> out;
        const auto s = env.sent_on(P);
        for (size_t i = 0; i + 9 <= s.size(); i += 9) {
            std::vector<uint8_t> f;
            for (size_t j = i; j < i + 9; ++j) f.push_back(s[j].byte);
            out.emplace_back(s[i].start, f);
        }
        return out;
    }
};

TEST_F(KeysAndPower, HeldKeyRepeatsThenReleasesWithThePairSwapped) {
    m.press_key(0x49, 250 * kMs);
    EXPECT_TRUE(m.key_active());
    env.run();
    EXPECT_FALSE(m.key_active());
    const auto f = key_frames();
    ASSERT_EQ(f.size(), 4u);  // press, repeats at 110 and 220 ms, release at 250 ms
    const auto press = micom_frame(0xE5, {0x01, 0x00, 0x5F, 0x49, 0xB6});
    EXPECT_EQ(f[0].second, press);
    EXPECT_EQ(f[1].second, press);
    EXPECT_EQ(f[2].second, press);
    EXPECT_EQ(f[3].second, micom_frame(0xE5, {0x01, 0x00, 0x5F, 0xB6, 0x49}));
    EXPECT_EQ(f[0].first, 0u);
    EXPECT_EQ(f[1].first, 110 * kMs);
    EXPECT_EQ(f[2].first, 220 * kMs);
    EXPECT_EQ(f[3].first, 250 * kMs);
}

TEST_F(KeysAndPower, NoRepeatAtTheInstantOfTheRelease) {
    m.press_key(0x4A, 2 * cfg.key_repeat_interval);
    env.run();
    const auto f = key_frames();
    ASSERT_EQ(f.size(), 3u);  // press, one repeat, release
    EXPECT_EQ(f[2].first, 2 * cfg.key_repeat_interval);
    EXPECT_EQ(f[2].second[6], 0xB5);
}

TEST_F(KeysAndPower, ShortPressFrontKeysAndQueuedPresses) {
    m.press_key(0x20, 50 * kMs, 0x12);  // shorter than the repeat interval: press and release only
    m.press_key(0x21, 0);               // waits for the first key's release
    env.run();
    const auto f = key_frames();
    ASSERT_EQ(f.size(), 4u);
    EXPECT_EQ(f[0].second, micom_frame(0xE5, {0x01, 0x00, 0x12, 0x20, 0xDF}));
    EXPECT_EQ(f[1].second, micom_frame(0xE5, {0x01, 0x00, 0x12, 0xDF, 0x20}));
    EXPECT_EQ(f[1].first, 50 * kMs);
    EXPECT_EQ(f[2].second, micom_frame(0xE5, {0x01, 0x00, 0x5F, 0x21, 0xDE}));
    EXPECT_EQ(f[3].second, micom_frame(0xE5, {0x01, 0x00, 0x5F, 0xDE, 0x21}));
    EXPECT_EQ(f[2].first, 50 * kMs + 9 * env.char_time(P));  // right after the release on the wire
}

TEST_F(KeysAndPower, FrontPowerFrame) {
    m.press_front_power();
    EXPECT_EQ(env.bytes(P), (std::vector<uint8_t>{0xAA, 0xDF, 0xE5, 0x02, 0x12, 0x12, 0x00, 0xFF, 0xC7}));
}

TEST_F(KeysAndPower, DeepStandbyWithWakeUpSwitchesTheBoxBackOnAtThatTime) {
    m.set_time({2013, 12, 6, 15, 30, 0});
    // 0C 01 + wake-up 2013-12-06 15:45:00
    send(host_frame(0x4, {0x0C, 0x01, 0x00, 0x45, 0xD5, 0x00, 0x06, 0x12, 0x13}));
    ASSERT_EQ(env.power.size(), 1u);
    EXPECT_FALSE(env.power[0].on);
    EXPECT_FALSE(m.box_power());
    EXPECT_TRUE(m.wake_up_stored());
    EXPECT_EQ(m.wake_up_time().min, 45);

    // Keys other than the power key do nothing while the box is off.
    m.press_key(0x43, 10 * kMs);
    EXPECT_FALSE(m.key_active());

    env.run_until(15 * 60 * kSec - kMs);
    EXPECT_EQ(env.power.size(), 1u);
    env.run_for(2 * kMs);
    ASSERT_EQ(env.power.size(), 2u);
    EXPECT_TRUE(env.power[1].on);
    EXPECT_EQ(m.time().min, 45);
    EXPECT_EQ(m.time().sec, 0);
    EXPECT_TRUE(env.bytes(P).empty());  // the woken firmware sends nothing until asked

    const auto woken = boot_info();
    EXPECT_EQ(woken, micom_frame(0xA8, {0x00, 0x45, 0xD5, 0x00, 0x06, 0x12, 0x13, cfg.wake_up_status}));

    // The next boot that is not a wake-up reports status 0.
    send(host_frame(0x4, {0x55, 0x00}));
    env.run();
    EXPECT_EQ(boot_info().at(10), 0x00);
}

TEST_F(KeysAndPower, WakeUpFollowsAClockChangeAndIgnoresPastTimes) {
    m.set_time({2013, 1, 1, 10, 0, 0});
    send(host_frame(0x4, {0x0C, 0x01, 0x00, 0x00, 0xD1, 0x00, 0x01, 0x01, 0x13}));  // 11:00:00
    m.set_time({2013, 1, 1, 10, 59, 0});  // clock set forward while the box is off
    env.run_for(59 * kSec);
    EXPECT_EQ(env.power.size(), 1u);
    env.run_for(2 * kSec);
    ASSERT_EQ(env.power.size(), 2u);
    EXPECT_TRUE(env.power[1].on);

    // A wake-up time already past: the box stays off.
    send(host_frame(0x4, {0x0C, 0x01, 0x00, 0x00, 0xC9, 0x00, 0x01, 0x01, 0x13}));  // 09:00:00
    env.run_for(48 * 3600 * kSec);
    EXPECT_EQ(env.power.size(), 3u);
    EXPECT_FALSE(m.box_power());
}

TEST_F(KeysAndPower, DeepStandbyWithoutWakeUpAndReboot) {
    m.press_key(0x43, 1 * kSec);  // held across the standby: dropped with the box
    env.run_for(100 * kMs);
    send(host_frame(0x4, {0x0C, 0x00}));
    EXPECT_FALSE(m.box_power());
    EXPECT_FALSE(m.wake_up_stored());
    EXPECT_FALSE(m.key_active());
    const size_t sent = env.count(P);
    env.run_for(10 * 24 * 3600 * kSec);
    EXPECT_EQ(env.power.size(), 1u);  // nothing switches it on again
    EXPECT_EQ(env.count(P), sent);    // and no release comes

    // Reboot: off, then on again after reboot_off_time.
    FakeEnv env2;
    MicomModel m2{env2, cfg};
    env2.host_send(m2, P, host_frame(0x4, {0x55, 0x00}));
    env2.run();
    ASSERT_EQ(env2.power.size(), 2u);
    EXPECT_FALSE(env2.power[0].on);
    EXPECT_TRUE(env2.power[1].on);
    EXPECT_EQ(env2.power[1].time - env2.power[0].time, cfg.reboot_off_time);
}

TEST_F(KeysAndPower, WakeUpRecordThatIsNoDateStoresNothing) {
    send(host_frame(0x4, {0x0C, 0x01, 0x00, 0x00, 0xD1, 0x00, 0x31, 0x02, 0x13}));  // 31 February
    EXPECT_FALSE(m.box_power());
    EXPECT_FALSE(m.wake_up_stored());
    env.run_for(400 * 24 * 3600 * kSec);
    EXPECT_EQ(env.power.size(), 1u);
}

}  // namespace
}  // namespace micom::test
