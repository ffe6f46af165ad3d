// SPDX-License-Identifier: MIT
#include "simkernel/rtc_class.h"

#include <linux/rtc.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "simkernel/rtc_lib.h"

namespace sim {

static_assert(sizeof(struct rtc_time) == sizeof(kp_rtc_time), "kp_rtc_time is struct rtc_time");
static_assert(sizeof(struct rtc_wkalrm) == sizeof(kp_rtc_wkalrm), "kp_rtc_wkalrm is struct rtc_wkalrm");

namespace {

constexpr const char* kDevPrefix = "/dev/rtc";
constexpr const char* kSysPrefix = "/sys/class/rtc/rtc";
constexpr int kMaxFreq = 8192;  // RTC_MAX_FREQ

/// "/dev/rtc12" -> 12, "/sys/class/rtc/rtc0/date" -> 0 and "date"; -1 when no such form.
int parse_path(const std::string& path, std::string* attr) {
    const bool dev = path.rfind(kDevPrefix, 0) == 0;
    const bool sys = path.rfind(kSysPrefix, 0) == 0;
    if (!dev && !sys)
        return -1;
    size_t at = std::strlen(dev ? kDevPrefix : kSysPrefix), digits = at;
    while (digits < path.size() && digits - at < 3 && path[digits] >= '0' && path[digits] <= '9')
        ++digits;
    if (digits == at || (path[at] == '0' && digits > at + 1))
        return -1;
    const int id = std::stoi(path.substr(at, digits - at));
    if (dev) {
        attr->clear();
        return digits == path.size() ? id : -1;
    }
    if (digits == path.size() || path[digits] != '/' || digits + 1 == path.size())
        return -1;
    *attr = path.substr(digits + 1);
    return id;
}

/// The kernel's simple_strtoul(@s, NULL, 0) on the box: base from the
/// prefix (0x hex, 0 octal), digits up to the first other byte, the value
/// wrapped to an unsigned long.
rtc::BoxULong simple_strtoul(const char* s) {
    unsigned base = 10;
    if (s[0] == '0') {
        const bool hex = (s[1] == 'x' || s[1] == 'X') && std::isxdigit(static_cast<unsigned char>(s[2]));
        base = hex ? 16 : 8;
        if (hex)
            s += 2;
    }
    uint64_t v = 0;
    for (;; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        unsigned d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 99;
        if (d >= base)
            break;
        v = v * base + d;
    }
    return rtc::BoxULong(v);
}

bool same_minute(const kp_rtc_time& a, const kp_rtc_time& b) {
    // (tm_sec is a "don't care" here, as in the kernel)
    return a.tm_min == b.tm_min && a.tm_hour == b.tm_hour && a.tm_mon == b.tm_mon && a.tm_year == b.tm_year;
}

std::string text(const char* fmt, auto... args) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

}  // namespace

RtcClass::~RtcClass() { reset(); }

RtcDevice* RtcClass::find(uint64_t serial) const {
    for (auto& d : devices_)
        if (d->serial == serial)
            return d.get();
    return nullptr;
}

RtcDevice* RtcClass::find_id(int id) const {
    for (auto& d : devices_)
        if (d->registered && d->id == id)
            return d.get();
    return nullptr;
}

std::vector<const RtcDevice*> RtcClass::registered() const {
    std::vector<const RtcDevice*> v;
    for (auto& d : devices_)
        if (d->registered)
            v.push_back(d.get());
    return v;
}

const RtcDevice* RtcClass::first_registered() const {
    for (auto& d : devices_)
        if (d->registered)
            return d.get();
    return nullptr;
}

bool RtcClass::is_registered(const RtcDevice* rtc) const {
    for (auto& d : devices_)
        if (d.get() == rtc)
            return d->registered;
    return false;
}

void RtcClass::reset() {
    for (auto& d : devices_)
        if (d->pie_event)
            m_.events().cancel(d->pie_event);
    devices_.clear();
    module_refs_ = 0;
    work_tasks_ = 0;  // a work still queued finds its device gone and does nothing
}

// ------------------------------------------------------------- ops_lock

int RtcClass::lock(RtcDevice& rtc, bool interruptible) {
    Task* me = m_.current();
    if (m_.in_irq() || !m_.irqs_enabled()) {
        bug_("sleeping function called from invalid context: mutex_lock (rtc ops_lock)");
        return -EINVAL;
    }
    while (rtc.lock_owner) {
        if (rtc.lock_owner == me) {
            bug_("possible recursive locking detected: rtc ops_lock held by " + me->name);
            return -EDEADLK;
        }
        rtc.lock_waiters.push_back(me);
        m_.sleep(interruptible);
        rtc.lock_waiters.erase(std::find(rtc.lock_waiters.begin(), rtc.lock_waiters.end(), me));
        if (interruptible && me->signal && rtc.lock_owner)
            return -EINTR;
    }
    rtc.lock_owner = me;
    return 0;
}

void RtcClass::unlock(RtcDevice& rtc) {
    rtc.lock_owner = nullptr;
    if (!rtc.lock_waiters.empty())
        m_.wake(rtc.lock_waiters.front());
}

// ------------------------------------------------------------ registration

int RtcClass::register_device(Device* parent, const kp_rtc_desc* desc, RtcDevice** out) {
    if (fail_register)
        return -ENOMEM;  // as kzalloc failing: nothing was asked of the device
    int id = 0;
    while (find_id(id))
        ++id;
    auto dev = std::make_unique<RtcDevice>();
    RtcDevice& rtc = *dev;
    rtc.id = id;
    rtc.name = desc->name ? desc->name : "";
    rtc.ops = desc->ops;
    rtc.parent = parent;
    rtc.serial = next_serial_++;
    devices_.push_back(std::move(dev));

    // whether an alarm is set already: what 3.9's rtc_device_register asks
    // before the device has a name or files
    kp_rtc_wkalrm alarm{};
    if (read_alarm_at_registration(rtc, &alarm) == 0 && rtc::valid_tm(alarm.time) == 0)
        initialize_alarm(rtc, alarm);

    // (the kernel logs "rtc core: registered NAME as rtc0" at KERN_INFO;
    // the simulated kernel does not, so that logs of boots stay as they were)
    rtc.registered = true;
    rtc.wakealarm_file = parent && parent->wakeup_capable && rtc.ops && rtc.ops->set_alarm;
    // The platform interface's devices have no update interrupts: 3.9's
    // drivers set rtc->uie_unsupported after registering (5.16 on: they
    // clear RTC_FEATURE_UPDATE_INTERRUPT before).
    rtc.uie_unsupported = true;
    *out = &rtc;
    return 0;
}

void RtcClass::unregister(RtcDevice* rtc) {
    if (!is_registered(rtc)) {
        bug_("rtc_device_unregister of an RTC device that is not registered");
        return;
    }
    // it waits for whatever operation runs: none runs after this returns
    lock(*rtc, false);
    rtc->registered = false;  // its files go; open ones get -ENODEV
    rtc->ops = nullptr;
    unlock(*rtc);
}

// ----------------------------------------------------------- interface.c

int RtcClass::read_time_locked(RtcDevice& rtc, kp_rtc_time* tm) {
    if (!rtc.ops)
        return -ENODEV;
    if (!rtc.ops->read_time)
        return -EINVAL;
    *tm = {};
    return rtc.ops->read_time(tm);
}

int RtcClass::read_time(RtcDevice& rtc, kp_rtc_time* tm) {
    if (int err = lock(rtc))
        return err;
    const int err = read_time_locked(rtc, tm);
    unlock(rtc);
    return err;
}

int RtcClass::set_time(RtcDevice& rtc, const kp_rtc_time& tm) {
    if (int err = rtc::valid_tm(tm))
        return err;
    if (int err = lock(rtc))
        return err;
    int err = -EINVAL;
    kp_rtc_time copy = tm;
    if (!rtc.ops)
        err = -ENODEV;
    else if (rtc.ops->set_time)
        err = rtc.ops->set_time(&copy);
    unlock(rtc);
    schedule_work(rtc);  // a timer might have just expired (whatever set_time returned)
    return err;
}

// rtc_read_alarm_internal (@device: what the device holds) and
// rtc_read_alarm (the aie_timer's alarm: nothing is asked of the device)
int RtcClass::read_alarm_from(RtcDevice& rtc, kp_rtc_wkalrm* alarm, bool device) {
    if (int err = lock(rtc))
        return err;
    int err = 0;
    if (!rtc.ops) {
        err = -ENODEV;
    } else if (!rtc.ops->read_alarm) {
        err = -EINVAL;
    } else {
        *alarm = {};
        if (device) {
            err = rtc.ops->read_alarm(alarm);
        } else {
            alarm->enabled = rtc.aie_enabled;
            alarm->time = rtc::ktime_to_tm(rtc.aie_expires);
        }
    }
    unlock(rtc);
    return err;
}

// __rtc_read_alarm: the device's alarm, with fields it leaves at -1 taken
// from the clock read around it, and rolled over into the future.
int RtcClass::read_alarm_at_registration(RtcDevice& rtc, kp_rtc_wkalrm* alarm) {
    kp_rtc_time before{}, now{};
    if (int err = read_time(rtc, &before); err < 0)
        return err;
    for (bool first = true;; first = false) {
        if (!first)
            before = now;
        if (int err = read_alarm_from(rtc, alarm, true))
            return err;
        if (rtc::valid_tm(alarm->time) == 0)
            return 0;  // a complete alarm: nothing to fill in
        if (int err = read_time(rtc, &now); err < 0)
            return err;
        if (same_minute(before, now))
            break;
    }
    enum { none, day, month, year } missing = none;
    kp_rtc_time& t = alarm->time;
    if (t.tm_sec == -1)
        t.tm_sec = now.tm_sec;
    if (t.tm_min == -1)
        t.tm_min = now.tm_min;
    if (t.tm_hour == -1)
        t.tm_hour = now.tm_hour;
    if (t.tm_mday < 1 || t.tm_mday > 31) {
        t.tm_mday = now.tm_mday;
        missing = day;
    }
    if (unsigned(t.tm_mon) >= 12) {
        t.tm_mon = now.tm_mon;
        if (missing == none)
            missing = month;
    }
    if (t.tm_year == -1) {
        t.tm_year = now.tm_year;
        if (missing == none)
            missing = year;
    }
    if (rtc::tm_to_time(now) < rtc::tm_to_time(t))
        return 0;
    switch (missing) {
    case day:
        t = rtc::time_to_tm(rtc::tm_to_time(t) + 24 * 60 * 60);
        break;
    case month:
        do {
            if (t.tm_mon < 11) {
                t.tm_mon++;
            } else {
                t.tm_mon = 0;
                t.tm_year++;
            }
        } while (rtc::month_days(unsigned(t.tm_mon), unsigned(t.tm_year + 1900)) < t.tm_mday);
        break;
    case year:
        do
            t.tm_year++;
        while (rtc::valid_tm(t) != 0);
        break;
    case none:
        break;  // (the kernel warns "alarm rollover not handled")
    }
    return 0;
}

// rtc_initialize_alarm: the alarm the device holds becomes the aie_timer's,
// queued when enabled and in the future; the device is not asked to set it.
void RtcClass::initialize_alarm(RtcDevice& rtc, const kp_rtc_wkalrm& alarm) {
    kp_rtc_time now{};
    if (rtc::valid_tm(alarm.time) != 0 || read_time(rtc, &now) != 0 || lock(rtc) != 0)
        return;
    rtc.aie_expires = rtc::tm_to_ktime(alarm.time);
    if (alarm.enabled && rtc::tm_to_ktime(now) < rtc.aie_expires)
        rtc.aie_enabled = true;
    unlock(rtc);
}

int RtcClass::read_alarm(RtcDevice& rtc, kp_rtc_wkalrm* alarm) { return read_alarm_from(rtc, alarm, false); }

// __rtc_set_alarm: the device is given only an alarm in the future (else
// -ETIME, which the callers turn into the work that expires the timer).
int RtcClass::set_alarm_locked(RtcDevice& rtc, const kp_rtc_wkalrm& alarm) {
    if (int err = rtc::valid_tm(alarm.time))
        return err;
    const int32_t scheduled = int32_t(rtc::tm_to_time(alarm.time));
    kp_rtc_time tm{};
    read_time_locked(rtc, &tm);  // (its error is not looked at: a failed read leaves the fields 0)
    if (scheduled <= int32_t(rtc::tm_to_time(tm)))
        return -ETIME;
    if (!rtc.ops)
        return -ENODEV;
    if (!rtc.ops->set_alarm)
        return -EINVAL;
    kp_rtc_wkalrm copy = alarm;
    return rtc.ops->set_alarm(&copy);
}

int RtcClass::set_alarm(RtcDevice& rtc, const kp_rtc_wkalrm& alarm) {
    if (int err = rtc::valid_tm(alarm.time))
        return err;
    if (int err = lock(rtc))
        return err;
    if (rtc.aie_enabled)
        timer_remove(rtc);
    rtc.aie_expires = rtc::tm_to_ktime(alarm.time);
    int err = 0;
    if (alarm.enabled)
        err = timer_enqueue(rtc);
    unlock(rtc);
    return err;
}

int RtcClass::alarm_irq_enable(RtcDevice& rtc, unsigned enabled) {
    if (int err = lock(rtc))
        return err;
    int err = 0;
    if (rtc.aie_enabled != (enabled != 0)) {
        if (enabled)
            err = timer_enqueue(rtc);
        else
            timer_remove(rtc);
    }
    if (err)
        ;  // the enqueue's error
    else if (!rtc.ops)
        err = -ENODEV;
    else if (!rtc.ops->alarm_irq_enable)
        err = -EINVAL;
    else
        err = rtc.ops->alarm_irq_enable(enabled);
    unlock(rtc);
    return err;
}

int RtcClass::update_irq_enable(RtcDevice& rtc, unsigned enabled) {
    if (int err = lock(rtc))
        return err;
    // without CONFIG_RTC_INTF_DEV_UIE_EMUL nothing emulates them
    const int err = rtc.uie_enabled == (enabled != 0) ? 0 : rtc.uie_unsupported ? -EINVAL : 0;
    unlock(rtc);
    return err;
}

// The aie_timer is the whole queue: enqueued, it is the next timer, and the
// device is given its time.
int RtcClass::timer_enqueue(RtcDevice& rtc) {
    rtc.aie_enabled = true;
    kp_rtc_wkalrm alarm{};
    alarm.time = rtc::ktime_to_tm(rtc.aie_expires);
    alarm.enabled = 1;
    const int err = set_alarm_locked(rtc, alarm);
    if (err == -ETIME) {
        schedule_work(rtc);  // it expires at once: set_alarm still succeeds
    } else if (err) {
        rtc.aie_enabled = false;
        return err;
    }
    return 0;
}

void RtcClass::timer_remove(RtcDevice& rtc) {
    const bool was_next = rtc.aie_enabled;
    rtc.aie_enabled = false;
    if (was_next)
        alarm_disable(rtc);  // no timer is left
}

void RtcClass::alarm_disable(RtcDevice& rtc) {
    if (rtc.ops && rtc.ops->alarm_irq_enable)
        rtc.ops->alarm_irq_enable(0);
}

// irqwork, on the kernel's workqueue: a context of its own that runs once
// the caller sleeps or returns to user space.
void RtcClass::schedule_work(RtcDevice& rtc) {
    if (rtc.work_queued)
        return;
    rtc.work_queued = true;
    ++work_tasks_;
    const uint64_t serial = rtc.serial;
    Task* t = m_.spawn("kworker/0:1", [this, serial] {
        if (RtcDevice* d = find(serial)) {
            d->work_queued = false;
            do_work(*d);
            --work_tasks_;
        }
        return 0;
    }, true);
    m_.release(t);
}

// rtc_timer_do_work: expires the timer if its time has come, then gives the
// device the next alarm or, with none left, withdraws it.
void RtcClass::do_work(RtcDevice& rtc) {
    if (lock(rtc, false) != 0)
        return;
    for (;;) {
        kp_rtc_time tm{};
        read_time_locked(rtc, &tm);  // (unchecked, as in the kernel)
        const int64_t now = rtc::tm_to_ktime(tm);
        if (rtc.aie_enabled && rtc.aie_expires <= now) {
            rtc.aie_enabled = false;
            legacy_irq(rtc, 1, RTC_AF);
        }
        if (!rtc.aie_enabled) {
            alarm_disable(rtc);
            break;
        }
        kp_rtc_wkalrm alarm{};
        alarm.time = rtc::ktime_to_tm(rtc.aie_expires);
        alarm.enabled = 1;
        if (set_alarm_locked(rtc, alarm) != -ETIME)
            break;
    }
    unlock(rtc);
}

void RtcClass::legacy_irq(RtcDevice& rtc, unsigned long num, unsigned long mode) {
    rtc.irq_data = (rtc.irq_data + (num << 8)) | (RTC_IRQF | mode);
    for (Task* t : rtc.irq_waiters)
        m_.wake(t, true);
}

// ------------------------------------------------ periodic interrupts (PIE)

int RtcClass::irq_set_state(RtcDevice& rtc, bool enabled) {
    if (rtc.pie_event) {
        m_.events().cancel(rtc.pie_event);
        rtc.pie_event = 0;
    }
    rtc.pie_enabled = enabled;
    if (enabled)
        arm_pie(rtc);
    return 0;
}

int RtcClass::irq_set_freq(RtcDevice& rtc, long freq) {
    if (freq <= 0 || freq > kMaxFreq)
        return -EINVAL;
    rtc.irq_freq = int(freq);
    if (rtc.pie_enabled)
        irq_set_state(rtc, true);
    return 0;
}

// an hrtimer of period 1/irq_freq s that marks one periodic interrupt
void RtcClass::arm_pie(RtcDevice& rtc) {
    const uint64_t serial = rtc.serial;
    rtc.pie_event = m_.events().at(m_.now() + 1'000'000'000ull / unsigned(rtc.irq_freq), [this, serial] {
        RtcDevice* d = find(serial);
        if (!d || !d->pie_enabled)
            return;
        legacy_irq(*d, 1, RTC_PF);
        arm_pie(*d);
    });
}

