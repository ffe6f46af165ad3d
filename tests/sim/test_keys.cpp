// SPDX-License-Identifier: MIT
// Keys on the simulated box: key events from the micom as user space reads
// them from the input device, the pending-press state, the power keys, the
// rescue hand-shake, remapping through the input layer, and a whole
// remote-control session with a live micom.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

using Keys = std::vector<std::pair<unsigned, int>>;

constexpr unsigned kKey0 = 11, kKey1 = 2, kKey2 = 3, kUp = 103, kOk = 352, kPower = 116, kVolumeUp = 115,
                   kVolumeDown = 114, kF1 = 59, kDvd = 389;
constexpr int kPress = 1, kRepeat = 2, kRelease = 0;

using fptest::key_event_frame;
constexpr auto press(uint8_t key) { return fptest::key_press_frame(key); }
constexpr auto release(uint8_t key) { return fptest::key_release_frame(key); }
constexpr auto kFrontPower = fptest::front_power_frame();

/// A read of /proc/rescue while the remote's @key is held for @hold, from 50 ms into the read.
std::string rescue_with(Box& box, uint8_t key, Nanos hold) {
    box.machine().events().at(box.machine().now() + 50_ms, [&box, key, hold] { box.micom().press_key(key, hold); });
    SysResult r = box.kernel().proc_read("rescue");
    box.machine().run_for(hold + 100_ms);
    return r.data;
}

}  // namespace

TEST(Keys, PressRepeatReleaseReachUserSpaceEachWithItsSync) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    micom_sends(b.box, key_event_frame(0x01, 0x33, 0x5F, 0x49, 0xB6));
    EXPECT_EQ(p->last_key, 0x49B6);
    micom_sends(b.box, key_event_frame(0x01, 0x44, 0x5F, 0x49, 0xB6));
    EXPECT_EQ(p->last_key, 0x49B6);
    micom_sends(b.box, key_event_frame(0x01, 0x55, 0x5F, 0xB6, 0x49));
    EXPECT_EQ(p->last_key, 0);
    EXPECT_EQ(keys_read(b.box), (Keys{{kUp, kPress}, {kUp, kRepeat}, {kUp, kRelease}}));
    EXPECT_EQ(input(b.box).received().size(), 6u);  // three events, three syncs
    EXPECT_TRUE(input(b.box).held_keys().empty());
}

TEST(Keys, DefaultMapHasTheRemotesFortyThreeKeyBytesAndDropsAllOthers) {
    const std::map<uint8_t, unsigned> table = {
        {0x01, 116}, {0x02, 102}, {0x03, 385}, {0x20, 11},  {0x21, 2},   {0x22, 3},   {0x23, 4},
        {0x24, 5},   {0x25, 6},   {0x26, 7},   {0x27, 8},   {0x28, 9},   {0x29, 10},  {0x2A, 377},
        {0x2B, 207}, {0x40, 402}, {0x41, 403}, {0x42, 114}, {0x43, 115}, {0x45, 113}, {0x46, 352},
        {0x47, 139}, {0x49, 103}, {0x4A, 108}, {0x4B, 105}, {0x4C, 106}, {0x4E, 174}, {0x60, 358},
        {0x62, 164}, {0x66, 412}, {0x70, 412}, {0x71, 407}, {0x72, 398}, {0x73, 399}, {0x74, 400},
        {0x75, 401}, {0x76, 365}, {0x78, 168}, {0x79, 208}, {0x80, 407}, {0x81, 388}, {0x82, 393},
        {0x83, 392},
    };
    ASSERT_EQ(table.size(), 43u);
    Booted b;
    fp_priv_t* p = priv(b.box);
    Keys want;
    for (int k = 0; k < 256; ++k) {
        const uint8_t key = uint8_t(k);
        micom_sends(b.box, press(key));
        auto it = table.find(key);
        if (it == table.end()) {
            // dropped, and so is its release, whose key byte may be valid
            micom_sends(b.box, release(key));
            EXPECT_EQ(p->last_key, 0) << std::hex << k;
            continue;
        }
        EXPECT_EQ(p->last_key, uint16_t(key << 8 | uint8_t(~key))) << std::hex << k;
        micom_sends(b.box, release(key));
        want.emplace_back(it->second, kPress);
        want.emplace_back(it->second, kRelease);
    }
    EXPECT_EQ(keys_read(b.box), want);
    EXPECT_EQ(count_containing(b.box, "bad code?"), 0u);
}

