// SPDX-License-Identifier: MIT
// The RTC class's rules around the driver's device that a script does not
// show well: what the registration asks of the micom, /dev/micom making
// every operation busy without a frame, the start's unwinding when a
// registration fails, and the files of a device that goes.
#include <gtest/gtest.h>
#include <linux/rtc.h>

#include "box/box.h"
#include "sim_helpers.h"
#include "userland/hwclock.h"

namespace {

using sim::Box;
using namespace simtest;

size_t host_frames(Box& box) { return host_bytes(box.soc().primary()).size(); }

/// A box whose micom's clock reads 2026-12-07 21:30:00, booted.
void boot_at_2026(Box& box) {
    box.micom().set_time(micom::DateTime{2026, 12, 7, 21, 30, 0});
    ASSERT_EQ(box.boot(), 0);
}

TEST(RtcClass, RegistrationReadsAskTheMicomNothingAndTakeNoAlarm) {
    Box box;
    ASSERT_EQ(box.boot(), 0);
    box.machine().run_for(50'000'000);
    // the start's own two requests (boot information, time) and nothing more
    EXPECT_EQ(hex(host_bytes(box.soc().primary())), "AA 20 A2 0A 0A 82 AA 20 D2 0D 0D F2");
    ASSERT_EQ(box.kernel().rtc().registered().size(), 1u);
    EXPECT_FALSE(box.kernel().rtc().registered()[0]->aie_enabled);
    EXPECT_EQ(box.kernel().file_read("/sys/class/rtc/rtc0/wakealarm").ret, 0);  // no alarm: an empty file
}

TEST(RtcClass, OpenMicomDeviceMakesEveryOperationBusyWithNothingSent) {
    Box box;
    boot_at_2026(box);
    box.machine().run_for(50'000'000);
    const size_t before = host_frames(box);
    std::string err;
    size_t sent = 0;
    box.kernel().run_process("user", [&] {
        const long micom = box.kernel().sys_open("/dev/micom");
        const long rtc = box.kernel().sys_open("/dev/rtc0");
        EXPECT_GE(micom, 0);
        rtc_time tm{};
        EXPECT_EQ(box.kernel().sys_ioctl(rtc, RTC_RD_TIME, reinterpret_cast<unsigned long>(&tm)), -EBUSY);
        tm = {0, 0, 12, 1, 0, 126, 0, 0, 0};
        EXPECT_EQ(box.kernel().sys_ioctl(rtc, RTC_SET_TIME, reinterpret_cast<unsigned long>(&tm)), -EBUSY);
        EXPECT_EQ(box.kernel().sys_ioctl(rtc, RTC_UIE_ON, 0), -EINVAL);  // the class's own refusal
        box.kernel().sys_close(rtc);
        const long wake = box.kernel().sys_open("/sys/class/rtc/rtc0/wakealarm");
        EXPECT_EQ(box.kernel().sys_write(wake, "+60\n", 4), -EBUSY);
        box.kernel().sys_close(wake);
        // hwclock's own words for it
        sim::userland::BoxFiles files;
        sim::userland::BoxProgram p(box, files, "hwclock");
        EXPECT_EQ(sim::userland::hwclock_main(p, {"-r"}), 1);
        err = p.err;
        sent = host_frames(box);
        box.kernel().sys_close(micom);
        return 0;
    });
    box.kernel().settle_work();
    EXPECT_EQ(err, "hwclock: ioctl(RTC_RD_TIME) to /dev/rtc0 to read the time failed: Device or resource busy\n");
    EXPECT_EQ(sent, before);  // not one frame went out while /dev/micom was open
    // /dev/micom closed: the next read asks the micom and answers
    sim::SysResult r = box.kernel().file_read("/sys/class/rtc/rtc0/date");
    EXPECT_EQ(r.data, "2026-12-07\n");
    EXPECT_GT(host_frames(box), before);
}

class RtcStartFault : public ::testing::TestWithParam<bool> {};

TEST_P(RtcStartFault, FailedRegistrationUnwindsTheStartAndALaterBootWorks) {
    Box box;
    (GetParam() ? box.kernel().faults.device_register_fail : box.kernel().faults.rtc_register_fail) = true;
    EXPECT_EQ(box.boot(), -ENOMEM);
    EXPECT_FALSE(box.kernel().module_loaded());
    EXPECT_TRUE(box.kernel().bugs().empty()) << box.kernel().bugs()[0];  // nothing was left registered
    EXPECT_TRUE(box.kernel().leftovers().empty());
    EXPECT_LT(box.kernel().file_read("/dev/rtc0").ret, 0);
    box.kernel().clear_faults();
    ASSERT_EQ(box.boot(), 0);
    EXPECT_EQ(box.kernel().file_read("/sys/class/rtc/rtc0/name").data, "frontpanel\n");
    EXPECT_EQ(box.kernel().unload_module(), 0);
    EXPECT_TRUE(box.kernel().bugs().empty());
}

INSTANTIATE_TEST_SUITE_P(DeviceOrRtc, RtcStartFault, ::testing::Bool());

TEST(RtcClass, OpenRtcHoldsTheModuleAndAGoneDeviceGivesNoDevice) {
    Box box;
    ASSERT_EQ(box.boot(), 0);
    long fd = -1;
    box.kernel().run_process("open", [&] { return int(fd = box.kernel().sys_open("/dev/rtc0")); });
    ASSERT_GE(fd, 0);
    EXPECT_EQ(box.kernel().unload_module(), -EBUSY);  // the open file holds the driver, as on 3.9
    // the device unregistered under an open file (as the start's unwinding
    // would): its operations give -ENODEV and none reaches the driver
    sim::RtcDevice* rtc = const_cast<sim::RtcDevice*>(box.kernel().rtc().registered().at(0));
    const size_t before = host_frames(box);
    box.kernel().run_process("stop", [&] {
        kp_rtc_unregister(reinterpret_cast<kp_rtc_device*>(rtc));
        rtc_time tm{};
        EXPECT_EQ(box.kernel().sys_ioctl(fd, RTC_RD_TIME, reinterpret_cast<unsigned long>(&tm)), -ENODEV);
        rtc_wkalrm alarm{};
        EXPECT_EQ(box.kernel().sys_ioctl(fd, RTC_WKALM_RD, reinterpret_cast<unsigned long>(&alarm)), -ENODEV);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, RTC_AIE_ON, 0), -ENODEV);
        EXPECT_EQ(box.kernel().sys_close(fd), 0);
        EXPECT_EQ(box.kernel().sys_open("/dev/rtc0"), -ENOENT);
        kp_rtc_unregister(reinterpret_cast<kp_rtc_device*>(rtc));  // twice: a bug
        return 0;
    });
    EXPECT_EQ(host_frames(box), before);
    ASSERT_EQ(box.kernel().bugs().size(), 1u);
    EXPECT_NE(box.kernel().bugs()[0].find("not registered"), std::string::npos);
}

