// SPDX-License-Identifier: MIT
#include "box.h"

#include <dlfcn.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <map>

#include "core/bounded_log.h"
#include "module_info.h"

#ifndef FP_SIM_MODULE_PATH
#define FP_SIM_MODULE_PATH "libfrontpanel_sim.so"
#endif

namespace sim {

namespace {

constexpr uint32_t kUart0 = FP_UART_BASE, kUart1 = FP_UART_ALT_BASE;
constexpr unsigned kMicomMajor = 75;

// What the records keep at least: the register writes, and the bytes of each
// line (the ISP link's whole flash session, some 50,000 bytes, is kept).
constexpr size_t kRegWriteLimit = 16384;
constexpr size_t kPrimaryLogLimit = 16384, kIspLogLimit = 65536;

void* image_base(void* handle) {
    Dl_info info{};
    void* sym = dlsym(handle, "init_fp");
    return sym && dladdr(sym, &info) ? info.dli_fbase : nullptr;
}

// A handler of "another driver" that holds interrupt 10 when that fault is set.
int other_driver_isr(int, void*) { return 0; }
}  // namespace

/// The micom's view of the box: virtual time, the two lines, the power switch.
class Box::MicomPort : public micom::MicomEnv {
public:
    explicit MicomPort(Box& b) : b_(b) {}
    micom::Nanos now() const override { return b_.m_->now(); }
    uint64_t at(micom::Nanos t, std::function<void()> fn) override {
        return b_.m_->events().at(t < now() ? now() : t, std::move(fn));
    }
    void cancel(uint64_t id) override { b_.m_->events().cancel(id); }
    void transmit(micom::Link l, uint8_t byte) override { link(l).micom_send(byte); }
    micom::Nanos char_time(micom::Link l) const override {
        return const_cast<MicomPort*>(this)->link(l).micom_format.char_time();
    }
    void set_box_power(bool on) override {
        if (on)
            b_.power_on_boot();
        else
            b_.power_off_now();
    }

private:
    SerialLink& link(micom::Link l) { return l == micom::Link::Primary ? *b_.primary_ : *b_.isp_; }
    Box& b_;
};


Box::Box(BoxConfig cfg) : cfg_(std::move(cfg)) {
    if (current_)
        std::fprintf(stderr, "fpsim: only one box per process\n");
    current_ = this;
    beyond_clock_ = RateLimit{60ul * cfg_.hz, 1, "kp_set_wall_clock"};
    if (cfg_.module_path.empty())
        cfg_.module_path = FP_SIM_MODULE_PATH;
    loader_ = std::make_unique<ModuleLoader>(cfg_.module_path, cfg_.restore_module_image);
    m_ = std::make_unique<Machine>(cfg_.hz);
    rtc_ = std::make_unique<RtcClass>(
        *m_, [this](const std::string& what) { bug(what); },
        [this](void* to, const void* from, size_t n) { return copy_from_user(to, from, n); },
        [this](void* to, const void* from, size_t n) { return copy_to_user(to, from, n); });
    files_ = std::make_unique<FileTable>(*m_, proc_, chrdevs_, *rtc_, kMicomMajor,
                                         [this](void* to, const void* from, size_t n) {
                                             return copy_to_user(to, from, n);
                                         });

    // divisor 4 gives the configured line speed
    const uint64_t uart_clock = uint64_t(cfg_.baud) * 16 * 4;
    primary_ = std::make_unique<SerialLink>(*m_, "primary", cfg_.seed * 2 + 1, kPrimaryLogLimit);
    isp_ = std::make_unique<SerialLink>(*m_, "isp", cfg_.seed * 2 + 2, kIspLogLimit);
    primary_->micom_format = LineFormat{cfg_.baud, 8, 'N', 1};
    isp_->micom_format = LineFormat{cfg_.baud, 8, 'E', 1};
    uart0_ = std::make_unique<Uart>(*m_, kUart0, FP_IRQ, uart_clock);
    uart1_ = std::make_unique<Uart>(*m_, kUart1, FP_ISP_IRQ, uart_clock);
    uart0_->attach(primary_.get());
    uart1_->attach(isp_.get());

    port_ = std::make_unique<MicomPort>(*this);
    micom_ = std::make_unique<micom::MicomModel>(*port_, cfg_.micom);
    primary_->deliver_to_micom = [this](uint8_t b, Nanos start, bool ok) {
        micom_->receive(micom::Link::Primary, b, start, ok);
    };
    isp_->deliver_to_micom = [this](uint8_t b, Nanos start, bool ok) {
        micom_->receive(micom::Link::Isp, b, start, ok);
    };

    // the board's pull-ups and pull-downs on the micom's lines
    gpio_.set_default_level(2, false);  // ISP clock line low
    gpio_.set_default_level(3, true);   // 8 MHz clock off
    gpio_.set_default_level(4, false);  // micom powered
    gpio_.set_default_level(5, true);   // micom running
    gpio_.set_default_level(6, true);   // ISP disabled
    clock_generator_.on_reference = [this](bool present) { micom_->set_clock_reference(present); };
    gpio_.on_change = [this](Nanos, unsigned pin, bool level) {
        if (pin >= 2 && pin <= 6)
            micom_->set_pin(micom::Pin(pin), level);
    };
}

Box::~Box() {
    m_->abort_all();
    if (module_) {
        reset_kernel_state();
        unmap_module(module_);
        module_ = nullptr;
    }
    // the image of a module that lost power goes too: the next box in this
    // process must load a fresh one
    if (stale_module_) {
        unmap_module(stale_module_);
        stale_module_ = nullptr;
    }
    // the micom's pending timers and the RTC class's are cancelled in the
    // machine's event queue
    micom_.reset();
    rtc_.reset();
    m_.reset();
    if (current_ == this)
        current_ = nullptr;
}

void Box::bug(const std::string& what) {
    bugs_.push_back(what);
    log_.add(now(), "\x01" "3BUG: " + what);
}

// ------------------------------------------------------------------ bus

uint32_t Box::bus_read(uint32_t addr) {
    m_->busy_wait(cfg_.reg_access_ns);
    if (addr >= kUart0 && addr < kUart0 + Uart::kBlockSize)
        return uart0_->read(addr - kUart0);
    if (addr >= kUart1 && addr < kUart1 + Uart::kBlockSize)
        return uart1_->read(addr - kUart1);
    if (addr == Gpio::kDirAddr || addr == Gpio::kDataAddr)
        return gpio_.read(addr);
    char msg[64];
    std::snprintf(msg, sizeof msg, "bus error reading %05X", addr);
    bug(msg);
    return 0;
}

bool Box::read_has_side_effects(uint32_t addr) const {
    return addr == kUart0 + Uart::RBR || addr == kUart1 + Uart::RBR;
}

void Box::bus_write(uint32_t addr, uint32_t value, bool via_gbus) {
    append_bounded(reg_writes_, RegWrite{now(), addr, value, via_gbus}, kRegWriteLimit);
    m_->busy_wait(cfg_.reg_access_ns);
    if (addr >= kUart0 && addr < kUart0 + Uart::kBlockSize)
        return uart0_->write(addr - kUart0, value);
    if (addr >= kUart1 && addr < kUart1 + Uart::kBlockSize)
        return uart1_->write(addr - kUart1, value);
    if (addr == Gpio::kDirAddr || addr == Gpio::kDataAddr)
        return gpio_.write(now(), addr, value);
    char msg[64];
    std::snprintf(msg, sizeof msg, "bus error writing %05X", addr);
    bug(msg);
}

// ---------------------------------------------------------- user memory

static bool user_pointer_ok(const void* p, size_t n) {
    return n == 0 || reinterpret_cast<uintptr_t>(p) >= 4096;
}

bool Box::copy_from_user(void* to, const void* from, size_t n) {
    if (n && faults.user_copy_fail > 0) {
        // a fault inside the copy: the kernel zeroes what it could not copy
        --faults.user_copy_fail;
        std::memset(to, 0, n);
        return false;
    }
    if (!user_pointer_ok(from, n))
        return false;
    if (n)
        std::memcpy(to, from, n);
    return true;
}

bool Box::copy_to_user(void* to, const void* from, size_t n) {
    if (n && faults.user_copy_fail > 0) {
        --faults.user_copy_fail;
        return false;
    }
    if (!user_pointer_ok(to, n))
        return false;
    if (n)
        std::memcpy(to, from, n);
    return true;
}

void Box::abort_current() {
    m_->restore_irqs(true);
    std::longjmp(m_->current()->abort_jmp, 1);
}

// --------------------------------------------------------------- module

void Box::apply_boot_faults() {
    if (faults.major_taken && !chrdevs_.registered(kMicomMajor))
        chrdevs_.register_chrdev(kMicomMajor, 0, 256, "other", nullptr, true);
    if (faults.irq_taken && !m_->irq_installed(FP_IRQ))
        m_->request_irq(FP_IRQ, other_driver_isr, this, "other");
    proc_.fail_creation(faults.proc_fail_nth);
    input_.fail_allocate = faults.input_alloc_fail;
    input_.fail_register = faults.input_register_fail;
    devices_.fail_register = faults.device_register_fail;
    rtc_->fail_register = faults.rtc_register_fail;
}

void Box::clear_faults() {
    if (faults.major_taken)
        chrdevs_.unregister_chrdev(kMicomMajor, true);
    if (faults.irq_taken)
        m_->free_irq(FP_IRQ, this);
    faults = KernelFaults{};
}

int Box::boot() {
    if (halted_) {
        // The CPU halted while the micom kept the box on (the power-off
        // reached no micom: /dev/micom was open).  Nothing of that kernel
        // runs again: a start takes a power cycle, as pulling the plug
        // would, and finds a fresh kernel and a freshly loaded driver.
        power_off_now();
    }
    if (!powered_) {
        // switched on by hand: a fresh start, as when the micom switches it
        // on; the contexts that lost power unwind before their image goes
        if (m_->current() == m_->world())
            m_->settle();
        // It is the micom that powers the box, so it is asked to: then its
        // state and the kernel's agree (it sends keys only to a box it has
        // on).  Its switch-on finds the box on already: this is the start.
        powered_ = true;
        if (!micom_->switch_box_on()) {
            powered_ = false;
            return -EIO;  // the micom does not run, nothing powers the box
        }
        if (stale_module_) {
            unmap_module(stale_module_);
            stale_module_ = nullptr;
        }
        set_wall_ns(0);
        halted_ = false;
    }
    return load_module();
}

int Box::set_wall_clock(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec,
                        long nsec) {
    int64_t ns = 0;
    const int r = sim::set_wall_clock(year, mon, day, hour, min, sec, nsec, ns, beyond_clock_, m_->jiffies(),
                                      now(), log_);
    if (r == 0)
        set_wall_ns(ns);
    return r;
}

int Box::load_module() {
    if (module_)
        return -EEXIST;
    beyond_clock_ = RateLimit{60ul * cfg_.hz, 1, "kp_set_wall_clock"};
    int err = 0;
    void* h = map_driver(&err);
    if (!h)
        return err;
    return run_process("insmod", [this, h] { return start_driver(h); });
}

void* Box::map_driver(int* err) {
    ++boots_;
    apply_boot_faults();
    std::string error;
    void* h = loader_->load(&error);
    if (!h) {
        std::fprintf(stderr, "fpsim: cannot load %s: %s\n", cfg_.module_path.c_str(), error.c_str());
        *err = last_boot_result_ = -ENOENT;
        return nullptr;
    }
    auto vermagic = static_cast<const char*>(dlsym(h, "fp_module_vermagic"));
    if (!vermagic || std::strcmp(vermagic, FP_MODULE_VERMAGIC) != 0 || !dlsym(h, "init_fp")) {
        log_.add(now(), "\x01" "3frontpanel: disagrees about version of symbol module_layout");
        unmap_module(h);
        *err = last_boot_result_ = -ENOEXEC;
        return nullptr;
    }
    module_base_ = image_base(h);
    return h;
}

int Box::start_driver(void* h) {
    auto init = reinterpret_cast<int (*)()>(dlsym(h, "init_fp"));
    int r = init();
    last_boot_result_ = r;
    if (r != 0) {
        // the module is not loaded: whatever it left registered is a leak
        if (!leftovers().empty())
            bug("failed start left registrations behind");
        reset_kernel_state();
        unmap_module(h);
        return r;
    }
    module_ = h;
    return r;
}

int Box::unload_module() {
    if (!module_)
        return -ENOENT;
    if (chrdevs_.module_refs() > 0 || rtc_->module_refs() > 0)
        return -EBUSY;  // in use: an open /dev/micom or /dev/rtc0 holds the module
    auto cleanup = reinterpret_cast<void (*)()>(dlsym(module_, "cleanup_fp"));
    run_process("rmmod", [cleanup] {
        cleanup();
        return 0;
    });
    m_->settle();
    void* h = module_;
    module_ = nullptr;
    if (!leftovers().empty())
        bug("module left registrations behind at unload");
    reset_kernel_state();
    unmap_module(h);
    return 0;
}

void* Box::module_symbol(const char* name) const {
    return module_ ? dlsym(module_, name) : nullptr;
}

std::vector<std::string> Box::leftovers() const {
    std::vector<std::string> v;
    for (auto& n : proc_.names())
        v.push_back("/proc/" + n);
    if (chrdevs_.module_devices())
        v.push_back("character device");
    for (unsigned line : {unsigned(FP_IRQ), unsigned(FP_ISP_IRQ)})
        if (m_->irq_installed(line) && !(line == 10 && faults.irq_taken))
            v.push_back("interrupt " + std::to_string(line));
    for (const RtcDevice* r : rtc_->registered())
        v.push_back("RTC device rtc" + std::to_string(r->id));
    for (const Device* d : devices_.devices())
        v.push_back("device " + d->name);
    if (!input_.registered().empty())
        v.push_back("input device");
    else if (input_.allocated())
        v.push_back("unreleased input device");
    for (Task* t : m_->live_tasks())
        if (t->is_kthread)
            v.push_back("kernel thread " + t->name);
    if (pm_power_off && hook_in_module_image())
        v.push_back("power-off hook");
    return v;
}

// A later load must start from the module's load-time globals, and nothing
// may run its code in between: the image must really go.
void Box::unmap_module(void* h) {
    last_unload_unmapped_ = loader_->unload(h);
    if (!last_unload_unmapped_)
        bug("module image still mapped after unload");
}

void Box::reset_kernel_state() {
    // contexts of the module (its kernel threads) cannot outlive it
    for (Task* t : m_->live_tasks())
        if (t->is_kthread) {
            t->aborting = true;
            t->state = Task::State::Sleeping;
            m_->wake(t);
        }
    release_kthreads();
    if (m_->current() == m_->world())
        while (!m_->live_tasks().empty() && m_->current() == m_->world()) {
            bool any_kthread = false;
            for (Task* t : m_->live_tasks())
                any_kthread |= t->is_kthread;
            if (!any_kthread)
                break;
            m_->settle();
        }
    proc_.reset();
    chrdevs_.reset_module_devices();
    for (unsigned line : {unsigned(FP_IRQ), unsigned(FP_ISP_IRQ)})
        if (!(line == 10 && faults.irq_taken))
            m_->clear_irq(line);
    for (InputDevice* d : input_.registered())
        input_.unregister(*m_, d);
    input_.reset();
    rtc_->reset();
    devices_.reset();
    if (hook_in_module_image())
        pm_power_off = nullptr;
    files_->clear();
}

// The module's handles on its kernel threads go with it: nobody stops them
// any more, so each is reaped once it has ended.
void Box::release_kthreads() {
    for (Task* t : m_->live_tasks())
        if (t->is_kthread)
            m_->release(t);
}

// Whether the power-off hook points into the module's image (the last one
// loaded), as opposed to another driver's hook.
bool Box::hook_in_module_image() const {
    if (!pm_power_off)
        return false;
    Dl_info hook{};
    if (!dladdr(reinterpret_cast<void*>(pm_power_off), &hook) || !module_base_)
        return false;
    return hook.dli_fbase == module_base_;
}

// ------------------------------------------------------------ processes

int Box::run_process(const std::string& name, std::function<int()> body) {
    Task* t = m_->spawn(name, std::move(body), true);
    const bool ended = m_->run_until_done(t);
    const int result = t->result;
    m_->release(t);
    if (!ended) {
        bug("deadlock: every context is blocked and nothing is due (running " + name + ")");
        return -1;
    }
    return result;
}

SysResult Box::proc_read(const std::string& name, size_t count) { return file_read("/proc/" + name, count); }

long Box::proc_write(const std::string& name, const std::string& data) { return file_write("/proc/" + name, data); }

SysResult Box::file_read(const std::string& path, size_t count) {
    SysResult r;
    run_process("cat", [&] {
        std::string buf(count, '\0');
        long fd = sys_open(path);
        if (fd < 0) {
            r.ret = fd;
            return 0;
        }
        r.ret = sys_read(fd, buf.data(), count);
        if (r.ret > 0)
            r.data.assign(buf.data(), size_t(r.ret));
        sys_close(fd);
        return 0;
    });
    return r;
}

long Box::file_write(const std::string& path, const std::string& data) {
    long ret = 0;
    run_process("echo", [&] {
        long fd = sys_open(path);
        if (fd < 0) {
            ret = fd;
            return 0;
        }
        ret = sys_write(fd, data.data(), data.size());
        sys_close(fd);
        return 0;
    });
    return ret;
}

void Box::settle_work(Nanos limit) {
    const Nanos until = now() + limit;
    while (rtc_->work_pending() && now() < until)
        m_->run_for(1'000'000);
}

// Files of simulated programs: /proc entries, /dev/micom and the RTC class's
// files (kernel/file_table).
long Box::sys_open(const std::string& path) {
    enter_kernel();
    return files_->open(path);
}

long Box::sys_close(long fd) {
    enter_kernel();
    return files_->close(fd);
}

long Box::sys_read(long fd, void* buf, size_t n) {
    enter_kernel();
    return files_->read(fd, buf, n);
}

long Box::sys_write(long fd, const void* buf, size_t n) {
    enter_kernel();
    return files_->write(fd, buf, n);
}

long Box::sys_ioctl(long fd, unsigned int cmd, unsigned long arg) {
    enter_kernel();
    return files_->ioctl(fd, cmd, arg);
}

// ---------------------------------------------------------------- power

void Box::poweroff() {
    run_process("poweroff", [this] {
        if (pm_power_off)
            pm_power_off();
        // the CPU halts: nothing of the kernel runs any more, but the UARTs
        // finish sending what they hold
        halted_ = true;
        for (Task* t : m_->live_tasks())
            if (t != m_->current()) {
                t->aborting = true;
                t->state = Task::State::Sleeping;
                m_->wake(t);
            }
        for (unsigned line : {unsigned(FP_IRQ), unsigned(FP_ISP_IRQ)})
            m_->clear_irq(line);
        return 0;
    });
}

void Box::power_off_now() {
    if (!powered_)
        return;
    powered_ = false;
    halted_ = false;
    for (Task* t : m_->live_tasks()) {
        if (t->name == "boot")
            continue;
        t->aborting = true;
        if (t != m_->current()) {
            t->state = Task::State::Sleeping;
            m_->wake(t);
        } else if (t->state == Task::State::Sleeping) {
            // this context is running the idle loop: let it return and unwind
            t->state = Task::State::Runnable;
        }
    }
    release_kthreads();
    proc_.reset();
    chrdevs_.reset_module_devices();
    for (unsigned line : {unsigned(FP_IRQ), unsigned(FP_ISP_IRQ)})
        m_->clear_irq(line);
    for (InputDevice* d : input_.registered())
        input_.unregister(*m_, d);
    input_.reset();
    rtc_->reset();
    devices_.reset();
    pm_power_off = nullptr;
    files_->clear();
    uart0_->reset();
    uart1_->reset();
    gpio_.reset();
    // the module image is unmapped at the next boot, once no context is in it
    stale_module_ = module_ ? module_ : stale_module_;
    module_ = nullptr;
}

void Box::power_on_boot() {
    if (powered_)
        return;
    booting_ = true;
    Task* boot = m_->spawn("boot", [this] {
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{booting_};
        if (stale_module_) {
            unmap_module(stale_module_);
            stale_module_ = nullptr;
        }
        powered_ = true;
        set_wall_ns(0);  // the kernel's clock starts from nothing
        int err = 0;
        void* h = map_driver(&err);
        return h ? start_driver(h) : err;
    }, true);
    m_->release(boot);  // nobody waits for it: its result is last_boot_result()
}

}  // namespace sim