TEST(Keys, NewPowerKeyPressFlipsPowerStateItsRepeatsAndReleaseDoNot) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    ASSERT_EQ(p->power_state, 0);
    micom_sends(b.box, press(0x01));
    EXPECT_EQ(p->power_state, 1);
    micom_sends(b.box, press(0x01));
    micom_sends(b.box, press(0x01));
    micom_sends(b.box, release(0x01));
    EXPECT_EQ(p->power_state, 1);
    micom_sends(b.box, press(0x01));
    EXPECT_EQ(p->power_state, 0);
    micom_sends(b.box, release(0x01));
    EXPECT_EQ(keys_read(b.box), (Keys{{kPower, kPress}, {kPower, kRepeat}, {kPower, kRepeat}, {kPower, kRelease},
                                      {kPower, kPress}, {kPower, kRelease}}));
    EXPECT_EQ(b.box.kernel().call_export<int>("get_power_status"), 0);
}

TEST(Keys, FrontPowerFrameIsAWholePressWhateverIsPending) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    size_t from = b.box.kernel().log().lines().size();

    // nothing pending: the frame passes although 00 and FF are no key bytes
    micom_sends(b.box, kFrontPower);
    EXPECT_EQ(keys_read(b.box), (Keys{{kPower, kPress}, {kPower, kRelease}}));
    EXPECT_EQ(count_containing(b.box, "[fp] ir key 00FF", from), 1u);
    EXPECT_EQ(p->last_key, 0);

    // a remote key pending: the power press and release come, the pending key stays
    micom_sends(b.box, press(0x49));
    b.box.micom().press_front_power();
    b.box.machine().run_for(5_ms);
    EXPECT_EQ(p->last_key, 0x49B6);
    EXPECT_EQ(p->power_state, 0);
    micom_sends(b.box, press(0x49));
    micom_sends(b.box, release(0x49));
    EXPECT_EQ(keys_read(b.box), (Keys{{kPower, kPress}, {kPower, kRelease}, {kUp, kPress}, {kPower, kPress},
                                      {kPower, kRelease}, {kUp, kRepeat}, {kUp, kRelease}}));
    EXPECT_EQ(count_containing(b.box, "[fp] ir key 00FF", from), 2u);
    EXPECT_EQ(count_containing(b.box, "bad code?", from), 0u);
    const auto& lines = b.box.kernel().log().lines();
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].message() == "[fp] ir key 00FF") {
            EXPECT_EQ(lines[i].level(), 6);
        }

    // before the input device is ready it reports nothing; once it is, again
    p->input_ready = 0;
    micom_sends(b.box, kFrontPower);
    EXPECT_EQ(keys_read(b.box).size(), 7u);
    p->input_ready = 1;
    micom_sends(b.box, kFrontPower);
    EXPECT_EQ(keys_read(b.box).size(), 9u);
    EXPECT_TRUE(b.box.kernel().bugs().empty());
}

TEST(Keys, AnEventMatchingNeitherPressNorReleaseLetsThePendingKeyGo) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    size_t from = b.box.kernel().log().lines().size();
    micom_sends(b.box, press(0x20));  // KEY_0
    micom_sends(b.box, press(0x21));  // KEY_1, without a release of KEY_0
    EXPECT_EQ(p->last_key, 0);
    EXPECT_EQ(count_containing(b.box, "<<WARNING IR>> bad code? ", from), 1u);
    // KEY_0 is let go, KEY_1 is not reported
    EXPECT_EQ(keys_read(b.box), (Keys{{kKey0, kPress}, {kKey0, kRelease}}));
    EXPECT_TRUE(input(b.box).held_keys().empty());

    // the next event of KEY_1 is a new press, and the next KEY_0 press is seen
    micom_sends(b.box, press(0x21));
    micom_sends(b.box, release(0x21));
    micom_sends(b.box, press(0x20));
    EXPECT_EQ(keys_read(b.box), (Keys{{kKey0, kPress}, {kKey0, kRelease}, {kKey1, kPress}, {kKey1, kRelease},
                                      {kKey0, kPress}}));

    // with a press pending the key byte is not checked: 0x44 is a mismatch too
    micom_sends(b.box, press(0x44));
    EXPECT_EQ(count_containing(b.box, "bad code?", from), 2u);
    EXPECT_EQ(keys_read(b.box).back(), std::make_pair(kKey0, kRelease));
    EXPECT_EQ(p->last_key, 0);
}