// ------------------------------------------------------------- /dev/rtcN

bool RtcClass::is_class_path(const std::string& path) {
    return path.rfind(kDevPrefix, 0) == 0 || path.rfind("/sys/class/rtc/", 0) == 0;
}

std::vector<std::string> RtcClass::attributes(int id) const {
    const RtcDevice* rtc = find_id(id);
    if (!rtc)
        return {};
    std::vector<std::string> v = {"date", "device/power/wakeup", "hctosys", "max_user_freq", "name",
                                  "since_epoch", "time"};
    if (rtc->wakealarm_file)
        v.push_back("wakealarm");
    return v;
}

long RtcClass::open(const std::string& path, RtcFile* file) {
    std::string attr;
    const int id = parse_path(path, &attr);
    RtcDevice* rtc = id < 0 ? nullptr : find_id(id);
    if (!rtc)
        return -ENOENT;  // no device node, no sysfs directory
    file->serial = rtc->serial;
    file->attr = attr;
    if (!attr.empty()) {
        const auto attrs = attributes(id);
        return std::find(attrs.begin(), attrs.end(), attr) == attrs.end() ? -ENOENT : 0;
    }
    if (rtc->dev_busy)
        return -EBUSY;
    rtc->dev_busy = true;
    rtc->irq_data = 0;
    ++module_refs_;
    return 0;
}

