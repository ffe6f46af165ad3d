// SPDX-License-Identifier: MIT
// The micom's clock and the wake-up alarm on the simulated box: /proc/settime,
// set_RTC_time, get_RTC_time, set_ALARM_time and the boot-information readers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

constexpr uint8_t kCmdSetTime = 0xC;

/// The frame a host sends for command @cmd with @payload (payloads up to 15 bytes).
std::vector<uint8_t> host_frame(uint8_t cmd, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f = {0xAA, 0x20, uint8_t(cmd << 4 | payload.size())};
    for (uint8_t b : payload)  // (insert() draws a false -Warray-bounds from g++ 12)
        f.push_back(b);
    uint8_t sum = 0;
    for (size_t i = 1; i < f.size(); ++i)
        sum ^= f[i];
    f.push_back(sum);
    return f;
}

class Clock : public testing::Test {
protected:
    void SetUp() override {
        box.micom().set_time(micom::DateTime{2012, 3, 4, 5, 6, 7});
        ASSERT_EQ(box.boot(), 0);
        settle();
    }
    void settle() {
        box.machine().run_for(20_ms);  // the last bytes leave the wire
        box.soc().primary().clear_log();
        box.micom().clear_frames();
    }
    std::vector<uint8_t> sent() {
        box.machine().run_for(20_ms);
        return host_bytes(box.soc().primary());
    }
    Box box;
};

}  // namespace

TEST_F(Clock, SettimeSendsTheRecordWithSignAndDigitAsFlags) {
    const int64_t wall_before = box.kernel().wall_ns();
    EXPECT_EQ(box.kernel().proc_write("settime", "20131206153000+1\n"), 17);
    EXPECT_EQ(hex(sent()), hex(host_frame(kCmdSetTime, {0x00, 0x30, 0xD5, 0x00, 0x06, 0x12, 0x13, 0x81})));
    EXPECT_EQ(priv(box)->time_flags, 0x81);
    // the micom's clock takes the record; the kernel clock waits for the next answer
    const micom::DateTime t = box.micom().time();
    EXPECT_EQ(t.year, 2013);
    EXPECT_EQ(t.mon, 12);
    EXPECT_EQ(t.day, 6);
    EXPECT_EQ(t.hour, 15);
    EXPECT_EQ(t.min, 30);
    EXPECT_LT(box.kernel().wall_ns() - wall_before, int64_t(1_s));

    // any sign but '+' leaves the top bit clear; the digit is not checked
    settle();
    EXPECT_EQ(box.kernel().proc_write("settime", "20131206153000-2\n"), 17);
    EXPECT_EQ(hex(sent()), hex(host_frame(kCmdSetTime, {0x00, 0x30, 0xD5, 0x00, 0x06, 0x12, 0x13, 0x02})));
    settle();
    EXPECT_EQ(box.kernel().proc_write("settime", "20131206153000+;\n"), 17);
    EXPECT_EQ(priv(box)->time_flags, 0x8B);
}

TEST_F(Clock, SettimeRefusesWrongLengthsAndLettersButReturnsTheCount) {
    const std::vector<std::string> refused = {
        "20131206153000\n",        // 15 bytes: no sign and digit
        "20131206153000+1",        // 16 bytes: the last digit taken for the line end
        "20131206153000+12\n",     // 18 bytes
        "2013120615300A+1\n",      // a letter among the digits
        "2013:206153000+1\n",      // ':' is just above '9'
        std::string(128, '1'),     // the largest accepted write, but no date
    };
    for (const std::string& text : refused) {
        EXPECT_EQ(box.kernel().proc_write("settime", text), long(text.size())) << text;
    }
    EXPECT_EQ(box.kernel().proc_write("settime", ""), 0);  // nothing to drop, nothing to send
    EXPECT_TRUE(sent().empty()) << hex(sent());
    EXPECT_EQ(priv(box)->time_flags, 0);
}