TEST(Keys, InvalidKeyBytesAreDroppedWithoutAWord) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    size_t from = b.box.kernel().log().lines().size();
    micom_sends(b.box, press(0x44));
    micom_sends(b.box, release(0x44));  // BB 44: BB is no key byte either
    EXPECT_EQ(p->last_key, 0);
    EXPECT_TRUE(keys_read(b.box).empty());
    // the two hex dumps, nothing else
    EXPECT_EQ(log_messages(b.box, from).size(), 2u);
    EXPECT_EQ(count_containing(b.box, "ir raw data: ", from), 2u);
    micom_sends(b.box, press(0x49));
    micom_sends(b.box, release(0x49));
    EXPECT_EQ(keys_read(b.box), (Keys{{kUp, kPress}, {kUp, kRelease}}));
}

// 0x99 and 0xFE are no key bytes, but their complements are (0x66
// KEY_PREVIOUS, 0x01 KEY_POWER): the release of the dropped press must not
// come through as a press that is never released.
TEST(Keys, TheReleaseOfADroppedPressIsDroppedToo) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    for (uint8_t key : {uint8_t(0x99), uint8_t(0xFE)}) {
        SCOPED_TRACE(int(key));
        micom_sends(b.box, press(key));
        micom_sends(b.box, press(key));  // held: the micom repeats the press
        micom_sends(b.box, release(key));
        EXPECT_TRUE(keys_read(b.box).empty());
        EXPECT_EQ(p->last_key, 0);
        EXPECT_EQ(p->power_state, 0);
    }
    // the next real keys are reported as usual, 0x66 too once other events came between
    micom_sends(b.box, press(0x99));
    for (uint8_t key : {uint8_t(0x49), uint8_t(0x66)}) {
        micom_sends(b.box, press(key));
        micom_sends(b.box, release(key));
    }
    EXPECT_EQ(keys_read(b.box), (Keys{{kUp, kPress}, {kUp, kRelease}, {412, kPress}, {412, kRelease}}));
    EXPECT_TRUE(input(b.box).held_keys().empty());
}

// A release whose press the driver saw but did not take is dropped at the
// gate; it must not be remembered as a press that eats the key's next press.
TEST(Keys, AReleaseWhosePressWasNotTakenEatsNoLaterPress) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    // the press that drew "bad code?": KEY_0's release was lost, then KEY_1
    micom_sends(b.box, press(0x20));
    micom_sends(b.box, press(0x21));
    micom_sends(b.box, release(0x21));
    EXPECT_EQ(count_containing(b.box, "bad code?"), 1u);
    for (int i = 0; i < 2; ++i) {
        micom_sends(b.box, press(0x21));
        micom_sends(b.box, release(0x21));
    }
    EXPECT_EQ(keys_read(b.box), (Keys{{kKey0, kPress}, {kKey0, kRelease}, {kKey1, kPress}, {kKey1, kRelease},
                                      {kKey1, kPress}, {kKey1, kRelease}}));
    EXPECT_EQ(p->last_key, 0);
}