long RtcClass::close(RtcFile& file) {
    RtcDevice* rtc = find(file.serial);
    if (!rtc || !file.attr.empty())
        return 0;
    // the update and periodic interrupts that user space turned on go; the
    // alarm stays (it may wake the system)
    update_irq_enable(*rtc, 0);
    irq_set_state(*rtc, false);
    // (3.9 then calls rtc->ops->release, through a NULL ops once the device
    // is unregistered; the platform interface has no release)
    rtc->dev_busy = false;
    --module_refs_;
    return 0;
}

long RtcClass::read(RtcFile& file, void* ubuf, size_t n, long long* pos) {
    RtcDevice* rtc = find(file.serial);
    if (!rtc)
        return -ENODEV;
    if (file.attr.empty())
        return dev_read(*rtc, ubuf, n);
    if (!rtc->registered)
        return -ENODEV;  // sysfs: the attribute's device is gone
    // show() fills the page at offset 0; reads further on take from it
    std::string page;
    const long r = show(*rtc, file.attr, &page);
    if (r < 0)
        return r;
    if (*pos >= (long long)page.size())
        return 0;
    const size_t count = std::min(n, page.size() - size_t(*pos));
    if (!to_user_(ubuf, page.data() + *pos, count))
        return -EFAULT;
    *pos += (long long)count;
    return long(count);
}

