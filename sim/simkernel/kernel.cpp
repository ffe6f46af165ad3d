// SPDX-License-Identifier: MIT
#include "simkernel/kernel.h"

#include <dlfcn.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "module_info.h"
#include "soc_map.h"

namespace sim {

namespace {

constexpr unsigned kMicomMajor = 75;
constexpr unsigned kModuleLines[] = {FP_IRQ, FP_ISP_IRQ};

void* image_base(void* handle) {
    Dl_info info{};
    void* sym = dlsym(handle, "init_fp");
    return sym && dladdr(sym, &info) ? info.dli_fbase : nullptr;
}

// A handler of "another driver" that holds interrupt 10 when that fault is set.
int other_driver_isr(int, void*) { return 0; }

bool user_pointer_ok(const void* p, size_t n) {
    return n == 0 || reinterpret_cast<uintptr_t>(p) >= 4096;
}

}  // namespace

Kernel::Kernel(Machine& m, Soc& soc, KernelConfig cfg) : m_(m), soc_(soc), cfg_(std::move(cfg)) {
    if (current_)
        std::fprintf(stderr, "fpsim: only one box per process\n");
    current_ = this;
    beyond_clock_ = RateLimit{60ul * m_.hz(), 1, "kp_set_wall_clock"};
    loader_ = std::make_unique<ModuleLoader>(cfg_.module_path, cfg_.restore_module_image);
    rtc_ = std::make_unique<RtcClass>(
        m_, [this](const std::string& what) { bug(what); },
        [this](void* to, const void* from, size_t n) { return copy_from_user(to, from, n); },
        [this](void* to, const void* from, size_t n) { return copy_to_user(to, from, n); });
    files_ = std::make_unique<FileTable>(m_, proc_, chrdevs_, *rtc_, kMicomMajor,
                                         [this](void* to, const void* from, size_t n) {
                                             return copy_to_user(to, from, n);
                                         });
}

Kernel::~Kernel() {
    if (module_) {
        tear_down(Teardown::module_gone);
        unmap_module(module_);
        module_ = nullptr;
    }
    // the image of a module that lost power goes too: the next box in this
    // process must load a fresh one
    if (stale_module_) {
        unmap_module(stale_module_);
        stale_module_ = nullptr;
    }
    // the RTC class's pending work is cancelled in the machine's event queue
    rtc_.reset();
    if (current_ == this)
        current_ = nullptr;
}

void Kernel::bug(const std::string& what) {
    bugs_.push_back(what);
    log_.add(m_.now(), "\x01" "3BUG: " + what);
}

// ---------------------------------------------------------- user memory

// A copy across the user boundary, @user being the user side's pointer:
// false when it faults (an injected fault, or a pointer into the first
// page).  Copying in, the kernel zeroes what it could not copy.
static bool user_copy(KernelFaults& faults, void* to, const void* from, size_t n, const void* user,
                      bool zero_on_fault) {
    if (n && faults.user_copy_fail > 0) {
        --faults.user_copy_fail;
        if (zero_on_fault)
            std::memset(to, 0, n);
        return false;
    }
    if (!user_pointer_ok(user, n))
        return false;
    if (n)
        std::memcpy(to, from, n);
    return true;
}

bool Kernel::copy_from_user(void* to, const void* from, size_t n) {
    return user_copy(faults, to, from, n, from, true);
}

bool Kernel::copy_to_user(void* to, const void* from, size_t n) {
    return user_copy(faults, to, from, n, to, false);
}

void Kernel::abort_current() {
    m_.restore_irqs(true);
    std::longjmp(m_.current()->abort_jmp, 1);
}

// ----------------------------------------------------------- wall clock

int Kernel::set_wall_clock(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec,
                           long nsec) {
    int64_t ns = 0;
    const int r = sim::set_wall_clock(year, mon, day, hour, min, sec, nsec, ns, beyond_clock_, m_.jiffies(),
                                      m_.now(), log_);
    if (r == 0)
        set_wall_ns(ns);
    return r;
}

// --------------------------------------------------------------- module

void Kernel::apply_boot_faults() {
    if (faults.major_taken && !chrdevs_.registered(kMicomMajor))
        chrdevs_.register_chrdev(kMicomMajor, 0, 256, "other", nullptr, true);
    if (faults.irq_taken && !m_.irq_installed(FP_IRQ))
        m_.request_irq(FP_IRQ, other_driver_isr, this, "other");
    proc_.fail_creation(faults.proc_fail_nth);
    input_.fail_allocate = faults.input_alloc_fail;
    input_.fail_register = faults.input_register_fail;
    devices_.fail_register = faults.device_register_fail;
    rtc_->fail_register = faults.rtc_register_fail;
}

void Kernel::clear_faults() {
    if (faults.major_taken)
        chrdevs_.unregister_chrdev(kMicomMajor, true);
    if (faults.irq_taken)
        m_.free_irq(FP_IRQ, this);
    faults = KernelFaults{};
}

int Kernel::load_module() {
    if (module_)
        return -EEXIST;
    beyond_clock_ = RateLimit{60ul * m_.hz(), 1, "kp_set_wall_clock"};
    int err = 0;
    void* h = map_driver(&err);
    if (!h)
        return err;
    return run_process("insmod", [this, h] { return start_driver(h); });
}

int Kernel::load_module_here() {
    int err = 0;
    void* h = map_driver(&err);
    return h ? start_driver(h) : err;
}

void* Kernel::map_driver(int* err) {
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
        log_.add(m_.now(), "\x01" "3frontpanel: disagrees about version of symbol module_layout");
        unmap_module(h);
        *err = last_boot_result_ = -ENOEXEC;
        return nullptr;
    }
    module_base_ = image_base(h);
    return h;
}

