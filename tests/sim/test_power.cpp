// SPDX-License-Identifier: MIT
// Power-off, reboot, deep standby, the clock display, the identification and
// the rescue hand-shake on the simulated box, and a whole power cycle with a
// timed wake-up.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

constexpr uint8_t kCmdClock = 0x3;
constexpr uint8_t kCmdControl = 0x4;
constexpr Nanos kTick = 10_ms;  // the box's default 100 Hz

constexpr uint8_t kKeyVolumeUp = 0x43, kKey0 = 0x20, kKey1 = 0x21, kKey2 = 0x22, kKeyOk = 0x46;

/// Frames the micom received, as "code: payload" lines.
std::vector<std::string> frames(Box& box) {
    std::vector<std::string> v;
    for (auto& f : box.micom().frames())
        v.push_back(hex({f.code}) + ": " + hex(f.payload));
    return v;
}

std::string control(const std::string& payload) { return hex({kCmdControl}) + ": " + payload; }

class Power : public testing::Test {
protected:
    void SetUp() override {
        box.micom().set_time(micom::DateTime{2013, 12, 6, 15, 0, 0});
        ASSERT_EQ(box.boot(), 0);
        settle();
    }
    void settle() {
        box.machine().run_for(20_ms);
        box.micom().clear_frames();
    }
    std::vector<std::string> sent() {
        box.machine().run_for(20_ms);
        return frames(box);
    }
    Box box;
};

/// The rescue reader against keys pressed at given times after its start.
class Rescue : public Power {
protected:
    struct Outcome {
        std::string text;
        Nanos took;
        std::vector<std::string> log;
    };
    Outcome read_with_keys(const std::vector<std::pair<Nanos, uint8_t>>& keys) {
        const Nanos t0 = box.machine().now();
        for (auto& [after, key] : keys)
            box.machine().events().at(t0 + after, [this, key = key] { box.micom().press_key(key, 30_ms); });
        const size_t from = box.kernel().log().lines().size();
        SysResult r = box.kernel().proc_read("rescue");
        Outcome o{r.data, box.machine().now() - t0, {}};
        for (auto& m : log_messages(box, from))
            if (m.rfind("wait", 0) == 0)
                o.log.push_back(m);
        box.machine().run_for(200_ms);  // the last key's release
        return o;
    }
};

}  // namespace

// ---------------------------------------------------------- control entries

