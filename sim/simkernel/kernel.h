// SPDX-License-Identifier: MIT
// The simulated kernel: the box's uniprocessor kernel on the simulated
// machine.  It owns the services the driver module reaches through the
// platform interface (kapi.cpp): the log, /proc, character devices, the
// files of user programs, the input core, the device model and the RTC
// class, the module loader, the wall clock, the power-off hook, user copies
// and the detection of what would be a "BUG" on the box.  It reaches the
// SoC only through its bus; it knows nothing of the micom.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "machine/machine.h"
#include "simkernel/chrdev.h"
#include "simkernel/device_model.h"
#include "simkernel/file_table.h"
#include "simkernel/input_core.h"
#include "simkernel/klog.h"
#include "simkernel/module_loader.h"
#include "simkernel/procfs.h"
#include "simkernel/rtc_class.h"
#include "simkernel/wall_clock.h"
#include "soc/soc.h"

struct kp_wait_queue_head;

namespace sim {

/// How many waiters are linked into the wait queue @q.
size_t wait_queue_waiters(const kp_wait_queue_head* q);

/// Kernel services that can be made to fail at the next boot.
struct KernelFaults {
    bool major_taken = false;        ///< another driver holds major 75
    bool irq_taken = false;          ///< another driver holds interrupt 10
    int proc_fail_nth = 0;           ///< the n-th /proc entry creation fails (1..10)
    bool input_alloc_fail = false;
    bool input_register_fail = false;
    bool kthread_fail = false;       ///< kernel thread creation fails
    bool device_register_fail = false;  ///< the driver's platform device cannot be registered
    bool rtc_register_fail = false;  ///< the RTC class device cannot be registered
    int user_copy_fail = 0;          ///< the next n user copies fail
};

/// The outcome of a system call made by a simulated program.
struct SysResult {
    long ret = 0;          ///< the call's result (bytes, 0, or a negative error)
    std::string data;      ///< bytes read
};

struct KernelConfig {
    std::string module_path;           ///< the driver's shared object
    /// Each load restores the writable bytes of one image kept for the
    /// process, instead of mapping the shared object anew (module_loader.h).
    bool restore_module_image = false;
};

class Kernel {
public:
    Kernel(Machine& m, Soc& soc, KernelConfig cfg);
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    /// The kernel that the platform functions of this host process act on.
    static Kernel* current() { return current_; }

    // ---- services ----
    Machine& machine() { return m_; }
    Soc& soc() { return soc_; }
    KernelLog& log() { return log_; }
    Procfs& procfs() { return proc_; }
    CharDevices& chrdevs() { return chrdevs_; }
    InputCore& input() { return input_; }
    DeviceModel& devices() { return devices_; }
    RtcClass& rtc() { return *rtc_; }
    KernelFaults faults;
    /// Clears the faults and removes the other drivers that held major 75 or interrupt 10.
    void clear_faults();

    // ---- the wall clock ----
    /// In nanoseconds since 1970.
    int64_t wall_ns() const { return int64_t(m_.now()) + wall_offset_; }
    void set_wall_ns(int64_t t) { wall_offset_ = t - int64_t(m_.now()); }
    /// The driver sets the wall clock to a date of the micom's clock, as
    /// the box's kernel lets it (wall_clock.h): 0, or the error with the
    /// clock left as it is.
    int set_wall_clock(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec,
                       long nsec);

    // ---- the driver module ----
    /// Maps a fresh image and starts it from an insmod process: init_fp's
    /// result, -2 when the module file cannot be loaded, -17 when loaded.
    int load_module();
    /// Maps a fresh image and starts it in the running context (the boot's).
    int load_module_here();
    /// cleanup_fp; -16 (EBUSY) while /dev/micom or /dev/rtc0 is open, -2 when not loaded.
    int unload_module();
    bool module_loaded() const { return module_ != nullptr; }
    /// A symbol of the loaded module (its exported functions and variables).
    void* module_symbol(const char* name) const;
    /// Whether the previous module image was really unmapped at its last unload.
    bool last_unload_unmapped() const { return last_unload_unmapped_; }
    /// Registrations that are still there although the module is gone (or failed to start).
    std::vector<std::string> leftovers() const;
    /// Calls an exported function of the module from process context.
    template <typename R, typename... A>
    R call_export(const char* name, A... args);
    /// How often a module image was mapped, and the last start's result.
    unsigned boots() const { return boots_; }
    int last_boot_result() const { return last_boot_result_; }