// A tap whose press the line lost leaves its release, which looks like the
// press of 0xB6 (no key); the next press of the key looks like that one's
// release.  Within the repeat interval it is taken for it; after a pause it
// is a press again.
TEST(Keys, APressLostOnTheLineCostsAtMostTheNextTap) {
    Booted b;
    micom_sends(b.box, release(0x49));
    micom_sends(b.box, press(0x49));  // at once: taken for the release
    micom_sends(b.box, release(0x49));
    EXPECT_TRUE(keys_read(b.box).empty());
    micom_sends(b.box, press(0x49));
    micom_sends(b.box, release(0x49));
    micom_sends(b.box, release(0x49));  // again a press lost on the line, then a pause
    b.box.machine().run_for(400_ms);
    micom_sends(b.box, press(0x49));
    micom_sends(b.box, release(0x49));
    EXPECT_EQ(keys_read(b.box), (Keys{{kUp, kPress}, {kUp, kRelease}, {kUp, kPress}, {kUp, kRelease}}));
    EXPECT_TRUE(input(b.box).held_keys().empty());
}

TEST(Keys, BeforeTheInputDeviceIsReadyOnlyTheRescueStepRuns) {
    Booted b;
    fp_priv_t* p = priv(b.box);
    p->input_ready = 0;
    p->rescue_state = 1;
    micom_sends(b.box, press(0x01));
    EXPECT_EQ(p->last_key, 0);
    EXPECT_EQ(p->power_state, 0);
    EXPECT_EQ(p->rescue_state, 1);  // KEY_POWER is no rescue key
    micom_sends(b.box, press(0x43));
    EXPECT_EQ(p->rescue_state, 2);
    micom_sends(b.box, release(0x43));  // 0xBC: no key byte, dropped at the gate
    EXPECT_EQ(p->rescue_state, 2);
    micom_sends(b.box, press(0x22));
    EXPECT_EQ(p->rescue_state, 0);
    EXPECT_EQ(p->rescue_answered, 1);
    EXPECT_EQ(p->rescue_choice, 3);
    EXPECT_EQ(p->last_key, 0);
    EXPECT_TRUE(keys_read(b.box).empty());
    // the start ends: the next press is reported (0x22's release was not taken)
    micom_sends(b.box, release(0x22));
    p->input_ready = 1;
    micom_sends(b.box, press(0x22));
    micom_sends(b.box, release(0x22));
    EXPECT_EQ(keys_read(b.box), (Keys{{kKey2, kPress}, {kKey2, kRelease}}));
}

TEST(Keys, RescueStepTakesTheFirstRescueKeyAndThenTheChoice) {
    struct Case {
        uint8_t key;
        int choice;
    };
    const Case cases[] = {{0x43, 1}, {0x20, 0}, {0x21, 2}, {0x22, 3}};
    Booted b;
    fp_priv_t* p = priv(b.box);
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.key));
        p->rescue_state = 1;
        p->rescue_answered = 0;
        p->rescue_choice = 0;
        micom_sends(b.box, press(0x49));  // not a rescue key
        EXPECT_EQ(p->rescue_state, 1);
        micom_sends(b.box, release(0x49));
        micom_sends(b.box, press(c.key));
        EXPECT_EQ(p->rescue_state, 2);
        EXPECT_EQ(p->rescue_answered, 0);
        micom_sends(b.box, press(c.key));  // its repeat completes the hand-shake
        EXPECT_EQ(p->rescue_state, 0);
        EXPECT_EQ(p->rescue_answered, 1);
        EXPECT_EQ(p->rescue_choice, c.choice);
        micom_sends(b.box, release(c.key));
        EXPECT_EQ(p->rescue_state, 0);
    }
    // a release of a rescue key names the key at the pair's place: no rescue key
    p->rescue_state = 1;
    micom_sends(b.box, press(0x49));
    micom_sends(b.box, key_event_frame(0x01, 0x00, 0x5F, 0xB6, 0x49));
    EXPECT_EQ(p->rescue_state, 1);
}

TEST(Keys, RescueReaderGetsTheChoiceOfAHeldKey) {
    Booted b;
    const Nanos start = b.box.machine().now();
    EXPECT_EQ(rescue_with(b.box, 0x21, 150_ms), "2\n");  // KEY_1: its press, then its repeat
    EXPECT_EQ(keys_read(b.box), (Keys{{kKey1, kPress}, {kKey1, kRepeat}, {kKey1, kRelease}}));
    EXPECT_LT(b.box.machine().now() - start, 1_s);
}