TEST_F(Power, RebootEntrySendsTheRebootCommandWhateverIsWritten) {
    EXPECT_EQ(box.kernel().proc_write("reboot", "1\n"), 2);
    EXPECT_EQ(sent(), std::vector<std::string>{control("55 00")});
    // the micom switches the box off and on again: a fresh start
    EXPECT_FALSE(box.powered());
    const unsigned boots = box.kernel().boots();
    box.machine().run_for(2_s);
    EXPECT_TRUE(box.powered());
    EXPECT_EQ(box.kernel().boots(), boots + 1);
    EXPECT_TRUE(box.kernel().module_loaded());

    box.micom().clear_frames();
    EXPECT_EQ(box.kernel().proc_write("reboot", ""), 0);
    EXPECT_EQ(sent(), std::vector<std::string>{control("55 00")});
    box.machine().run_for(2_s);
    EXPECT_TRUE(box.kernel().module_loaded());
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

TEST_F(Power, ClockDisplayAndVfdEntries) {
    EXPECT_EQ(box.kernel().proc_write("vfdclock", ""), 0);
    EXPECT_EQ(sent(), std::vector<std::string>{hex({kCmdClock}) + ": 03 03"});
    EXPECT_TRUE(box.micom().clock_display());

    // the text is never copied: an unreadable buffer does not matter
    settle();
    box.kernel().faults.user_copy_fail = 1;
    EXPECT_EQ(box.kernel().proc_write("vfd", std::string(300, 'x')), 300);
    EXPECT_EQ(box.kernel().proc_write("vfdclock", std::string(200, 'x')), 200);
    EXPECT_EQ(sent(), std::vector<std::string>{hex({kCmdClock}) + ": 03 03"});
    EXPECT_EQ(box.kernel().faults.user_copy_fail, 1);
}

TEST_F(Power, ModelAndIdentificationExports) {
    ProcEntry* e = box.kernel().procfs().find("model");
    ASSERT_NE(e, nullptr);
    SysResult r = box.kernel().proc_read("model");
    EXPECT_EQ(r.data, "lumeta\n");
    EXPECT_EQ(e->read_calls, 1u);
    EXPECT_EQ(std::string(box.kernel().call_export<const char*>("get_tavix_model")), "lumeta");
    EXPECT_EQ(std::string(box.kernel().call_export<const char*>("get_put_version")), "150");
    EXPECT_EQ(box.kernel().call_export<int>("get_have_RF"), 0);

    // another module changes the exported variables; the getters follow
    *static_cast<int*>(box.kernel().module_symbol("have_RF")) = 1;
    *static_cast<const char**>(box.kernel().module_symbol("put_model")) = "other";
    EXPECT_EQ(box.kernel().call_export<int>("get_have_RF"), 1);
    EXPECT_EQ(box.kernel().proc_read("model").data, "other\n");
}

TEST_F(Power, PowerOffWithoutAStoredAlarmSendsPlainDeepStandby) {
    box.kernel().poweroff();
    EXPECT_EQ(sent(), std::vector<std::string>{control("0C 00")});
    EXPECT_FALSE(box.powered());
    box.machine().run_for(3600_s);
    EXPECT_FALSE(box.powered());  // no wake-up time: the box stays off
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

TEST_F(Power, DeepStandbyEntryNeverSendsTheStoredAlarm) {
    box.kernel().call_export<void>("set_ALARM_time", "20131206153000");
    EXPECT_EQ(box.kernel().proc_write("deepstandby", "1\n"), 2);
    EXPECT_EQ(sent(), std::vector<std::string>{control("0C 00")});
    EXPECT_FALSE(box.powered());
    box.machine().run_for(3600_s);
    EXPECT_FALSE(box.powered());
}

TEST_F(Power, ALaterAlarmReplacesTheStoredOneAtPowerOff) {
    box.kernel().call_export<void>("set_ALARM_time", "20140101000000");
    box.kernel().call_export<void>("set_ALARM_time", "20131206153000");
    box.kernel().call_export<void>("set_ALARM_time", "201");  // too short: the stored one stays
    box.kernel().poweroff();
    EXPECT_EQ(sent(), std::vector<std::string>{control("0C 01 00 30 D5 00 06 12 13")});
}

// Switch-off and timed switch-on, end to end: the clock set through
// /proc/settime, a wake-up time one hour ahead, the power-off hook, and the
// fresh start that reports the wake-up.
TEST_F(Power, WholePowerCycleWithTimedWakeUp) {
    ASSERT_EQ(box.kernel().proc_write("settime", "20140630220000+0\n"), 17);
    box.machine().run_for(20_ms);
    EXPECT_EQ(epoch_of(box.micom().time()), epoch_of(2014, 6, 30, 22, 0, 0));
    // some state of this run that the next start must not inherit
    ASSERT_EQ(box.kernel().proc_write("led", "3\n"), 2);
    ASSERT_EQ(box.kernel().proc_write("startrescue", "1\n"), 2);
    box.kernel().call_export<void>("set_ALARM_time", "20140630230000");
    const unsigned boots = box.kernel().boots();
    settle();

    box.kernel().poweroff();
    EXPECT_EQ(sent(), std::vector<std::string>{control("0C 01 00 00 E3 00 30 06 14")});
    EXPECT_FALSE(box.powered());
    EXPECT_FALSE(box.kernel().module_loaded());

    // off until the wake-up time
    box.machine().run_for(3590_s);
    EXPECT_FALSE(box.powered());
    EXPECT_EQ(box.kernel().boots(), boots);
    box.machine().run_for(20_s);
    ASSERT_TRUE(box.powered());
    ASSERT_EQ(box.kernel().boots(), boots + 1);
    EXPECT_EQ(box.kernel().last_boot_result(), 0);
    ASSERT_TRUE(box.kernel().module_loaded());

    // the new start learnt why it runs
    EXPECT_NE(box.kernel().call_export<int>("get_ALARM_status"), 0);
    EXPECT_EQ(int64_t(box.kernel().call_export<unsigned long>("get_ALARM_time")), epoch_of(2014, 6, 30, 23, 0, 0));
    // and the kernel clock follows the micom's clock
    const int64_t micom_ns = epoch_of(box.micom().time()) * 1'000'000'000;
    EXPECT_GE(box.kernel().wall_ns(), micom_ns - int64_t(1_s));
    EXPECT_LE(box.kernel().wall_ns(), micom_ns + int64_t(1_s));
    EXPECT_GE(box.kernel().wall_ns(), epoch_of(2014, 6, 30, 23, 0, 0) * 1'000'000'000);

    // a fresh module: load-time values, no alarm, no blink thread
    EXPECT_EQ(box.kernel().proc_read("led").data, "1\n");
    EXPECT_EQ(priv(box)->alarm_pending, 0);
    EXPECT_EQ(*static_cast<kp_task**>(box.kernel().module_symbol("tblink")), nullptr);
    for (Task* t : box.machine().live_tasks())
        EXPECT_NE(t->name, "blink");

    // the next plain power-off does not repeat the old wake-up time
    box.kernel().call_export<void>("clear_ALARM_status");
    EXPECT_EQ(box.kernel().call_export<int>("get_ALARM_status"), 0);
    settle();
    box.kernel().poweroff();
    EXPECT_EQ(sent(), std::vector<std::string>{control("0C 00")});
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

TEST_F(Power, SwitchingOnByHandAfterDeepStandbyStartsAFreshModule) {
    ASSERT_EQ(box.kernel().proc_write("led", "3\n"), 2);
    box.kernel().call_export<void>("set_ALARM_time", "20131206153000");
    ASSERT_EQ(box.kernel().proc_write("deepstandby", ""), 0);
    box.machine().run_for(20_ms);
    ASSERT_FALSE(box.powered());
    ASSERT_EQ(box.boot(), 0);
    EXPECT_TRUE(box.powered());
    EXPECT_EQ(box.kernel().proc_read("led").data, "1\n");
    EXPECT_EQ(priv(box)->alarm_pending, 0);
    EXPECT_EQ(box.kernel().call_export<int>("get_ALARM_status"), 0);  // not woken by the alarm
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

// --------------------------------------------------------------- rescue

TEST_F(Rescue, NoKeyGives255After200TicksWithThreeLogLines) {
    ProcEntry* e = box.kernel().procfs().find("rescue");
    ASSERT_NE(e, nullptr);
    Outcome o = read_with_keys({});
    EXPECT_EQ(o.text, "255\n");
    EXPECT_GE(o.took, 199 * kTick);
    EXPECT_LE(o.took, 201 * kTick);
    EXPECT_EQ(o.log, (std::vector<std::string>{"wait[1]", "wait[2]", "wait finished"}));
    EXPECT_EQ(e->read_calls, 1u);  // one hand-shake per read()
    EXPECT_EQ(priv(box)->rescue_state, 1);  // left armed
}

TEST_F(Rescue, ASecondReadOfTheSameOpenFileIsEndOfFileWithoutAHandShake) {
    long first = 0, second = -1;
    std::string text(16, '\0');
    Nanos took_second = 0;
    const size_t from = box.kernel().log().lines().size();
    box.kernel().run_process("cat", [&] {
        long fd = box.kernel().sys_open("/proc/rescue");
        first = box.kernel().sys_read(fd, text.data(), text.size());
        const Nanos t = box.machine().now();
        second = box.kernel().sys_read(fd, text.data() + 8, 8);
        took_second = box.machine().now() - t;
        box.kernel().sys_close(fd);
        return 0;
    });
    EXPECT_EQ(first, 4);
    EXPECT_EQ(text.substr(0, 4), "255\n");
    EXPECT_EQ(second, 0);
    EXPECT_EQ(took_second, 0u);
    EXPECT_EQ(log_messages(box, from).size(), 3u);  // one hand-shake's lines only
}

TEST_F(Rescue, DigitOneTwiceEndsTheReadAtTheSecondPress) {
    Outcome o = read_with_keys({{300_ms, kKey1}, {700_ms, kKey1}});
    EXPECT_EQ(o.text, "2\n");
    EXPECT_GE(o.took, 700_ms);
    EXPECT_LE(o.took, 700_ms + 5_ms);  // the key frame's time on the wire
    EXPECT_EQ(o.log, (std::vector<std::string>{"wait[1]", "wait[2]", "wait finished"}));
    EXPECT_EQ(priv(box)->rescue_state, 0);
    EXPECT_EQ(priv(box)->rescue_answered, 0);
}

TEST_F(Rescue, EachChoiceKeyGivesItsNumber) {
    EXPECT_EQ(read_with_keys({{100_ms, kKeyVolumeUp}, {300_ms, kKeyVolumeUp}}).text, "1\n");
    EXPECT_EQ(read_with_keys({{100_ms, kKey2}, {300_ms, kKey2}}).text, "3\n");
    // the second key decides
    EXPECT_EQ(read_with_keys({{100_ms, kKey2}, {300_ms, kKeyVolumeUp}}).text, "1\n");
    // other keys do not count
    Outcome o = read_with_keys({{100_ms, kKeyOk}, {300_ms, kKeyOk}});
    EXPECT_EQ(o.text, "255\n");
    EXPECT_LE(o.took, 201 * kTick);
}

TEST_F(Rescue, HoldingOneRescueKeyIsEnough) {
    const Nanos t0 = box.machine().now();
    box.machine().events().at(t0 + 100_ms, [this] { box.micom().press_key(kKey2, 400_ms); });
    SysResult r = box.kernel().proc_read("rescue");
    EXPECT_EQ(r.data, "3\n");
    // the first repeat comes one repeat interval after the press
    EXPECT_LE(box.machine().now() - t0, 100_ms + 110_ms + 5_ms);
}

TEST_F(Rescue, DigitZeroTwiceGives0OnlyAfterTheFullFirstWait) {
    Outcome o = read_with_keys({{300_ms, kKey0}, {700_ms, kKey0}});
    EXPECT_EQ(o.text, "0\n");
    EXPECT_GE(o.took, 199 * kTick);
    EXPECT_LE(o.took, 201 * kTick);  // no second wait
}

TEST_F(Rescue, SingleKeyAddsTheSecondWaitAndGives255After300Ticks) {
    Outcome o = read_with_keys({{300_ms, kKey1}});
    EXPECT_EQ(o.text, "255\n");
    EXPECT_GE(o.took, 299 * kTick);
    EXPECT_LE(o.took, 301 * kTick);
    EXPECT_EQ(o.log, (std::vector<std::string>{"wait[1]", "wait[2]", "wait finished"}));

    // the second key during the second wait ends it at once
    o = read_with_keys({{300_ms, kKey1}, {2300_ms, kKey1}});
    EXPECT_EQ(o.text, "2\n");
    EXPECT_GE(o.took, 2300_ms);
    EXPECT_LE(o.took, 2305_ms);
}

TEST_F(Rescue, AChoiceMadeAfterAReadIsReportedByTheNext) {
    ASSERT_EQ(read_with_keys({}).text, "255\n");  // armed, no answer
    box.micom().press_key(kKey1, 30_ms);
    box.machine().run_for(200_ms);
    box.micom().press_key(kKey1, 30_ms);
    box.machine().run_for(200_ms);
    Outcome o = read_with_keys({});
    EXPECT_EQ(o.text, "2\n");
    EXPECT_LT(o.took, kTick);  // at once
    // consumed: the read after gets nothing
    EXPECT_EQ(read_with_keys({}).text, "255\n");
}

TEST_F(Rescue, ReadingDoesNotStopTheBlinkThread) {
    ASSERT_EQ(box.kernel().proc_write("startrescue", "1\n"), 2);
    EXPECT_EQ(read_with_keys({}).text, "255\n");
    size_t blink = 0;
    for (Task* t : box.machine().live_tasks())
        blink += t->name == "blink";
    EXPECT_EQ(blink, 1u);
    EXPECT_NE(*static_cast<kp_task**>(box.kernel().module_symbol("tblink")), nullptr);
}

// A box switched off by its micom keeps the image of its module until it is
// switched on again; a box made after it must still get a fresh module.
TEST(PowerLifetime, ANewBoxAfterOneLeftSwitchedOffLoadsAFreshModule) {
    {
        Box box;
        ASSERT_EQ(box.boot(), 0);
        ASSERT_EQ(box.kernel().proc_write("led", "3\n"), 2);
        box.kernel().call_export<void>("set_ALARM_time", "20131206153000");  // ahead: a wake-up is pending
        box.kernel().poweroff();
        box.machine().run_for(20_ms);
        ASSERT_FALSE(box.powered());
    }
    Box box;
    ASSERT_EQ(box.boot(), 0);
    EXPECT_EQ(box.kernel().proc_read("led").data, "1\n");
    EXPECT_EQ(priv(box)->alarm_pending, 0);
    ASSERT_EQ(box.kernel().unload_module(), 0);
    EXPECT_TRUE(box.kernel().last_unload_unmapped());
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

// A power-off while /dev/micom is open sends nothing: the micom keeps the box
// on while its CPU halts.  For boot a halted box is off: it starts afresh.
TEST(PowerLifetime, BootAfterAHaltWithTheMicomStillOnStartsAfresh) {
    Box box;
    ASSERT_EQ(box.boot(), 0);
    ASSERT_EQ(box.kernel().proc_write("led", "3\n"), 2);
    long fd = -1;
    box.kernel().run_process("isp", [&] {
        fd = box.kernel().sys_open("/dev/micom");
        return 0;
    });
    ASSERT_GE(fd, 0);
    box.kernel().poweroff();
    box.machine().run_for(20_ms);
    EXPECT_TRUE(box.micom().box_power());
    const unsigned boots = box.kernel().boots();
    ASSERT_EQ(box.boot(), 0);
    EXPECT_EQ(box.kernel().boots(), boots + 1);
    EXPECT_EQ(box.kernel().proc_read("led").data, "1\n");  // a fresh driver
    EXPECT_EQ(priv(box)->isp_mode, 0);
    box.micom().press_key(0x49, 50_ms);
    box.machine().run_for(200_ms);
    EXPECT_EQ(keys_read(box), (std::vector<std::pair<unsigned, int>>{{103, 1}, {103, 0}}));
    ASSERT_EQ(box.kernel().unload_module(), 0);
    EXPECT_TRUE(box.kernel().leftovers().empty()) << testing::PrintToString(box.kernel().leftovers());
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}

// A module built for another kernel is refused whoever starts the box: boot,
// and the micom switching it on at its front power key.
TEST(PowerLifetime, AForeignModuleIsRefusedAtBootAndAtAPowerOnByTheMicom) {
    BoxConfig cfg;
    cfg.module_path = FP_FOREIGN_MODULE;
    Box box(cfg);
    EXPECT_EQ(box.boot(), -8);
    EXPECT_FALSE(box.kernel().module_loaded());
    EXPECT_EQ(count_containing(box, "frontpanel: disagrees about version of symbol module_layout"), 1u);

    // deep standby, asked for on the line (no driver is there to ask)
    for (uint8_t b : {0xAA, 0x20, 0x42, 0x0C, 0x00, 0x6E})
        box.micom().receive(micom::Link::Primary, b, box.machine().now(), true);
    box.machine().run_for(100_ms);
    ASSERT_FALSE(box.powered());
    const unsigned boots = box.kernel().boots();
    box.micom().press_front_power();
    box.machine().run_for(1_s);
    EXPECT_TRUE(box.powered());
    EXPECT_EQ(box.kernel().boots(), boots + 1);
    EXPECT_FALSE(box.kernel().module_loaded());
    EXPECT_EQ(box.kernel().last_boot_result(), -8);
    EXPECT_EQ(count_containing(box, "frontpanel: disagrees about version of symbol module_layout"), 2u);
    EXPECT_TRUE(box.kernel().leftovers().empty());
    EXPECT_TRUE(box.kernel().bugs().empty()) << testing::PrintToString(box.kernel().bugs());
}