long RtcClass::write(RtcFile& file, const void* ubuf, size_t n) {
    RtcDevice* rtc = find(file.serial);
    if (!rtc || file.attr.empty())
        return rtc ? -EINVAL : -ENODEV;  // /dev/rtcN has no write
    if (!rtc->registered)
        return -ENODEV;
    if (file.attr != "wakealarm" && file.attr != "max_user_freq")
        return -EACCES;  // a read-only attribute (3.9 refuses the open for writing)
    // the page the store sees: at most a page less one byte, NUL-terminated
    const size_t count = std::min<size_t>(n, 4095);
    std::string page(count + 1, '\0');
    if (count && !from_user_(page.data(), ubuf, count))
        return -EFAULT;
    return store(*rtc, file.attr, page.data(), count);
}

long RtcClass::dev_read(RtcDevice& rtc, void* ubuf, size_t n) {
    if (n != sizeof(unsigned int) && n < sizeof(unsigned long))
        return -EINVAL;
    Task* me = m_.current();
    unsigned long data = 0;
    long ret = 0;
    rtc.irq_waiters.push_back(me);
    for (;;) {
        data = std::exchange(rtc.irq_data, 0);
        if (data)
            break;
        if (me->signal) {
            ret = -EINTR;
            break;
        }
        m_.sleep(true);
    }
    rtc.irq_waiters.erase(std::find(rtc.irq_waiters.begin(), rtc.irq_waiters.end(), me));
    if (ret)
        return ret;
    if (n == sizeof(unsigned int) && sizeof(unsigned int) != sizeof(unsigned long)) {
        const unsigned int v = unsigned(data);
        return to_user_(ubuf, &v, sizeof v) ? long(sizeof v) : -EFAULT;
    }
    return to_user_(ubuf, &data, sizeof data) ? long(sizeof data) : -EFAULT;
}