TEST_F(Clock, OversizedOrUnreadableProcWritesFailWithEfaultAndSendNothing) {
    EXPECT_EQ(box.kernel().proc_write("settime", std::string(129, '1')), -14);
    EXPECT_EQ(box.kernel().proc_write("settime", "20131206153000+1" + std::string(113, '\n')), -14);
    box.kernel().faults.user_copy_fail = 1;
    EXPECT_EQ(box.kernel().proc_write("settime", "20131206153000+1\n"), -14);
    EXPECT_EQ(box.kernel().faults.user_copy_fail, 0);
    EXPECT_TRUE(sent().empty()) << hex(sent());
    // the same text once the buffer can be read
    EXPECT_EQ(box.kernel().proc_write("settime", "20131206153000+1\n"), 17);
    box.machine().run_for(20_ms);
    EXPECT_EQ(box.micom().frames().size(), 1u);
}

TEST_F(Clock, SetRtcTimeSendsFlags80AndOnlyYear2000OnGetsTheCenturyFlags) {
    box.kernel().call_export<void>("set_RTC_time", "20131206153000");
    EXPECT_EQ(hex(sent()), hex(host_frame(kCmdSetTime, {0x00, 0x30, 0xD5, 0x00, 0x06, 0x12, 0x13, 0x80})));

    settle();
    box.kernel().call_export<void>("set_RTC_time", "19991231235959");
    EXPECT_EQ(hex(sent()), hex(host_frame(kCmdSetTime, {0x59, 0x59, 0x23, 0x00, 0x31, 0x12, 0x99, 0x80})));
    EXPECT_EQ(box.micom().time().year, 1999);

    // the export wants exactly 14 characters
    settle();
    box.kernel().call_export<void>("set_RTC_time", "2013120615300");
    box.kernel().call_export<void>("set_RTC_time", "20131206153000+1");
    box.kernel().call_export<void>("set_RTC_time", "");
    box.kernel().call_export<void>("set_RTC_time", static_cast<const char*>(nullptr));
    EXPECT_TRUE(sent().empty()) << hex(sent());
}