int Kernel::start_driver(void* h) {
    auto init = reinterpret_cast<int (*)()>(dlsym(h, "init_fp"));
    int r = init();
    last_boot_result_ = r;
    if (r != 0) {
        // the module is not loaded: whatever it left registered is a leak
        if (!leftovers().empty())
            bug("failed start left registrations behind");
        tear_down(Teardown::module_gone);
        unmap_module(h);
        return r;
    }
    module_ = h;
    return r;
}

int Kernel::unload_module() {
    if (!module_)
        return -ENOENT;
    if (chrdevs_.module_refs() > 0 || rtc_->module_refs() > 0)
        return -EBUSY;  // in use: an open /dev/micom or /dev/rtc0 holds the module
    auto cleanup = reinterpret_cast<void (*)()>(dlsym(module_, "cleanup_fp"));
    run_process("rmmod", [cleanup] {
        cleanup();
        return 0;
    });
    m_.settle();
    void* h = module_;
    module_ = nullptr;
    if (!leftovers().empty())
        bug("module left registrations behind at unload");
    tear_down(Teardown::module_gone);
    unmap_module(h);
    return 0;
}

void* Kernel::module_symbol(const char* name) const {
    if (!module_)
        return nullptr;
    // The checks and the harnesses ask for the same few symbols after every
    // step, and dlsym() takes the dynamic linker's lock and walks its hash
    // tables.  The answers are kept (outside every box heap) for as long as
    // no image is mapped or unmapped.
    struct Known {
        const void* handle;
        unsigned mappings;
        char name[40];
        void* addr;
    };
    // (per thread: boxes that map images of their own may run side by side;
    // this library is linked, never opened, so its thread-local words sit at
    // a fixed offset)
    [[gnu::tls_model("initial-exec")]] static thread_local Known known[8];
    [[gnu::tls_model("initial-exec")]] static thread_local unsigned next;
    const unsigned mappings = ModuleLoader::mappings();
    auto same = [](const char* a, const char* b) {  // (no call: a checked strcmp() in the sanitizers' builds)
        while (*a && *a == *b)
            ++a, ++b;
        return *a == *b;
    };
    for (const Known& e : known)
        if (e.handle == module_ && e.mappings == mappings && same(e.name, name))
            return e.addr;
    void* addr = dlsym(module_, name);
    if (std::strlen(name) < sizeof known[0].name) {
        Known& e = known[next++ % 8];
        e.handle = module_;
        e.mappings = mappings;
        std::strcpy(e.name, name);
        e.addr = addr;
    }
    return addr;
}

std::vector<std::string> Kernel::leftovers() const {
    std::vector<std::string> v;
    for (auto& n : proc_.names())
        v.push_back("/proc/" + n);
    if (chrdevs_.module_devices())
        v.push_back("character device");
    for (unsigned line : kModuleLines)
        if (m_.irq_installed(line) && !(line == FP_IRQ && faults.irq_taken))
            v.push_back("interrupt " + std::to_string(line));
    for (const RtcDevice* r : rtc_->registered())
        v.push_back("RTC device rtc" + std::to_string(r->id));
    for (const Device* d : devices_.devices())
        v.push_back("device " + d->name);
    if (!input_.registered().empty())
        v.push_back("input device");
    else if (input_.allocated())
        v.push_back("unreleased input device");
    for (Task* t : m_.live_tasks())
        if (t->is_kthread)
            v.push_back("kernel thread " + t->name);
    if (pm_power_off && hook_in_module_image())
        v.push_back("power-off hook");
    return v;
}

// A later load must start from the module's load-time globals, and nothing
// may run its code in between: the image must really go.
void Kernel::unmap_module(void* h) {
    last_unload_unmapped_ = loader_->unload(h);
    if (!last_unload_unmapped_)
        bug("module image still mapped after unload");
}

