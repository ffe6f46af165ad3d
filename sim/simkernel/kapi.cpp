// SPDX-License-Identifier: MIT
// The platform interface of the driver core, implemented by the simulated
// kernel.  Every call is an interrupt point; a context whose box has lost power
// never returns from one into the driver.
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "simkernel/kernel.h"
#include "platform/kernel.h"
#include "simkernel/kernel_sscanf.h"
#include "platform/kp_mktime.h"

using sim::Kernel;
using sim::Machine;
using sim::Nanos;
using sim::Task;

namespace {

Kernel& the_kernel() {
    Kernel& k = *Kernel::current();
    k.enter_kernel();
    return k;
}

// ---- storage kept inside the driver's opaque objects ----

constexpr uint32_t kLockMagic = 0x10c4ed00, kWaitMagic = 0x0a17e0e0;

struct SimLock {
    uint32_t magic;
    int held;
};

struct SimWaitHead;

struct SimWaitEntry {
    Task* task;
    SimWaitEntry* next;
    SimWaitEntry* prev;
    SimWaitHead* head;
    int queued;
};

struct SimWaitHead {
    uint32_t magic;
    SimWaitEntry* first;
    SimWaitEntry* last;
};

static_assert(sizeof(SimLock) <= sizeof(kp_spinlock) && alignof(SimLock) <= 8);
static_assert(sizeof(SimWaitHead) <= sizeof(kp_wait_queue_head) && alignof(SimWaitHead) <= 8);
static_assert(sizeof(SimWaitEntry) <= sizeof(kp_wait_entry) && alignof(SimWaitEntry) <= 8);

SimLock* as_lock(kp_spinlock* l) { return reinterpret_cast<SimLock*>(l); }
SimWaitHead* as_head(kp_wait_queue_head* q) { return reinterpret_cast<SimWaitHead*>(q); }
SimWaitEntry* as_entry(kp_wait_entry* w) { return reinterpret_cast<SimWaitEntry*>(w); }

void unlink_entry(SimWaitHead* h, SimWaitEntry* e) {
    if (!e->queued)
        return;
    if (e->prev)
        e->prev->next = e->next;
    else
        h->first = e->next;
    if (e->next)
        e->next->prev = e->prev;
    else
        h->last = e->prev;
    e->next = e->prev = nullptr;
    e->queued = 0;
    if (e->task && e->task->wait_entry == e)
        e->task->wait_entry = nullptr;
}

/// A context unwound while linked into a wait queue: its entry goes.
void unlink_aborted(Task* t) {
    SimWaitEntry* e = static_cast<SimWaitEntry*>(t->wait_entry);
    unlink_entry(e->head, e);
}

void might_sleep(Kernel& k, const char* what) {
    Machine& m = k.machine();
    if (m.in_irq() || !m.irqs_enabled())
        k.bug(std::string("sleeping function called from invalid context: ") + what);
}

/// %lx of @v, as the box's 32-bit long prints it.
std::string hex_long(long v) {
    char text[24];
    std::snprintf(text, sizeof text, "%x", unsigned(v));
    return text;
}

long schedule_timeout_ticks(Kernel& k, long ticks) {
    Machine& m = k.machine();
    might_sleep(k, "schedule_timeout");
    if (ticks < 0) {  // the kernel's complaint; it returns at once
        k.log().add(k.machine().now(), "\x01" "3schedule_timeout: wrong timeout value " + hex_long(ticks));
        k.machine().set_sleeping(false);  // the task runs on
        return 0;
    }
    if (ticks == LONG_MAX) {  // MAX_SCHEDULE_TIMEOUT: no timer, until woken
        m.block();
        return LONG_MAX;
    }
    const unsigned long expire = m.jiffies() + (unsigned long)ticks;
    m.block(Nanos(expire) * m.tick_ns());
    long left = long(expire) - long(m.jiffies());
    return left > 0 ? left : 0;
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- lock

void kp_spin_lock_init(kp_spinlock* lock) {
    the_kernel();
    std::memset(lock, 0, sizeof(*lock));
    as_lock(lock)->magic = kLockMagic;
}

unsigned long kp_spin_lock_irqsave(kp_spinlock* lock) {
    Kernel& k = the_kernel();
    SimLock* l = as_lock(lock);
    bool was = k.machine().disable_irqs();
    if (l->magic != kLockMagic)
        k.bug("spin lock used before initialisation");
    if (l->held)
        k.bug("spinlock recursion: the driver lock is already held");
    l->held = 1;
    return was ? 1 : 0;
}

void kp_spin_unlock_irqrestore(kp_spinlock* lock, unsigned long flags) {
    Kernel& k = *Kernel::current();
    SimLock* l = as_lock(lock);
    if (!l->held)
        k.bug("spin unlock of a lock that is not held");
    l->held = 0;
    k.machine().restore_irqs(flags != 0);
}

// ---------------------------------------------------------- wait queues

void kp_init_waitqueue_head(kp_wait_queue_head* q) {
    the_kernel();
    std::memset(q, 0, sizeof(*q));
    as_head(q)->magic = kWaitMagic;
}

void kp_init_wait_entry(kp_wait_entry* w) {
    the_kernel();
    std::memset(w, 0, sizeof(*w));
}

void kp_prepare_to_wait(kp_wait_queue_head* q, kp_wait_entry* w) {
    Kernel& k = the_kernel();
    SimWaitHead* h = as_head(q);
    SimWaitEntry* e = as_entry(w);
    if (h->magic != kWaitMagic)
        k.bug("wait queue used before initialisation");
    e->task = k.machine().current();
    if (!e->queued) {
        e->head = h;
        e->task->wait_entry = e;
        e->task->unlink_wait = unlink_aborted;
        e->prev = h->last;
        e->next = nullptr;
        if (h->last)
            h->last->next = e;
        else
            h->first = e;
        h->last = e;
        e->queued = 1;
    }
    k.machine().set_sleeping(true);
}

long kp_schedule_timeout(long ticks) {
    return schedule_timeout_ticks(the_kernel(), ticks);
}

void kp_finish_wait(kp_wait_queue_head* q, kp_wait_entry* w) {
    Kernel& k = the_kernel();
    Task* t = k.machine().current();
    if (t->state == Task::State::Sleeping)
        t->state = Task::State::Runnable;
    unlink_entry(as_head(q), as_entry(w));
}

int kp_signal_pending(void) {
    return the_kernel().machine().current()->signal ? 1 : 0;
}

void kp_wake_up_interruptible(kp_wait_queue_head* q) {
    Kernel& k = the_kernel();
    SimWaitHead* h = as_head(q);
    for (SimWaitEntry* e = h->first; e;) {
        SimWaitEntry* next = e->next;
        Task* t = e->task;
        if (t->state == Task::State::Sleeping && t->interruptible) {
            k.machine().wake(t, true);
            unlink_entry(h, e);  // woken waiters leave the queue
        }
        e = next;
    }
}

// ---------------------------------------------------------------- time

unsigned long kp_jiffies(void) { return the_kernel().machine().jiffies(); }

unsigned int kp_hz(void) { return the_kernel().machine().hz(); }

void kp_msleep(unsigned int ms) {
    Kernel& k = the_kernel();
    const unsigned hz = k.machine().hz();
    // msecs_to_jiffies() rounds up, and msleep sleeps one tick more
    long ticks = long((uint64_t(ms) * hz + 999) / 1000) + 1;
    while (ticks > 0) {
        k.machine().set_sleeping(false);
        ticks = schedule_timeout_ticks(k, ticks);
    }
}

long kp_schedule_timeout_interruptible(long ticks) {
    Kernel& k = the_kernel();
    k.machine().set_sleeping(true);
    return schedule_timeout_ticks(k, ticks);
}

unsigned long kp_mktime(unsigned int year, unsigned int mon, unsigned int day, unsigned int hour,
                        unsigned int min, unsigned int sec) {
    the_kernel();
    return kp_mktime_box(year, mon, day, hour, min, sec);
}

int kp_set_wall_clock(unsigned int year, unsigned int mon, unsigned int day, unsigned int hour,
                      unsigned int min, unsigned int sec, long nsec) {
    return the_kernel().set_wall_clock(year, mon, day, hour, min, sec, nsec);
}

// ---------------------------------------------------------------- /proc

kp_proc_entry* kp_create_proc_entry(const char* name, unsigned short mode) {
    return reinterpret_cast<kp_proc_entry*>(the_kernel().procfs().create(name, mode));
}

void kp_proc_set_handlers(kp_proc_entry* entry, kp_read_proc_t read_proc, kp_write_proc_t write_proc,
                          void* data) {
    the_kernel();
    auto* e = reinterpret_cast<sim::ProcEntry*>(entry);
    e->read_proc = read_proc;
    e->write_proc = write_proc;
    e->data = data;
}

void kp_remove_proc_entry(const char* name) {
    Kernel& k = the_kernel();
    if (!k.procfs().find(name))
        k.bug(std::string("remove_proc_entry: /proc/") + name + " does not exist");
    k.procfs().remove(name);
}

// -------------------------------------------------------- character devices

int kp_register_chrdev(unsigned int major, unsigned int baseminor, unsigned int count, const char* name,
                       const kp_file_ops* ops) {
    Kernel& k = the_kernel();
    if (!ops)
        return -EINVAL;
    return k.chrdevs().register_chrdev(major, baseminor, count, name, ops);
}

void kp_unregister_chrdev(unsigned int major, unsigned int baseminor, unsigned int count, const char* name) {
    (void)baseminor;
    (void)count;
    (void)name;
    the_kernel().chrdevs().unregister_chrdev(major);
}

void kp_file_set_private(kp_file* file, void* data) {
    the_kernel();
    reinterpret_cast<sim::OpenFile*>(file)->private_data = data;
}

void* kp_file_get_private(kp_file* file) {
    the_kernel();
    return reinterpret_cast<sim::OpenFile*>(file)->private_data;
}

// -------------------------------------------------------------- input

static sim::InputDevice* as_dev(kp_input_dev* d) { return reinterpret_cast<sim::InputDevice*>(d); }

kp_input_dev* kp_input_allocate_device(void) {
    return reinterpret_cast<kp_input_dev*>(the_kernel().input().allocate());
}

void kp_input_free_device(kp_input_dev* dev) {
    if (dev)
        the_kernel().input().free(as_dev(dev));
}

int kp_input_register_device(kp_input_dev* dev) {
    Kernel& k = the_kernel();
    return k.input().register_device(k.machine(), as_dev(dev));
}

void kp_input_unregister_device(kp_input_dev* dev) {
    Kernel& k = the_kernel();
    if (dev)
        k.input().unregister(k.machine(), as_dev(dev));
}

void kp_input_set_name(kp_input_dev* dev, const char* name) {
    the_kernel();
    as_dev(dev)->name = name;
}

void kp_input_set_id(kp_input_dev* dev, uint16_t bustype, uint16_t vendor, uint16_t product,
                     uint16_t version) {
    the_kernel();
    auto* d = as_dev(dev);
    d->bustype = bustype;
    d->vendor = vendor;
    d->product = product;
    d->version = version;
}

void kp_input_set_evbit(kp_input_dev* dev, unsigned int type) {
    the_kernel();
    if (type < as_dev(dev)->evbit.size())
        as_dev(dev)->evbit.set(type);
}

void kp_input_set_keybit(kp_input_dev* dev, unsigned int code) {
    the_kernel();
    if (code <= sim::kKeyMax)
        as_dev(dev)->keybit.set(code);
}

void kp_input_clear_keybit(kp_input_dev* dev, unsigned int code) {
    the_kernel();
    if (code <= sim::kKeyMax)
        as_dev(dev)->keybit.reset(code);
}

void kp_input_set_keycode_table(kp_input_dev* dev, void* table, unsigned int entry_size, unsigned int entries) {
    the_kernel();
    auto* d = as_dev(dev);
    d->keycode = table;
    d->keycodesize = entry_size;
    d->keycodemax = entries;
}

void kp_input_set_rep(kp_input_dev* dev, int delay, int period) {
    the_kernel();
    as_dev(dev)->rep_delay = delay;
    as_dev(dev)->rep_period = period;
}

void kp_input_event(kp_input_dev* dev, unsigned int type, unsigned int code, int value) {
    Kernel& k = the_kernel();
    if (dev)
        as_dev(dev)->event(k.machine(), type, code, value);
}

// ---------------------------------------------------------- device model

static sim::Device* as_device(kp_device* d) { return reinterpret_cast<sim::Device*>(d); }
static sim::RtcDevice* as_rtc(kp_rtc_device* r) { return reinterpret_cast<sim::RtcDevice*>(r); }

int kp_device_register(const char* name, kp_device** dev) {
    Kernel& k = the_kernel();
    might_sleep(k, "platform_device_register");
    sim::Device* d = nullptr;
    const int r = k.devices().register_device(name ? name : "", &d);
    if (r == 0)
        *dev = reinterpret_cast<kp_device*>(d);
    return r;
}

void kp_device_unregister(kp_device* dev) {
    Kernel& k = the_kernel();
    might_sleep(k, "platform_device_unregister");
    for (const sim::RtcDevice* r : k.rtc().registered())
        if (r->parent == as_device(dev))
            k.bug("platform_device_unregister: its RTC device rtc" + std::to_string(r->id) + " is still registered");
    if (!k.devices().unregister(as_device(dev)))
        k.bug("platform_device_unregister of a device that is not registered");
}

void kp_input_set_parent(kp_input_dev* input, kp_device* parent) {
    Kernel& k = the_kernel();
    if (!k.devices().registered(as_device(parent)))
        k.bug("input device's parent is not a registered device");
    for (const sim::InputDevice* d : k.input().registered())
        if (d == as_dev(input))
            k.bug("input device's parent set after its registration");
}

// ------------------------------------------------------------ RTC class

int kp_rtc_register(kp_device* parent, const kp_rtc_desc* desc, kp_rtc_device** rtc) {
    Kernel& k = the_kernel();
    might_sleep(k, "rtc_device_register");
    if (!k.devices().registered(as_device(parent)))
        k.bug("rtc_device_register: the parent is not a registered device");
    sim::RtcDevice* r = nullptr;
    const int err = k.rtc().register_device(as_device(parent), desc, &r);
    if (err == 0)
        *rtc = reinterpret_cast<kp_rtc_device*>(r);
    return err;
}

void kp_rtc_unregister(kp_rtc_device* rtc) {
    Kernel& k = the_kernel();
    might_sleep(k, "rtc_device_unregister");
    k.rtc().unregister(as_rtc(rtc));
}

// --------------------------------------------------------------- interrupts

int kp_request_irq(unsigned int irq, kp_irq_handler_t handler, unsigned long flags, const char* name,
                   void* cookie) {
    Kernel& k = the_kernel();
    // as the Linux back-end: a line the board does not have, no handler or
    // another flag is refused before the kernel sees it
    if ((irq != FP_IRQ && irq != FP_ISP_IRQ) || !handler || (flags & ~(unsigned long)KP_IRQF_DISABLED))
        return -EINVAL;
    return k.machine().request_irq(irq, handler, cookie, name);
}

void kp_free_irq(unsigned int irq, void* cookie) {
    Kernel& k = the_kernel();
    if (!k.machine().free_irq(irq, cookie))
        k.bug("Trying to free already-free IRQ " + std::to_string(irq));
}

// ------------------------------------------------------------- kernel threads

kp_task* kp_kthread_create(kp_thread_fn fn, void* data, const char* name) {
    Kernel& k = the_kernel();
    if (k.faults.kthread_fail)
        return nullptr;
    Machine& m = k.machine();
    might_sleep(k, "kthread_create");
    Task* t = m.spawn(name, [&m, fn, data] {
        // a thread stopped before it ever ran does not run its function
        if (m.current()->should_stop)
            return -EINTR;
        return fn(data);
    }, false, true);
    // kthreadd makes the thread while the caller sleeps: whatever else is
    // runnable runs meanwhile (in no virtual time here)
    m.set_sleeping(false);
    m.block(m.now());
    return reinterpret_cast<kp_task*>(t);
}

void kp_wake_up_process(kp_task* task) {
    the_kernel().machine().wake(reinterpret_cast<Task*>(task));
}

int kp_kthread_should_stop(void) {
    return the_kernel().machine().current()->should_stop ? 1 : 0;
}

int kp_kthread_stop(kp_task* task) {
    Kernel& k = the_kernel();
    might_sleep(k, "kthread_stop");
    Task* t = reinterpret_cast<Task*>(task);
    t->should_stop = true;
    k.machine().wake(t);
    k.machine().join(t);
    const int result = t->result;
    k.machine().release(t);  // the thread is gone: the handle is no more
    return result;
}

// ------------------------------------------------------------------ log

int kp_printk(const char* fmt, ...) {
    Kernel& k = the_kernel();
    va_list ap;
    va_start(ap, fmt);
    k.log().vprintk(k.machine().now(), fmt, ap);
    va_end(ap);
    return 0;
}

void kp_print_hex_dump(const char* level, const char* prefix_str, int prefix_type, int rowsize,
                       int groupsize, const void* buf, size_t len, int ascii) {
    (void)prefix_type;
    (void)ascii;
    Kernel& k = the_kernel();
    k.log().hex_dump(k.machine().now(), level, prefix_str, rowsize, groupsize, buf, len);
}

int kp_snprintf(char* buf, size_t size, const char* fmt, ...) {
    the_kernel();
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return n;
}

int kp_sscanf(const char* buf, const char* fmt, ...) {
    Kernel& k = the_kernel();
    va_list ap;
    va_start(ap, fmt);
    const sim::KernelScan scan = sim::kernel_vsscanf(buf, fmt, ap);
    va_end(ap);
    if (scan.unsupported)
        k.bug(std::string("sscanf: the simulated kernel has no ") + scan.unsupported + " conversion");
    return scan.converted;
}

// -------------------------------------------------------- user memory

unsigned long kp_copy_from_user(void* to, const void* ufrom, unsigned long n) {
    return the_kernel().copy_from_user(to, ufrom, n) ? 0 : n;
}

unsigned long kp_copy_to_user(void* uto, const void* from, unsigned long n) {
    return the_kernel().copy_to_user(uto, from, n) ? 0 : n;
}

// ---------------------------------------------------------------- power

kp_power_off_t kp_get_pm_power_off(void) { return the_kernel().pm_power_off; }

void kp_set_pm_power_off(kp_power_off_t fn) { the_kernel().pm_power_off = fn; }

// ------------------------------------------------------------------ SoC

uint32_t gbus_read_uint32(struct gbus* bus, uint32_t addr) {
    (void)bus;
    return the_kernel().soc().read(addr);
}

void gbus_write_uint32(struct gbus* bus, uint32_t addr, uint32_t data) {
    (void)bus;
    the_kernel().soc().write(addr, data, true);
}

uint32_t tangox_chip_id(void) { return the_kernel().soc().chip_id(); }

void tangox_udelay(unsigned int usec) {
    the_kernel().machine().busy_wait(Nanos(usec) * 1000);
}

uint32_t kp_reg_read32(uint32_t kseg1_addr) {
    return the_kernel().soc().read(kseg1_addr & FP_KSEG1_MASK);
}

void kp_reg_write32(uint32_t kseg1_addr, uint32_t value) {
    the_kernel().soc().write(kseg1_addr & FP_KSEG1_MASK, value, false);
}

void kp_sync(void) { the_kernel(); }

// Each round costs what it costs on the box: a platform call, a register
// access and a microsecond.  Rounds that no device event falls into read
// what the round before them read and change nothing, so they are passed
// over in one busy wait of their total length: virtual time, interrupts and
// every read that matters come out as if each round had run.
int kp_reg_poll32(uint32_t kseg1_addr, uint32_t bits, unsigned int limit_us) {
    Kernel& k = *Kernel::current();
    Machine& m = k.machine();
    const sim::EventQueue& q = m.events();
    const Nanos round = k.soc().access_ns() + 1000;
    // (a status read clears error bits: it reads the same again only while
    // no event sets them)
    const bool skippable = !k.soc().read_has_side_effects(kseg1_addr & FP_KSEG1_MASK);
    for (unsigned int us = 0; us < limit_us; us++) {
        if ((kp_reg_read32(kseg1_addr) & bits) == bits)
            return 1;
        const Nanos quiet = q.empty() ? ~Nanos(0) : q.next_time();
        tangox_udelay(1);
        // nothing came since the read: round j from now would run the
        // events up to now + (j + 1) * round
        if (!skippable || quiet <= m.now() || us + 1 >= limit_us)
            continue;
        uint64_t alike = (quiet - m.now() - 1) / round;
        if (alike > limit_us - us - 1)
            alike = limit_us - us - 1;
        if (alike) {
            m.busy_wait(Nanos(alike) * round);
            us += unsigned(alike);
        }
    }
    return (kp_reg_read32(kseg1_addr) & bits) == bits;
}

}  // extern "C"

namespace sim {

size_t wait_queue_waiters(const kp_wait_queue_head* q) {
    size_t n = 0;
    for (const SimWaitEntry* e = reinterpret_cast<const SimWaitHead*>(q)->first; e; e = e->next)
        ++n;
    return n;
}

}  // namespace sim
