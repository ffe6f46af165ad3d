// SPDX-License-Identifier: MIT
// The /proc write handlers, with texts of any length and content and user
// copies that fail, the exported functions that take digit strings from
// other modules, and the RTC device: its ioctls with times of any value and
// the writes of its sysfs files.  Writes that reboot the box or put it into
// deep standby are followed by the box's new start.
//
// Input: a list of operations: a selector byte, a byte that may make user
// copies fail, a length, then the text.
#include <linux/rtc.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "fuzz_box.h"

using namespace fuzz;

namespace {

struct Entry {
    const char* name;
    bool takes_text;  ///< copies the text (else a command entry that ignores it)
};

constexpr Entry kWritable[] = {
    {"settime", true},      {"led", true},     {"startrescue", false}, {"vfd", false},
    {"deepstandby", false}, {"vfdclock", false}, {"reboot", false},    {"enableisp", false},
};
constexpr const char* kReadable[] = {"led", "model"};
constexpr const char* kDigitExports[] = {"set_RTC_time", "set_ALARM_time", "set_LED"};

/// The box has its module loaded again after a reboot or a deep standby.
void back_on(FreshBox& fb) {
    sim::Box& box = fb.box();
    box.machine().run_for(5_ms);
    if (!box.kernel().module_loaded())
        box.machine().run_for(3_s);  // the micom switches the box on again, or not
    if (!box.kernel().module_loaded() && !box.powered()) {
        box.kernel().clear_faults();
        if (int r = box.boot(); r != 0)
            fail("the box did not start again: %d", r);
    }
    if (!box.kernel().module_loaded())
        fail("the module is not loaded after %s", box.powered() ? "the box came back" : "boot");
    fb.input().evbit.set(sim::kEvSyn);
}

/// One write(), from an exact-size buffer so that ASan sees any read past it.
long write_entry(sim::Box& box, const char* name, const std::string& text) {
    long ret = 0;
    box.kernel().run_process("echo", [&] {
        long fd = box.kernel().sys_open(std::string("/proc/") + name);
        if (fd < 0) {
            ret = fd;
            return 0;
        }
        UserBuffer buf(text.size());
        std::memcpy(buf.get(), text.data(), text.size());
        ret = box.kernel().sys_write(fd, buf.get(), text.size());
        box.kernel().sys_close(fd);
        return 0;
    });
    return ret;
}

constexpr const char* kRtcFiles[] = {"wakealarm", "date", "time", "since_epoch", "name"};

/// A struct rtc_time of the input's bytes: any value in every field.
rtc_time fuzzed_time(const std::string& text) {
    rtc_time tm{};
    std::memcpy(&tm, text.data(), std::min(text.size(), sizeof tm));
    return tm;
}

bool one_of(long ret, std::initializer_list<long> allowed) {
    for (long a : allowed)
        if (ret == a)
            return true;
    return false;
}

/// One operation on the RTC device, checked against what the class and the
/// driver may answer.
void rtc_op(sim::Box& box, uint8_t sel, uint8_t fault, int copy_fail, const std::string& text) {
    const unsigned op = sel & 7;
    if (op >= 5) {  // its sysfs files: a write of the text, or a read
        const char* file = kRtcFiles[((fault >> 2) & 7) % 5];
        const std::string path = std::string("/sys/class/rtc/rtc0/") + file;
        const long ret = op == 5 ? box.kernel().file_write(path, text) : box.kernel().file_read(path).ret;
        if (ret < 0 && !one_of(ret, {-EINVAL, -EBUSY, -EIO, -ETIME, -ERANGE, -EFAULT, -EACCES, -EPERM}))
            fail("%s of %s returned %ld", op == 5 ? "write" : "read", path.c_str(), ret);
        return;
    }
    long ret = 0;
    box.kernel().run_process("rtc", [&] {
        const long fd = box.kernel().sys_open("/dev/rtc0");
        if (fd < 0) {
            ret = fd;
            return 0;
        }
        rtc_time tm = fuzzed_time(text);
        rtc_wkalrm alarm{};
        alarm.enabled = text.empty() ? 1 : uint8_t(text.back() & 1);
        alarm.time = tm;
        const unsigned long arg = (fault & 0x20) ? 0 : reinterpret_cast<unsigned long>(op >= 2 ? (void*)&alarm : (void*)&tm);
        static constexpr unsigned kCmds[] = {RTC_RD_TIME, RTC_SET_TIME, RTC_WKALM_SET, RTC_WKALM_RD};
        ret = op < 4 ? box.kernel().sys_ioctl(fd, kCmds[op], arg) : box.kernel().sys_ioctl(fd, (fault & 0x40) ? RTC_AIE_ON : RTC_AIE_OFF, 0);
        if (op == 4 && box.kernel().sys_ioctl(fd, RTC_UIE_ON, 0) != -EINVAL)
            fail("RTC_UIE_ON was not refused: the device has no update interrupts");
        box.kernel().sys_close(fd);
        return 0;
    });
    if (ret < 0 && !one_of(ret, {-EINVAL, -EIO, -ERANGE, -ETIME, -EFAULT}))
        fail("RTC ioctl %u returned %ld", op, ret);
    if (op < 4 && ((fault & 0x20) || copy_fail) && ret == 0)
        fail("RTC ioctl %u succeeded without a buffer it could copy", op);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return -1;
    Input in(data, size);
    FreshBox fb;
    sim::Box& box = fb.box();

    for (int ops = 0; !in.empty() && ops < 24; ++ops) {
        const uint8_t sel = in.byte();
        const uint8_t fault = in.byte();
        const int copy_fail = (fault & 0x80) ? (fault & 3) : 0;
        const size_t len = (sel & 0x80) ? size_t(in.u16() % 300) : size_t(in.byte() % 32);
        const std::string text = in.take(len);

        box.kernel().faults.user_copy_fail = copy_fail;
        switch ((sel >> 4) & 7) {
        default: {  // a write to a /proc entry
            const Entry& e = kWritable[sel % (sizeof kWritable / sizeof kWritable[0])];
            const long ret = write_entry(box, e.name, text);
            long expect = long(text.size());
            if (e.takes_text && (text.size() > 128 || (copy_fail && !text.empty())))
                expect = -14;
            if (ret != expect)
                fail("write of %zu bytes to /proc/%s (%d copies failing) returned %ld, not %ld",
                     text.size(), e.name, copy_fail, ret, expect);
            break;
        }
        case 5: {  // a read of a /proc entry
            const char* name = kReadable[sel & 1];
            sim::SysResult r = box.kernel().proc_read(name, (sel & 2) ? 1 : 4096);
            if (r.ret < 0 && !(copy_fail && r.ret == -14))
                fail("read of /proc/%s returned %ld", name, r.ret);
            break;
        }
        case 6: {  // another module calls an exported function with a digit string
            const char* fn = kDigitExports[sel % 3];
            UserBuffer s(text.size() + 1);
            std::memcpy(s.get(), text.c_str(), text.size() + 1);
            box.kernel().call_export<void>(fn, static_cast<const char*>(s.chars()));
            break;
        }
        case 7:  // the RTC device: an ioctl, or a sysfs file
            rtc_op(box, sel, fault, copy_fail, text);
            box.kernel().settle_work();
            break;
        }
        box.kernel().faults.user_copy_fail = 0;
        back_on(fb);
        check_box(box);
    }
    box.machine().run_for(50_ms);

    check_box(box);
    // A sender holds the driver lock for one whole frame (at most 3 bytes of
    // head, 32 of payload and the checksum); the parser drains what comes.
    const Nanos frame_bound = 36 * fb.char_time() + 1_ms;
    check_irqs_off(box, std::max(frame_bound, sim::checks::parser_irqs_off_bound(box.soc().primary(), fb.char_time())),
                   "one frame sent under the lock, or the micom's back-to-back bytes");
    return 0;
}