TEST(RtcClass, AlarmNotInTheFutureExpiresAndIsWithdrawn) {
    Box box;
    boot_at_2026(box);
    // an alarm a minute ago: set_alarm succeeds, the work expires it at once
    EXPECT_EQ(box.kernel().file_write("/sys/class/rtc/rtc0/wakealarm", "+120\n"), 5);
    box.kernel().settle_work();
    EXPECT_EQ(box.kernel().file_read("/sys/class/rtc/rtc0/wakealarm").data, "1796679120\n");
    long r = 0;
    box.kernel().run_process("set", [&] {
        const long fd = box.kernel().sys_open("/dev/rtc0");
        rtc_wkalrm past{1, 0, {0, 29, 21, 7, 11, 126, 0, 0, 0}};
        r = box.kernel().sys_ioctl(fd, RTC_WKALM_SET, reinterpret_cast<unsigned long>(&past));
        box.kernel().sys_close(fd);
        return 0;
    });
    box.kernel().settle_work();
    EXPECT_EQ(r, 0);
    EXPECT_EQ(box.kernel().file_read("/sys/class/rtc/rtc0/wakealarm").ret, 0);  // expired: disabled
    box.kernel().poweroff();
    box.machine().run_for(10'000'000);
    EXPECT_FALSE(box.micom().wake_up_stored());  // plain deep standby
}

TEST(RtcClass, ASilentMicomOrAYearPast2099IsAnErrorAndNothingStaleOrUnsentIsTaken) {
    Box box;
    boot_at_2026(box);
    long silent_read = 0, past_2099 = 0, good = 0;
    size_t before = 0, after_refusal = 0;
    box.kernel().run_process("hwclock", [&] {
        const long fd = box.kernel().sys_open("/dev/rtc0");
        rtc_time tm{};
        box.micom().set_silent(true);  // no time answer: no time, not the last one
        silent_read = box.kernel().sys_ioctl(fd, RTC_RD_TIME, reinterpret_cast<unsigned long>(&tm));
        box.micom().set_silent(false);
        before = host_frames(box);
        rtc_time y2100{0, 0, 12, 1, 0, 200, 0, 0, 0};  // 2100-01-01: the record ends with 2099
        past_2099 = box.kernel().sys_ioctl(fd, RTC_SET_TIME, reinterpret_cast<unsigned long>(&y2100));
        after_refusal = host_frames(box);
        rtc_time y2030{0, 0, 12, 1, 0, 130, 0, 0, 0};
        good = box.kernel().sys_ioctl(fd, RTC_SET_TIME, reinterpret_cast<unsigned long>(&y2030));
        box.kernel().sys_close(fd);
        return 0;
    });
    box.kernel().settle_work();
    EXPECT_EQ(silent_read, -EIO);
    EXPECT_EQ(past_2099, -ERANGE);
    EXPECT_EQ(after_refusal, before);  // nothing sent for it
    EXPECT_EQ(good, 0);
    EXPECT_EQ(box.kernel().file_read("/sys/class/rtc/rtc0/date").data, "2030-01-01\n");  // the micom took it
}

}  // namespace
