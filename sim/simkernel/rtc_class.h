// SPDX-License-Identifier: MIT
// The kernel's RTC class as the box's Linux 3.9 has it (drivers/rtc:
// class.c, interface.c, rtc-dev.c, rtc-sysfs.c): RTC devices registered by
// a driver, the class's own rules around the driver's operations (the
// ops_lock mutex that serialises every caller, rtc_valid_tm, the alarm
// timer aie_timer and the work that expires it), /dev/rtcN and the files
// of /sys/class/rtc/rtcN.  Where later kernels differ, the comments say so.
//
// The box's kernel has CONFIG_RTC_INTF_DEV and CONFIG_RTC_INTF_SYSFS, but
// neither CONFIG_RTC_INTF_DEV_UIE_EMUL nor CONFIG_RTC_HCTOSYS: a device
// without update interrupts refuses RTC_UIE_ON, and no clock is read at boot.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "simkernel/device_model.h"
#include "platform/kp_rtc.h"

namespace sim {

struct RtcDevice {
    int id = 0;
    std::string name;                 ///< the registered name ("frontpanel")
    const kp_rtc_ops* ops = nullptr;  ///< nullptr once unregistered
    Device* parent = nullptr;
    bool registered = false;
    bool wakealarm_file = false;      ///< the parent can wake the system and ops have set_alarm
    bool uie_unsupported = true;      ///< the platform interface's devices have no update interrupts
    uint64_t serial = 0;              ///< tells a later device of the same id apart

    // ops_lock
    Task* lock_owner = nullptr;
    std::deque<Task*> lock_waiters;

    // the timer queue: the aie_timer is the only timer in it (no kernel
    // user of the class here adds one; update interrupts are unsupported)
    bool aie_enabled = false;
    int64_t aie_expires = 0;          ///< seconds, as rtc_tm_to_ktime() makes them
    bool uie_enabled = false;
    bool work_queued = false;         ///< irqwork is scheduled and has not started

    // the character device's state
    bool dev_busy = false;            ///< RTC_DEV_BUSY: /dev/rtcN is open (one opener at a time)
    unsigned long irq_data = 0;       ///< what a read() of /dev/rtcN returns
    std::vector<Task*> irq_waiters;   ///< readers sleeping for irq_data
    bool pie_enabled = false;
    int irq_freq = 1, max_user_freq = 64;
    EventQueue::Id pie_event = 0;
};

/// An open file on /dev/rtcN or on a sysfs file of the class.
struct RtcFile {
    uint64_t serial = 0;   ///< the device it was opened on
    std::string attr;      ///< sysfs: the attribute's path below rtcN/ (empty: /dev/rtcN)
};

class RtcClass {
public:
    /// Copies to or from user memory; false when the copy fails.
    using UserCopy = std::function<bool(void* to, const void* from, size_t n)>;

    RtcClass(Machine& m, std::function<void(const std::string&)> bug, UserCopy from_user, UserCopy to_user)
        : m_(m), bug_(std::move(bug)), from_user_(std::move(from_user)), to_user_(std::move(to_user)) {}
    ~RtcClass();

    /// Fault: registrations fail with -ENOMEM (set at each boot from KernelFaults).
    bool fail_register = false;

    // ---- the driver's side: rtc_device_register / rtc_device_unregister ----
    int register_device(Device* parent, const kp_rtc_desc* desc, RtcDevice** rtc);
    void unregister(RtcDevice* rtc);
    /// The devices registered now.
    std::vector<const RtcDevice*> registered() const;
    /// The first of them, or null.
    const RtcDevice* first_registered() const;
    /// Whether @rtc is a device that is registered now (for the device model's checks).
    bool is_registered(const RtcDevice* rtc) const;
    /// Forgets every device and open file (the module went, or the box lost power).
    void reset();
    /// Files open on /dev/rtcN: each holds a reference on the module that
    /// registered the device, as the character device's owner.
    int module_refs() const { return module_refs_; }
    /// Whether the class's work (irqwork) is scheduled or running.
    bool work_pending() const { return work_tasks_ > 0; }

    // ---- the class's interface (interface.c), from process context ----
    int read_time(RtcDevice& rtc, kp_rtc_time* tm);
    int set_time(RtcDevice& rtc, const kp_rtc_time& tm);
    int read_alarm(RtcDevice& rtc, kp_rtc_wkalrm* alarm);
    int set_alarm(RtcDevice& rtc, const kp_rtc_wkalrm& alarm);
    int alarm_irq_enable(RtcDevice& rtc, unsigned enabled);
    int update_irq_enable(RtcDevice& rtc, unsigned enabled);

    // ---- files of user programs ----
    /// Whether @path names a file of the class ("/dev/rtc0", "/sys/class/rtc/rtc0/date").
    static bool is_class_path(const std::string& path);
    /// 0 and the file, or -ENOENT (no such device or attribute), -EBUSY (/dev/rtcN open already).
    long open(const std::string& path, RtcFile* file);
    long close(RtcFile& file);
    long read(RtcFile& file, void* ubuf, size_t n, long long* pos);
    long write(RtcFile& file, const void* ubuf, size_t n);
    long ioctl(RtcFile& file, unsigned cmd, unsigned long arg);
    /// The sysfs attributes of rtc@id, as ls shows them (empty: no such device).
    std::vector<std::string> attributes(int id) const;

private:
    RtcDevice* find(uint64_t serial) const;
    RtcDevice* find_id(int id) const;
    int lock(RtcDevice& rtc, bool interruptible = true);
    void unlock(RtcDevice& rtc);
    int read_time_locked(RtcDevice& rtc, kp_rtc_time* tm);
    int read_alarm_from(RtcDevice& rtc, kp_rtc_wkalrm* alarm, bool device);
    int read_alarm_at_registration(RtcDevice& rtc, kp_rtc_wkalrm* alarm);
    void initialize_alarm(RtcDevice& rtc, const kp_rtc_wkalrm& alarm);
    int set_alarm_locked(RtcDevice& rtc, const kp_rtc_wkalrm& alarm);
    int timer_enqueue(RtcDevice& rtc);
    void timer_remove(RtcDevice& rtc);
    void alarm_disable(RtcDevice& rtc);
    void schedule_work(RtcDevice& rtc);
    void do_work(RtcDevice& rtc);
    void legacy_irq(RtcDevice& rtc, unsigned long num, unsigned long mode);
    int irq_set_state(RtcDevice& rtc, bool enabled);
    int irq_set_freq(RtcDevice& rtc, long freq);
    void arm_pie(RtcDevice& rtc);
    long dev_read(RtcDevice& rtc, void* ubuf, size_t n);
    long dev_ioctl(RtcDevice& rtc, unsigned cmd, unsigned long arg);
    /// A sysfs attribute's show(): the text, or a negative error.
    long show(RtcDevice& rtc, const std::string& attr, std::string* text);
    /// Its store(): @n or a negative error.
    long store(RtcDevice& rtc, const std::string& attr, const char* buf, size_t n);
    long set_wakealarm(RtcDevice& rtc, const char* buf, size_t n);

    Machine& m_;
    std::function<void(const std::string&)> bug_;
    UserCopy from_user_, to_user_;
    std::vector<std::unique_ptr<RtcDevice>> devices_;  ///< every device of this boot, unregistered ones too
    uint64_t next_serial_ = 1;
    int module_refs_ = 0;
    int work_tasks_ = 0;
};

}  // namespace sim