TEST(Keys, RemapThroughTheInputLayerChangesTheReportedCodeAndTheRescueStep) {
    Booted b;
    InputDevice& dev = input(b.box);
    fp_priv_t* p = priv(b.box);

    // 0x20 (KEY_0) becomes KEY_VOLUMEUP: reported as such, and rescue choice 1
    ASSERT_EQ(dev.set_keycode(b.box.machine(), 0x20, kVolumeUp), 0);
    EXPECT_EQ(p->keymap[0x20], kVolumeUp);
    EXPECT_EQ(rescue_with(b.box, 0x20, 150_ms), "1\n");
    EXPECT_EQ(keys_read(b.box), (Keys{{kVolumeUp, kPress}, {kVolumeUp, kRepeat}, {kVolumeUp, kRelease}}));

    // 0x22 (KEY_2) becomes KEY_F1: no rescue key any more
    dev.clear_received();
    ASSERT_EQ(dev.set_keycode(b.box.machine(), 0x22, kF1), 0);
    p->rescue_state = 1;
    micom_sends(b.box, press(0x22));
    micom_sends(b.box, release(0x22));
    EXPECT_EQ(p->rescue_state, 1);
    EXPECT_EQ(keys_read(b.box), (Keys{{kF1, kPress}, {kF1, kRelease}}));
    p->rescue_state = 0;

    // the power flip follows the reported code: HOME remapped to KEY_POWER flips it
    dev.clear_received();
    ASSERT_EQ(dev.set_keycode(b.box.machine(), 0x02, kPower), 0);
    micom_sends(b.box, press(0x02));
    micom_sends(b.box, release(0x02));
    EXPECT_EQ(p->power_state, 1);
    EXPECT_EQ(keys_read(b.box), (Keys{{kPower, kPress}, {kPower, kRelease}}));

    // remapping a byte outside the remote's set does not make it a key
    dev.clear_received();
    ASSERT_EQ(dev.set_keycode(b.box.machine(), 0x44, kVolumeDown), 0);
    micom_sends(b.box, press(0x44));
    EXPECT_EQ(p->last_key, 0);
    EXPECT_TRUE(keys_read(b.box).empty());
    unsigned code = 0;
    ASSERT_EQ(dev.get_keycode(0x45, &code), 0);
    EXPECT_EQ(code, 113u);  // neighbours untouched
    ASSERT_EQ(dev.get_keycode(0x05, &code), 0);
    EXPECT_EQ(code, kDvd);
    micom_sends(b.box, release(0x44));
    micom_sends(b.box, press(0x45));
    micom_sends(b.box, release(0x45));
    EXPECT_EQ(keys_read(b.box), (Keys{{113, kPress}, {113, kRelease}}));
}