long RtcClass::ioctl(RtcFile& file, unsigned cmd, unsigned long arg) {
    RtcDevice* rtc = find(file.serial);
    if (!rtc)
        return -ENODEV;
    if (!file.attr.empty())
        return -ENOTTY;
    return dev_ioctl(*rtc, cmd, arg);
}

long RtcClass::dev_ioctl(RtcDevice& rtc, unsigned cmd, unsigned long arg) {
    void* uarg = reinterpret_cast<void*>(arg);
    // the ioctl takes ops_lock first; the commands that call the class's
    // functions let it go before they do (programs run as root: no
    // capability check fails)
    if (int err = lock(rtc))
        return err;
    kp_rtc_time tm{};
    kp_rtc_wkalrm alarm{};
    switch (cmd) {
    case RTC_ALM_READ: {
        unlock(rtc);
        if (int err = read_alarm(rtc, &alarm); err < 0)
            return err;
        return to_user_(uarg, &alarm.time, sizeof tm) ? 0 : -EFAULT;
    }
    case RTC_ALM_SET: {
        unlock(rtc);
        if (!from_user_(&alarm.time, uarg, sizeof tm))
            return -EFAULT;
        alarm.enabled = 0;
        alarm.pending = 0;
        alarm.time.tm_wday = alarm.time.tm_yday = alarm.time.tm_isdst = -1;
        // an alarm up to 24 hours ahead: today at that time, or tomorrow
        if (int err = read_time(rtc, &tm); err < 0)
            return err;
        const rtc::BoxULong now = rtc::tm_to_time(tm);
        alarm.time.tm_mday = tm.tm_mday;
        alarm.time.tm_mon = tm.tm_mon;
        alarm.time.tm_year = tm.tm_year;
        if (int err = rtc::valid_tm(alarm.time); err < 0)
            return err;
        if (rtc::tm_to_time(alarm.time) < now) {
            const kp_rtc_time tomorrow = rtc::time_to_tm(now + 24 * 60 * 60);
            alarm.time.tm_mday = tomorrow.tm_mday;
            alarm.time.tm_mon = tomorrow.tm_mon;
            alarm.time.tm_year = tomorrow.tm_year;
        }
        return set_alarm(rtc, alarm);
    }
    case RTC_RD_TIME: {
        unlock(rtc);
        if (int err = read_time(rtc, &tm); err < 0)
            return err;
        return to_user_(uarg, &tm, sizeof tm) ? 0 : -EFAULT;
    }
    case RTC_SET_TIME:
        unlock(rtc);
        if (!from_user_(&tm, uarg, sizeof tm))
            return -EFAULT;
        return set_time(rtc, tm);
    case RTC_AIE_ON:
    case RTC_AIE_OFF:
        unlock(rtc);
        return alarm_irq_enable(rtc, cmd == RTC_AIE_ON);
    case RTC_UIE_ON:
    case RTC_UIE_OFF:
        unlock(rtc);
        return update_irq_enable(rtc, cmd == RTC_UIE_ON);
    case RTC_WKALM_SET:
        unlock(rtc);
        if (!from_user_(&alarm, uarg, sizeof alarm))
            return -EFAULT;
        return set_alarm(rtc, alarm);
    case RTC_WKALM_RD:
        unlock(rtc);
        if (int err = read_alarm(rtc, &alarm); err < 0)
            return err;
        return to_user_(uarg, &alarm, sizeof alarm) ? 0 : -EFAULT;
    default:
        break;
    }
    long err;
    switch (cmd) {
    case RTC_PIE_ON:
    case RTC_PIE_OFF:
        err = irq_set_state(rtc, cmd == RTC_PIE_ON);
        break;
    case RTC_IRQP_SET:
        err = irq_set_freq(rtc, long(arg));
        break;
    case RTC_IRQP_READ: {
        const unsigned long freq = unsigned(rtc.irq_freq);
        err = to_user_(uarg, &freq, sizeof freq) ? 0 : -EFAULT;
        break;
    }
    default:
        // the driver's own ioctl: the platform interface has none (3.9
        // looks for it through rtc->ops, NULL once the device is gone)
        err = rtc.ops ? -ENOTTY : -ENODEV;
        break;
    }
    unlock(rtc);
    return err;
}