    // ---- processes ----
    /// Runs @body as a user process to its end; returns its result.
    int run_process(const std::string& name, std::function<int()> body);
    /// One read() of @count bytes at offset 0 of /proc/@name, from a process.
    SysResult proc_read(const std::string& name, size_t count = 4096);
    /// One write() of @data to /proc/@name, from a process.
    long proc_write(const std::string& name, const std::string& data);
    /// The same for any file of the box (/proc/NAME, /sys/class/rtc/rtc0/NAME).
    SysResult file_read(const std::string& path, size_t count = 4096);
    long file_write(const std::string& path, const std::string& data);
    /// Lets the kernel's work that the last calls scheduled run to its end
    /// (at most @limit of virtual time), as a program's next step would find it.
    void settle_work(Nanos limit = 10'000'000'000ull);

    // ---- system calls on files (the caller runs in a process) ----
    /// open(): a file descriptor (>= 1000) or a negative error.
    long sys_open(const std::string& path);
    long sys_close(long fd);
    long sys_read(long fd, void* buf, size_t n);
    long sys_write(long fd, const void* buf, size_t n);
    long sys_ioctl(long fd, unsigned int cmd, unsigned long arg);

    // ---- power ----
    /// The power-off path, from a process: the hook, then the CPU halts.
    void poweroff();
    /// The CPU halted after a power-off that switched nothing off.
    bool halted() const { return halted_; }
    /// A fresh start after power came back: the image of a module that
    /// lost power goes, the clock starts from nothing.
    void fresh_start();
    /// The box lost power: every context unwinds, every registration goes,
    /// the module image is unmapped at the next start.
    void power_lost();
    using PowerOffFn = void (*)();
    PowerOffFn pm_power_off = nullptr;

    // ---- what the kernel saw ----
    /// "BUG"-class problems (sleeping in atomic context, freeing a free
    /// interrupt, bus errors...).
    const std::vector<std::string>& bugs() const { return bugs_; }
    void bug(const std::string& what);

    // ---- entry points of the platform functions ----
    /// The user-copy service: false when the copy faults.
    bool copy_from_user(void* to, const void* from, size_t n);
    bool copy_to_user(void* to, const void* from, size_t n);
    /// Calls from an aborted context never return to the driver.
    void enter_kernel() {
        // (inline: every platform call and register access comes here)
        const Task* t = m_.current();
        if (t->aborting && !t->is_world && !m_.in_irq())
            abort_current();
        m_.interrupt_point();
    }

private:
    static inline Kernel* current_ = nullptr;
    /// The running context's box lost power: it unwinds, never returning.
    [[noreturn]] void abort_current();
    /// What goes when the module is gone (unloaded, or its start failed),
    /// or when the box lost power: contexts, then every registration.
    enum class Teardown { module_gone, power_lost };
    void tear_down(Teardown how);
    /// Wakes every context but @keep to unwind (aborting).
    void abort_contexts(const Task* keep);
    void clear_module_lines(bool keep_other_drivers);
    void apply_boot_faults();
    /// Maps a fresh image of the driver and checks it as the module loader
    /// does (its version magic): the image, or nullptr with @err.
    void* map_driver(int* err);
    /// Runs the start of a mapped image in the current context: the module
    /// is loaded, or the image goes and nothing it registered may be left.
    int start_driver(void* h);
    void unmap_module(void* handle);
    void release_kthreads();
    bool hook_in_module_image() const;

    Machine& m_;
    Soc& soc_;
    KernelConfig cfg_;
    KernelLog log_;
    Procfs proc_;
    CharDevices chrdevs_;
    std::unique_ptr<FileTable> files_;
    InputCore input_;
    DeviceModel devices_;
    std::unique_ptr<RtcClass> rtc_;
    std::unique_ptr<ModuleLoader> loader_;
    void* module_ = nullptr;
    void* stale_module_ = nullptr;  ///< image of a module that lost power, unmapped at the next boot
    void* module_base_ = nullptr;   ///< where the last module image was mapped
    bool last_unload_unmapped_ = true;
    int64_t wall_offset_ = 0;
    /// the Linux back-end's warning of a date beyond the clock: once a
    /// minute, from each load afresh (it is the module's)
    RateLimit beyond_clock_{0, 1, "kp_set_wall_clock"};
    bool halted_ = false;
    unsigned boots_ = 0;
    int last_boot_result_ = 0;
    std::vector<std::string> bugs_;
};

template <typename R, typename... A>
R Kernel::call_export(const char* name, A... args) {
    auto fn = reinterpret_cast<R (*)(A...)>(module_symbol(name));
    if constexpr (std::is_void_v<R>) {
        run_process(name, [&] {
            fn(args...);
            return 0;
        });
    } else {
        R result{};
        run_process(name, [&] {
            result = fn(args...);
            return 0;
        });
        return result;
    }
}

}  // namespace sim