// The one teardown.  The module gone: its kernel threads cannot outlive it,
// so they unwind and are waited for; another driver's interrupt stays.  The
// power lost: every context but the boot's unwinds where it is, nobody waits,
// and every line and the power-off hook go.
void Kernel::tear_down(Teardown how) {
    if (how == Teardown::module_gone) {
        for (Task* t : m_.live_tasks())
            if (t->is_kthread) {
                t->aborting = true;
                t->state = Task::State::Sleeping;
                m_.wake(t);
            }
        release_kthreads();
        if (m_.current() == m_.world())
            while (!m_.live_tasks().empty() && m_.current() == m_.world()) {
                bool any_kthread = false;
                for (Task* t : m_.live_tasks())
                    any_kthread |= t->is_kthread;
                if (!any_kthread)
                    break;
                m_.settle();
            }
    } else {
        halted_ = false;
        for (Task* t : m_.live_tasks()) {
            if (t->name == "boot")
                continue;
            t->aborting = true;
            if (t != m_.current()) {
                t->state = Task::State::Sleeping;
                m_.wake(t);
            } else if (t->state == Task::State::Sleeping) {
                // this context is running the idle loop: let it return and unwind
                t->state = Task::State::Runnable;
            }
        }
        release_kthreads();
    }
    proc_.reset();
    chrdevs_.reset_module_devices();
    clear_module_lines(how == Teardown::module_gone);
    for (InputDevice* d : input_.registered())
        input_.unregister(m_, d);
    input_.reset();
    rtc_->reset();
    devices_.reset();
    if (how == Teardown::power_lost || hook_in_module_image())
        pm_power_off = nullptr;
    files_->clear();
}

void Kernel::abort_contexts(const Task* keep) {
    for (Task* t : m_.live_tasks())
        if (t != keep) {
            t->aborting = true;
            t->state = Task::State::Sleeping;
            m_.wake(t);
        }
}

// The module's two interrupt lines lose their handlers; with
// @keep_other_drivers, interrupt 10 stays with the driver that held it.
void Kernel::clear_module_lines(bool keep_other_drivers) {
    for (unsigned line : kModuleLines)
        if (!(keep_other_drivers && line == FP_IRQ && faults.irq_taken))
            m_.clear_irq(line);
}

// The module's handles on its kernel threads go with it: nobody stops them
// any more, so each is reaped once it has ended.
void Kernel::release_kthreads() {
    for (Task* t : m_.live_tasks())
        if (t->is_kthread)
            m_.release(t);
}

// Whether the power-off hook points into the module's image (the last one
// loaded), as opposed to another driver's hook.
bool Kernel::hook_in_module_image() const {
    if (!pm_power_off)
        return false;
    Dl_info hook{};
    if (!dladdr(reinterpret_cast<void*>(pm_power_off), &hook) || !module_base_)
        return false;
    return hook.dli_fbase == module_base_;
}

// ------------------------------------------------------------ processes

int Kernel::run_process(const std::string& name, std::function<int()> body) {
    Task* t = m_.spawn(name, std::move(body), true);
    const bool ended = m_.run_until_done(t);
    const int result = t->result;
    m_.release(t);
    if (!ended) {
        bug("deadlock: every context is blocked and nothing is due (running " + name + ")");
        return -1;
    }
    return result;
}

SysResult Kernel::proc_read(const std::string& name, size_t count) { return file_read("/proc/" + name, count); }

long Kernel::proc_write(const std::string& name, const std::string& data) {
    return file_write("/proc/" + name, data);
}

SysResult Kernel::file_read(const std::string& path, size_t count) {
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

long Kernel::file_write(const std::string& path, const std::string& data) {
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

void Kernel::settle_work(Nanos limit) {
    const Nanos until = m_.now() + limit;
    while (rtc_->work_pending() && m_.now() < until)
        m_.run_for(1'000'000);
}

// Files of simulated programs: /proc entries, /dev/micom and the RTC class's
// files (file_table.h).
long Kernel::sys_open(const std::string& path) {
    enter_kernel();
    return files_->open(path);
}

long Kernel::sys_close(long fd) {
    enter_kernel();
    return files_->close(fd);
}

long Kernel::sys_read(long fd, void* buf, size_t n) {
    enter_kernel();
    return files_->read(fd, buf, n);
}

long Kernel::sys_write(long fd, const void* buf, size_t n) {
    enter_kernel();
    return files_->write(fd, buf, n);
}

long Kernel::sys_ioctl(long fd, unsigned int cmd, unsigned long arg) {
    enter_kernel();
    return files_->ioctl(fd, cmd, arg);
}

// ---------------------------------------------------------------- power

void Kernel::poweroff() {
    run_process("poweroff", [this] {
        if (pm_power_off)
            pm_power_off();
        // the CPU halts: nothing of the kernel runs any more, but the UARTs
        // finish sending what they hold
        halted_ = true;
        abort_contexts(m_.current());
        clear_module_lines(false);
        return 0;
    });
}

void Kernel::fresh_start() {
    if (stale_module_) {
        unmap_module(stale_module_);
        stale_module_ = nullptr;
    }
    set_wall_ns(0);  // the kernel's clock starts from nothing
    halted_ = false;
}

void Kernel::power_lost() {
    tear_down(Teardown::power_lost);
    // the module image is unmapped at the next start, once no context is in it
    stale_module_ = module_ ? module_ : stale_module_;
    module_ = nullptr;
}

}  // namespace sim
