// SPDX-License-Identifier: MIT
/*
 * The kernel log, text formatting, user copies, kernel threads, the power-off
 * hook and register polling.
 */
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/kthread.h>
#include <linux/numa.h>
#include <linux/pm.h>
#include <linux/printk.h>
#include <linux/sched.h>
#include <linux/uaccess.h>

#include "platform/kp_log.h"
#include "platform/kp_power.h"
#include "platform/kp_soc.h"
#include "platform/kp_thread.h"
#include "platform/kp_uaccess.h"
#include "fp_glue.h"
#include "kp_compat.h"

static_assert(KP_DUMP_PREFIX_NONE == DUMP_PREFIX_NONE, "hex dump prefix");

/* ---- log and formatting ------------------------------------------------ */

int kp_printk(const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = vprintk(fmt, args);
	va_end(args);
	return n;
}

void kp_print_hex_dump(const char *level, const char *prefix_str,
		       int prefix_type, int rowsize, int groupsize,
		       const void *buf, size_t len, int ascii)
{
	print_hex_dump(level, prefix_str, prefix_type, rowsize, groupsize, buf,
		       len, ascii);
}

int kp_snprintf(char *buf, size_t size, const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = vsnprintf(buf, size, fmt, args);
	va_end(args);
	return n;
}

int kp_sscanf(const char *buf, const char *fmt, ...)
{
	va_list args;
	int n;

	va_start(args, fmt);
	n = vsscanf(buf, fmt, args);
	va_end(args);
	return n;
}

/* ---- user copies ------------------------------------------------------- */

unsigned long kp_copy_from_user(void *to, const void *ufrom, unsigned long n)
{
	return copy_from_user(to, (const void __user *)ufrom, n);
}

unsigned long kp_copy_to_user(void *uto, const void *from, unsigned long n)
{
	return copy_to_user((void __user *)uto, from, n);
}

/* ---- kernel threads ---------------------------------------------------- */

kp_task *kp_kthread_create(kp_thread_fn fn, void *data, const char *name)
{
	struct task_struct *t =
		kthread_create_on_node(fn, data, NUMA_NO_NODE, "%s", name);

	return IS_ERR(t) ? NULL : (kp_task *)t;
}

void kp_wake_up_process(kp_task *task)
{
	wake_up_process((struct task_struct *)task);
}

int kp_kthread_should_stop(void)
{
	return kthread_should_stop();
}

int kp_kthread_stop(kp_task *task)
{
	return kthread_stop((struct task_struct *)task);
}

/* ---- the power-off hook -------------------------------------------------
 *
 * The core installs its hook with kp_set_pm_power_off() and later puts back
 * what kp_get_pm_power_off() gave it.  While the core's hook is installed,
 * the kernel's pm_power_off is a trampoline that runs the core's hook and
 * then the hook that was there before (on Malta the board's own power-off,
 * which ends the machine), so the micom hears of the power-off and the box
 * still goes off.
 */
static kp_power_off_t fp_core_hook;     /* the core's hook, NULL when none */
static typeof(pm_power_off) fp_previous_hook; /* the kernel's hook before ours */

static void fp_power_off(void)
{
	kp_power_off_t core = READ_ONCE(fp_core_hook);
	typeof(fp_previous_hook) previous = READ_ONCE(fp_previous_hook);

	if (core)
		core();
	if (previous)
		previous();
}

kp_power_off_t kp_get_pm_power_off(void)
{
	return pm_power_off == fp_power_off ? fp_core_hook : pm_power_off;
}

void kp_set_pm_power_off(kp_power_off_t fn)
{
	if (pm_power_off != fp_power_off) {
		if (!fn || fn == pm_power_off)
			return;
		fp_previous_hook = pm_power_off;
		WRITE_ONCE(fp_core_hook, fn);
		pm_power_off = fp_power_off;
		return;
	}
	if (!fn || fn == fp_previous_hook) {
		/* the core withdraws its hook: the kernel's own comes back */
		pm_power_off = fp_previous_hook;
		WRITE_ONCE(fp_core_hook, NULL);
		fp_previous_hook = NULL;
		return;
	}
	WRITE_ONCE(fp_core_hook, fn);
}

/* ---- register polling --------------------------------------------------- */

/*
 * The SoC's UART status bits come within a character time; the driver polls
 * for them with interrupts off, so this is a plain bounded busy loop, one
 * read and one microsecond a round, on the board's register accessors.
 */
int kp_reg_poll32(u32 kseg1_addr, u32 bits, unsigned int limit_us)
{
	unsigned int us;

	for (us = 0; us < limit_us; us++) {
		if ((kp_reg_read32(kseg1_addr) & bits) == bits)
			return 1;
		tangox_udelay(1);
	}
	return (kp_reg_read32(kseg1_addr) & bits) == bits;
}
