/* SPDX-License-Identifier: MIT */
/*
 * What differs between the kernels the glue is built for, in one place: the
 * rest of the glue tests the features named here, never a version.
 *
 * Tested: Linux 3.9 (the box's generation; MIPS32r2 Malta in QEMU), 6.1 and
 * 6.12 (x86-64, 6.1 also on Malta).  3.10 to 5.5 changed the /proc
 * interface twice (PDE_DATA and file_operations, then proc_ops) and cannot
 * be tested here, so they are refused rather than built untested; so is
 * anything before 3.9.
 *
 *                        3.9                         5.6 and later
 *   /proc entries        create_proc_entry() with    proc_create_data() with
 *                        read_proc/write_proc        proc_ops and the glue's
 *                        (the kernel's read loop)    copy of the legacy loop
 *   entry data           the handlers' data          pde_data() (PDE_DATA()
 *                        argument                    before 5.17)
 *   wall clock           struct timespec,            struct timespec64,
 *                        do_settimeofday(),          do_settimeofday64(),
 *                        timespec_valid_strict(),    timespec64_valid_settod(),
 *                        limit KTIME_SEC_MAX         limit TIME_SETTOD_SEC_MAX
 *                        (2038 with 32-bit longs)
 *   wait entry           wait_queue_t, init_wait()   struct wait_queue_entry,
 *                                                    init_wait_entry()
 *   READ_ONCE/           ACCESS_ONCE()               the kernel's own
 *   WRITE_ONCE
 *   static_assert        _Static_assert              <linux/build_bug.h>
 *   signal_pending()     <linux/sched.h>             <linux/sched/signal.h>
 *   module_init/exit     aliases without the         aliases that copy them
 *                        function's attributes
 *   RTC class device     rtc_device_register() and   devm_rtc_allocate_device(), then
 *                        rtc_device_unregister();    rtc_register_device() (to 5.10) or
 *                        no range: the core checks   devm_rtc_register_device() (5.11 on);
 *                        it; update interrupts off   range_min/range_max; update
 *                        with uie_unsupported        interrupts off with uie_unsupported
 *                                                    (to 5.15) or by clearing
 *                                                    RTC_FEATURE_UPDATE_INTERRUPT (5.16 on);
 *                                                    RTC_FEATURE_ALARM_WAKEUP_ONLY (5.18 on)
 */
#ifndef FP_LINUX_KP_COMPAT_H
#define FP_LINUX_KP_COMPAT_H

#include <linux/version.h>

#if LINUX_VERSION_CODE < KERNEL_VERSION(3, 9, 0) || \
	(LINUX_VERSION_CODE >= KERNEL_VERSION(3, 10, 0) && \
	 LINUX_VERSION_CODE < KERNEL_VERSION(5, 6, 0))
#error "frontpanel: Linux 3.9 or 5.6 and later (tested: 3.9, 6.1, 6.12)"
#endif

#if LINUX_VERSION_CODE < KERNEL_VERSION(3, 10, 0)

#include <linux/compiler.h>
#include <linux/sched.h>
#include <linux/time.h>
#include <linux/wait.h>

#define FP_PROC_LEGACY 1

#ifndef static_assert
#define static_assert(expr, msg) _Static_assert(expr, msg)
#endif
#define READ_ONCE(x) ACCESS_ONCE(x)
#define WRITE_ONCE(x, val) (ACCESS_ONCE(x) = (val))

#define fp_wait_entry __wait_queue /* wait_queue_t */
#define fp_init_wait_entry(w) init_wait(w)

#define fp_timespec timespec
#define FP_CLOCK_SEC_LIMIT ((s64)KTIME_SEC_MAX)
#define fp_timespec_valid(ts) timespec_valid_strict(ts)
#define fp_timespec_add_ns(ts, ns) timespec_add_ns(ts, ns)
#define fp_settimeofday(ts) do_settimeofday(ts)

/*
 * module_init() and module_exit() declare init_module/cleanup_module as
 * aliases of the module's functions without copying their attributes
 * (cold, the init and exit sections); gcc 9 and later warn about that.
 */
#if defined(__GNUC__) && __GNUC__ >= 9
#define FP_MODULE_ALIASES_WARN 1
#endif

#else /* 5.6 and later */

#include <linux/build_bug.h>
#include <linux/compiler.h>
#include <linux/sched/signal.h>
#include <linux/time64.h>
#include <linux/timekeeping.h>
#include <linux/wait.h>

#define FP_PROC_LEGACY 0

#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 17, 0)
#define pde_data(inode) PDE_DATA(inode)
#endif

#define fp_wait_entry wait_queue_entry
#define fp_init_wait_entry(w) init_wait_entry(w, 0)

#define fp_timespec timespec64
#define FP_CLOCK_SEC_LIMIT ((s64)TIME_SETTOD_SEC_MAX)
#define fp_timespec_valid(ts) timespec64_valid_settod(ts)
#define fp_timespec_add_ns(ts, ns) timespec64_add_ns(ts, ns)
#define fp_settimeofday(ts) do_settimeofday64(ts)

#endif

/* The RTC class's registration and feature bits (kp_rtc.c). */
#define FP_RTC_LEGACY_REGISTER (LINUX_VERSION_CODE < KERNEL_VERSION(3, 10, 0))
#define FP_RTC_DEVM_REGISTER (LINUX_VERSION_CODE >= KERNEL_VERSION(5, 11, 0))
#define FP_RTC_FEATURE_BITS (LINUX_VERSION_CODE >= KERNEL_VERSION(5, 16, 0))
#define FP_RTC_WAKEUP_ONLY (LINUX_VERSION_CODE >= KERNEL_VERSION(5, 18, 0))

#ifndef FP_MODULE_ALIASES_WARN
#define FP_MODULE_ALIASES_WARN 0
#endif

#endif
