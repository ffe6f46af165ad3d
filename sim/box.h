// SPDX-License-Identifier: MIT
// The simulated set-top box: the SoC (CPU, two UARTs, GPIO), the simulated
// kernel with its services, the front-panel micom on the other end of the
// two serial lines, and the driver module, loaded afresh from its shared
// object at every boot.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "core/machine.h"
#include "kernel/chrdev.h"
#include "kernel/device_model.h"
#include "kernel/file_table.h"
#include "kernel/input_core.h"
#include "kernel/klog.h"
#include "kernel/wall_clock.h"
#include "kernel/module_loader.h"
#include "kernel/procfs.h"
#include "kernel/rtc_class.h"
#include "micom/micom_model.h"
#include "soc/clock_generator.h"
#include "soc/gpio.h"
#include "soc/serial_link.h"
#include "soc/uart.h"

struct kp_wait_queue_head;

namespace sim {

/// How many waiters are linked into the wait queue @q.
size_t wait_queue_waiters(const kp_wait_queue_head* q);

struct BoxConfig {
    unsigned hz = 100;                 ///< kernel tick rate
    uint32_t baud = 115200;            ///< line speed that the driver's divisor 4 gives
    uint64_t seed = 1;                 ///< fault and timing randomness
    uint32_t chip_id = 0x86520102;     ///< upper 16 bits: the chip number
    Nanos reg_access_ns = 100;         ///< cost of one register access
    std::string module_path;           ///< the driver's shared object; empty: the built one
    /// Each load restores the writable bytes of one image kept for the
    /// process, instead of mapping the shared object anew (module_loader.h).
    bool restore_module_image = false;
    micom::MicomConfig micom;
};

/// A register write of the driver, in program order.
struct RegWrite {
    Nanos t;
    uint32_t bus_addr;
    uint32_t value;
    bool via_gbus;  ///< through gbus_write_uint32 (else an uncached store)
};

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

class Box {
public:
    explicit Box(BoxConfig cfg = {});
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    /// The box the kernel entry points of the current host process act on.
    static Box* current() { return current_; }

    // ---- parts ----
    Machine& machine() { return *m_; }
    KernelLog& log() { return log_; }
    Procfs& procfs() { return proc_; }
    CharDevices& chrdevs() { return chrdevs_; }
    InputCore& input() { return input_; }
    DeviceModel& devices() { return devices_; }
    RtcClass& rtc() { return *rtc_; }
    Gpio& gpio() { return gpio_; }
    /// The SoC's clock generator, which user programs reach through the
    /// resource access library; it gives the micom its 8 MHz reference.
    ClockGenerator& clock_generator() { return clock_generator_; }
    Uart& uart(int i) { return i == 0 ? *uart0_ : *uart1_; }
    SerialLink& primary() { return *primary_; }
    SerialLink& isp() { return *isp_; }
    micom::MicomModel& micom() { return *micom_; }
    const BoxConfig& config() const { return cfg_; }
    KernelFaults faults;
    /// Clears the faults and removes the other drivers that held major 75 or interrupt 10.
    void clear_faults();

    // ---- time ----
    Nanos now() const { return m_->now(); }
    void run_for(Nanos dt) { m_->run_for(dt); }
    /// The kernel's wall clock in nanoseconds since 1970.
    int64_t wall_ns() const { return int64_t(m_->now()) + wall_offset_; }
    void set_wall_ns(int64_t t) { wall_offset_ = t - int64_t(m_->now()); }
    /// The driver sets the wall clock to a date of the micom's clock, as
    /// the box's kernel lets it (kernel/wall_clock.h): 0, or the error with
    /// the clock left as it is.
    int set_wall_clock(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec,
                       long nsec);

    // ---- the driver module ----
    /// Switches the box on (if off: the micom switches it on) and loads the
    /// module; init_fp's result, -2 when the module file cannot be loaded, or
    /// -5 when the box is off and the micom, its firmware not running, cannot
    /// switch it on.
    int boot();
    int load_module();
    /// cleanup_fp; -16 (EBUSY) while /dev/micom is open, -2 when not loaded.
    int unload_module();
    bool module_loaded() const { return module_ != nullptr; }
    /// A symbol of the loaded module (its exported functions and variables).
    void* module_symbol(const char* name) const;
    /// Whether the previous module image was really unmapped at its last unload.
    bool last_unload_unmapped() const { return last_unload_unmapped_; }
    /// Registrations that are still there although the module is gone (or failed to start).
    std::vector<std::string> leftovers() const;

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
    /// Calls an exported function of the module from process context.
    template <typename R, typename... A>
    R call_export(const char* name, A... args);