// ---------------------------------------------------------------- sysfs

long RtcClass::show(RtcDevice& rtc, const std::string& attr, std::string* out) {
    kp_rtc_time tm{};
    if (attr == "name") {
        *out = rtc.name + "\n";
    } else if (attr == "date" || attr == "time" || attr == "since_epoch") {
        if (int err = read_time(rtc, &tm))
            return err;
        *out = attr == "date"   ? text("%04d-%02d-%02d\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday)
               : attr == "time" ? text("%02d:%02d:%02d\n", tm.tm_hour, tm.tm_min, tm.tm_sec)
                                : text("%lu\n", (unsigned long)rtc::tm_to_time(tm));
    } else if (attr == "max_user_freq") {
        *out = text("%d\n", rtc.max_user_freq);
    } else if (attr == "hctosys") {
        *out = "0\n";  // no CONFIG_RTC_HCTOSYS: no clock set the system time at boot
    } else if (attr == "device/power/wakeup") {
        *out = rtc.parent && rtc.parent->wakeup_capable ? "enabled\n" : "\n";
    } else if (attr == "wakealarm") {
        // disabled alarms are not shown: the file is empty
        kp_rtc_wkalrm alarm{};
        if (int err = read_alarm(rtc, &alarm))
            return err;
        out->clear();
        if (alarm.enabled)
            *out = text("%lu\n", (unsigned long)rtc::tm_to_time(alarm.time));
    } else {
        return -ENOENT;
    }
    return 0;
}

long RtcClass::store(RtcDevice& rtc, const std::string& attr, const char* buf, size_t n) {
    if (attr == "wakealarm")
        return set_wakealarm(rtc, buf, n);
    const rtc::BoxULong v = simple_strtoul(buf);
    if (v >= 4096 || v == 0)
        return -EINVAL;
    rtc.max_user_freq = int(v);
    return long(n);
}

// An epoch time or +N seconds from now sets an alarm in the future; 0 or any
// time not in the future clears it; a second alarm while one is enabled is
// refused (EBUSY), so that one user does not clobber another's.
long RtcClass::set_wakealarm(RtcDevice& rtc, const char* buf, size_t n) {
    kp_rtc_wkalrm alarm{};
    if (int err = read_time(rtc, &alarm.time); err < 0)
        return err;
    const rtc::BoxULong now = rtc::tm_to_time(alarm.time);
    const bool adjust = *buf == '+';
    rtc::BoxULong at = simple_strtoul(buf + adjust);
    if (adjust)
        at += now;
    if (at > now) {
        if (int err = read_alarm(rtc, &alarm); err < 0)
            return err;
        if (alarm.enabled)
            return -EBUSY;
        alarm.enabled = 1;
    } else {
        // disabled, with a valid time in the future all the same
        alarm.enabled = 0;
        at = now + 300;
    }
    alarm.time = rtc::time_to_tm(at);
    const int err = set_alarm(rtc, alarm);
    return err < 0 ? err : long(n);
}

}  // namespace sim