TEST(RemoteSession, StartClockKeysRemapAndRescue) {
    Box box;
    box.micom().set_time(micom::DateTime{2013, 5, 1, 12, 0, 0});
    // a key pressed and let go while the driver starts: the input device is
    // not there yet, nothing may be reported
    box.machine().events().at(3_ms, [&box] { box.micom().press_key(0x49, 40_ms); });
    ASSERT_EQ(box.boot(), 0);
    fp_priv_t* p = priv(box);
    const Nanos start_time = box.machine().now();

    // boot information and time answered during the start
    EXPECT_EQ(hex(host_bytes(box.soc().primary())), "AA 20 A2 0A 0A 82 AA 20 D2 0D 0D F2");
    const std::string from_micom = hex(wire_bytes(box.soc().primary(), Direction::MicomToHost));
    EXPECT_NE(from_micom.find("AA DF A8 00 00 00 00 00 00 00 00 77"), std::string::npos) << from_micom;
    EXPECT_NE(from_micom.find("AA DF D8 00 00 D2 00 01 05 13 00"), std::string::npos) << from_micom;
    EXPECT_EQ(p->bootinfo_ready, 1);
    EXPECT_EQ(p->alarm_status, 0);
    EXPECT_EQ(p->time_ready, 1);
    const int64_t micom_t0 = epoch_of(2013, 5, 1, 12, 0, 0);
    EXPECT_GE(box.kernel().wall_ns(), micom_t0 * 1'000'000'000 + 500'000'000);
    EXPECT_LT(box.kernel().wall_ns(), micom_t0 * 1'000'000'000 + 600'000'000);
    // the key of the start: seen on the line, not reported, nothing pending
    EXPECT_EQ(count_containing(box, "ir raw data: 01 00 5f 49 b6"), 1u);
    EXPECT_EQ(count_containing(box, "ir raw data: 01 00 5f b6 49"), 1u);
    EXPECT_TRUE(input(box).received().empty());
    EXPECT_EQ(p->last_key, 0);

    // the start's length next to its floor: 60 ms of sleeps and two round trips
    const Nanos ch = box.soc().primary().micom_format.char_time();
    const Nanos floor = 60_ms + 2 * (6 + 12) * ch;
    EXPECT_GE(start_time, floor);
    EXPECT_LT(start_time, floor + 3 * box.machine().tick_ns());
    std::printf("[figures] start with a live micom: %.3f ms, floor %.3f ms (tick %.0f ms)\n",
                double(start_time) / 1e6, double(floor) / 1e6, double(box.machine().tick_ns()) / 1e6);
    for (auto& w : box.soc().primary().log())
        if (w.dir == Direction::HostToMicom && w.byte == 0xAA)
            std::printf("[figures] request sent at %.3f ms\n", double(w.start) / 1e6);

    // several keys, remote and front, with repeats while held
    const Nanos iv = box.config().micom.key_repeat_interval;
    struct Press {
        uint8_t key;
        Nanos hold;
        uint8_t address;
        unsigned code;
    };
    const Press presses[] = {{0x49, 300_ms, 0x5F, kUp},
                             {0x46, 50_ms, 0x5F, kOk},
                             {0x01, 250_ms, 0x12, kPower},
                             {0x42, 120_ms, 0x5F, kVolumeDown}};
    Keys want;
    for (const Press& k : presses) {
        box.micom().press_key(k.key, k.hold, k.address);
        want.emplace_back(k.code, kPress);
        for (Nanos t = iv; t < k.hold; t += iv)
            want.emplace_back(k.code, kRepeat);
        want.emplace_back(k.code, kRelease);
    }
    box.machine().run_for(1_s);
    EXPECT_EQ(keys_read(box), want);
    EXPECT_EQ(p->power_state, 1);
    EXPECT_EQ(p->last_key, 0);
    EXPECT_TRUE(input(box).held_keys().empty());

    // the kernel clock follows the micom: a time answer of its own accord...
    box.micom().set_time(micom::DateTime{2014, 6, 7, 8, 9, 10});
    box.micom().send_time_answer();
    box.machine().run_for(5_ms);
    const int64_t t1 = epoch_of(2014, 6, 7, 8, 9, 10) * 1'000'000'000 + 500'000'000;
    EXPECT_LE(wall_at_last_rx(box), t1);
    EXPECT_GE(wall_at_last_rx(box), t1 - int64_t(20_us));
    // ... and one asked for through get_RTC_time
    box.machine().run_for(3_s);
    EXPECT_EQ(int64_t(box.kernel().call_export<unsigned long>("get_RTC_time")), epoch_of(2014, 6, 7, 8, 9, 13));
    const int64_t t2 = epoch_of(2014, 6, 7, 8, 9, 13) * 1'000'000'000 + 500'000'000;
    EXPECT_LE(wall_at_last_rx(box), t2);
    EXPECT_GE(wall_at_last_rx(box), t2 - int64_t(20_us));

    // a remap through the input layer, then the rescue hand-shake with it
    input(box).clear_received();
    ASSERT_EQ(input(box).set_keycode(box.machine(), 0x2B, kVolumeUp), 0);  // PLAY becomes VOLUMEUP
    EXPECT_EQ(rescue_with(box, 0x2B, 200_ms), "1\n");
    EXPECT_EQ(keys_read(box), (Keys{{kVolumeUp, kPress}, {kVolumeUp, kRepeat}, {kVolumeUp, kRelease}}));
    EXPECT_TRUE(box.kernel().bugs().empty());
}