TEST_F(Clock, GetRtcTimeReadsTheMicomClockAndSetsTheKernelClock) {
    box.micom().set_time(micom::DateTime{2024, 2, 29, 23, 59, 50});
    const Nanos t0 = box.machine().now();
    const unsigned long got = box.kernel().call_export<unsigned long>("get_RTC_time");
    EXPECT_EQ(int64_t(got), epoch_of(2024, 2, 29, 23, 59, 50));
    EXPECT_LT(box.machine().now() - t0, 20_ms);  // the answer ends the wait
    EXPECT_EQ(hex(host_bytes(box.soc().primary())).substr(0, 17), hex(host_frame(0xD, {0x0D, 0x0D})));
    // the kernel clock is the answer plus half a second
    EXPECT_GE(box.kernel().wall_ns(), int64_t(got) * 1'000'000'000 + 500'000'000);
    EXPECT_LT(box.kernel().wall_ns(), int64_t(got) * 1'000'000'000 + 600'000'000);
}

TEST_F(Clock, GetRtcTimeWithASilentMicomWaits200TicksAndReturnsTheLastAnswer) {
    const unsigned long first = box.kernel().call_export<unsigned long>("get_RTC_time");
    EXPECT_EQ(int64_t(first), epoch_of(2012, 3, 4, 5, 6, 7));
    box.micom().set_silent(true);
    box.machine().run_for(30_s);  // the micom's clock runs on; the driver does not learn it
    const Nanos t0 = box.machine().now();
    const unsigned long again = box.kernel().call_export<unsigned long>("get_RTC_time");
    const Nanos waited = box.machine().now() - t0;
    EXPECT_EQ(again, first);
    EXPECT_GE(waited, 199 * 10_ms);
    EXPECT_LE(waited, 201 * 10_ms);
    EXPECT_EQ(priv(box)->time_ready, 0);
}

// No time answer since the start: no time to give, 0 (not a date made of zero fields).
TEST(ClockSilent, GetRtcTimeWithoutAnyAnswerSinceTheStartReturnsZero) {
    Box box;
    box.micom().set_silent(true);
    ASSERT_EQ(box.boot(), 0);
    const Nanos t0 = box.machine().now();
    const unsigned long got = box.kernel().call_export<unsigned long>("get_RTC_time");
    EXPECT_GE(box.machine().now() - t0, 199 * 10_ms);
    EXPECT_EQ(got, 0ul);
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST_F(Clock, BootInformationWithoutWakeUpGivesZeroTimeAndClearKeepsTheTime) {
    // a plain switch-on: status 0, no wake-up time
    EXPECT_EQ(priv(box)->bootinfo_ready, 1);
    EXPECT_EQ(box.kernel().call_export<int>("get_ALARM_status"), 0);
    EXPECT_EQ(box.kernel().call_export<unsigned long>("get_ALARM_time"), 0ul);

    // a status that says "woken": clearing it leaves the time
    priv(box)->alarm_status = 1;
    priv(box)->alarm_time = 1386343800;
    EXPECT_EQ(box.kernel().call_export<int>("get_ALARM_status"), 1);
    box.kernel().call_export<void>("clear_ALARM_status");
    EXPECT_EQ(box.kernel().call_export<int>("get_ALARM_status"), 0);
    EXPECT_EQ(box.kernel().call_export<unsigned long>("get_ALARM_time"), 1386343800ul);
}

TEST_F(Clock, SetAlarmTimeStoresThePayloadAndSendsNothing) {
    size_t from = box.kernel().log().lines().size();
    box.kernel().call_export<void>("set_ALARM_time", "20131206153000");
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(priv(box)->alarm_pending, 1);
    EXPECT_EQ(hex(std::vector<uint8_t>(priv(box)->alarm_cmd, priv(box)->alarm_cmd + 9)),
              "0C 01 00 30 D5 00 06 12 13");
    EXPECT_EQ(log_messages(box, from), std::vector<std::string>{"ALARM WAKE UP TIME 20131206153000"});

    // a later call replaces it; longer strings use their first 14 characters
    box.kernel().call_export<void>("set_ALARM_time", "19991231235959xyz");
    EXPECT_EQ(hex(std::vector<uint8_t>(priv(box)->alarm_cmd, priv(box)->alarm_cmd + 9)),
              "0C 01 59 59 23 00 31 12 99");
}

TEST_F(Clock, SetAlarmTimeIgnoresATooShortStringOrNoneAndKeepsTheStoredTime) {
    box.kernel().call_export<void>("set_ALARM_time", "20131206153000");
    const std::vector<uint8_t> stored(priv(box)->alarm_cmd, priv(box)->alarm_cmd + 9);
    size_t from = box.kernel().log().lines().size();
    box.kernel().call_export<void>("set_ALARM_time", "2014");
    auto msgs = log_messages(box, from);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], "ALARM WAKE UP TIME 2014");
    EXPECT_EQ(std::vector<uint8_t>(priv(box)->alarm_cmd, priv(box)->alarm_cmd + 9), stored);
    EXPECT_EQ(priv(box)->alarm_pending, 1);

    // nor does a null pointer from another module
    from = box.kernel().log().lines().size();
    box.kernel().call_export<void>("set_ALARM_time", static_cast<const char*>(nullptr));
    EXPECT_EQ(log_messages(box, from).at(0), "ALARM WAKE UP TIME (null)");
    EXPECT_EQ(std::vector<uint8_t>(priv(box)->alarm_cmd, priv(box)->alarm_cmd + 9), stored);

    // on a fresh load nothing is stored by a short string
    ASSERT_EQ(box.kernel().unload_module(), 0);
    ASSERT_EQ(box.boot(), 0);
    box.kernel().call_export<void>("set_ALARM_time", "");
    EXPECT_EQ(priv(box)->alarm_pending, 0);
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST_F(Clock, PowerKeyPressesFlipThePowerStatusButItsRepeatsDoNot) {
    EXPECT_EQ(box.kernel().call_export<int>("get_power_status"), 0);
    box.micom().press_key(0x01, 50_ms);  // KEY_POWER in the default table
    box.machine().run_for(200_ms);
    EXPECT_EQ(box.kernel().call_export<int>("get_power_status"), 1);
    box.micom().press_key(0x01, 600_ms);  // held: a press and several repeats
    box.machine().run_for(800_ms);
    EXPECT_EQ(box.kernel().call_export<int>("get_power_status"), 0);
    box.micom().press_front_power();  // the front panel's own power frame
    box.machine().run_for(50_ms);
    EXPECT_EQ(box.kernel().call_export<int>("get_power_status"), 0);
}