    // ---- files of user programs (the caller runs in a process) ----
    /// open(): a file descriptor (>= 1000) or a negative error.
    long sys_open(const std::string& path);
    long sys_close(long fd);
    long sys_read(long fd, void* buf, size_t n);
    long sys_write(long fd, const void* buf, size_t n);
    long sys_ioctl(long fd, unsigned int cmd, unsigned long arg);

    // ---- power ----
    bool powered() const { return powered_; }
    /// The kernel's power-off path, from a process: the hook, then halt.
    void poweroff();
    /// The box loses power now (the micom switched it off).
    void power_off_now();
    /// The micom switches the box on: it boots and loads the module.
    void power_on_boot();
    /// A boot that power_on_boot() started is still loading the module.
    bool booting() const { return booting_; }
    unsigned boots() const { return boots_; }
    int last_boot_result() const { return last_boot_result_; }

    // ---- what the driver did ----
    const std::vector<RegWrite>& reg_writes() const { return reg_writes_; }
    void clear_reg_writes() { reg_writes_.clear(); }
    /// "BUG"-class problems the simulated kernel saw (sleeping in atomic
    /// context, freeing a free interrupt, bus errors...).
    const std::vector<std::string>& bugs() const { return bugs_; }
    void bug(const std::string& what);

    // ---- kernel entry points (used by the platform functions) ----
    uint32_t bus_read(uint32_t addr);
    /// Whether reading @addr changes the device (the receive buffer pops its
    /// FIFO); a status read only clears what a device event sets again.
    bool read_has_side_effects(uint32_t addr) const;
    void bus_write(uint32_t addr, uint32_t value, bool via_gbus);
    bool copy_from_user(void* to, const void* from, size_t n);
    bool copy_to_user(void* to, const void* from, size_t n);
    using PowerOffFn = void (*)();
    PowerOffFn pm_power_off = nullptr;
    /// Calls from an aborted context never return to the driver.
    void enter_kernel() {
        // (inline: every platform call and register access comes here)
        const Task* t = m_->current();
        if (t->aborting && !t->is_world && !m_->in_irq())
            abort_current();
        m_->interrupt_point();
    }

private:
    static inline Box* current_ = nullptr;
    /// The running context's box lost power: it unwinds, never returning.
    [[noreturn]] void abort_current();
    class MicomPort;
    void reset_kernel_state();
    void apply_boot_faults();
    /// Maps a fresh image of the driver and checks it as the kernel's module
    /// loader does (its version magic): the image, or nullptr with @err.
    void* map_driver(int* err);
    /// Runs the start of a mapped image in the current context: the module
    /// is loaded, or the image goes and nothing it registered may be left.
    int start_driver(void* h);
    void unmap_module(void* handle);
    void release_kthreads();
    bool hook_in_module_image() const;

    BoxConfig cfg_;
    std::unique_ptr<Machine> m_;
    KernelLog log_;
    Procfs proc_;
    CharDevices chrdevs_;
    std::unique_ptr<FileTable> files_;
    InputCore input_;
    DeviceModel devices_;
    std::unique_ptr<RtcClass> rtc_;
    Gpio gpio_;
    ClockGenerator clock_generator_;
    std::unique_ptr<SerialLink> primary_, isp_;
    std::unique_ptr<Uart> uart0_, uart1_;
    std::unique_ptr<MicomPort> port_;
    std::unique_ptr<micom::MicomModel> micom_;

    std::unique_ptr<ModuleLoader> loader_;
    void* module_ = nullptr;
    void* stale_module_ = nullptr;  ///< image of a module that lost power, unmapped at the next boot
    void* module_base_ = nullptr;   ///< where the last module image was mapped
    bool last_unload_unmapped_ = true;
    int64_t wall_offset_ = 0;
    /// the Linux back-end's warning of a date beyond the clock: once a
    /// minute, from each load afresh (it is the module's)
    RateLimit beyond_clock_{0, 1, "kp_set_wall_clock"};
    bool powered_ = true;
    bool booting_ = false;
    bool halted_ = false;
    unsigned boots_ = 0;
    int last_boot_result_ = 0;
    std::vector<RegWrite> reg_writes_;
    std::vector<std::string> bugs_;
};

template <typename R, typename... A>
R Box::call_export(const char* name, A... args) {
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
