// SPDX-License-Identifier: MIT
/*
 * Ticks, sleeping and the wall clock.
 *
 * The core sets the wall clock from the receive interrupt, but on 6.1
 * do_settimeofday64() may sleep (its clock-was-set notification takes the
 * CPU-hotplug lock).  kp_settimeofday() therefore stamps the request with
 * the monotonic clock and hands it to a work item; the work item adds the
 * time the hand-over took, so the clock still ends up at the value the core
 * asked for at the moment it asked.  A newer request replaces one that has
 * not been applied yet.
 */
#include <linux/delay.h>
#include <linux/jiffies.h>
#include <linux/ktime.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/workqueue.h>

#include "kernel/kp_mktime.h"
#include "kernel/kp_time.h"
#include "fp_glue.h"
#include "kp_compat.h"

unsigned long kp_jiffies(void)
{
	return jiffies;
}

unsigned int kp_hz(void)
{
	return HZ;
}

void kp_msleep(unsigned int ms)
{
	msleep(ms);
}

long kp_schedule_timeout_interruptible(long ticks)
{
	return schedule_timeout_interruptible(ticks);
}

unsigned long kp_mktime(unsigned int year, unsigned int mon, unsigned int day,
			unsigned int hour, unsigned int min, unsigned int sec)
{
	return kp_mktime_box(year, mon, day, hour, min, sec);
}

static DEFINE_SPINLOCK(fp_clock_lock);
static fp_timespec fp_clock_value; /* what the core asked for */
static ktime_t fp_clock_stamp;     /* when it asked */
static bool fp_clock_pending;

static void fp_clock_apply(struct work_struct *work)
{
	fp_timespec ts;
	unsigned long flags;
	s64 late;
	bool pending;

	spin_lock_irqsave(&fp_clock_lock, flags);
	pending = fp_clock_pending;
	fp_clock_pending = false;
	ts = fp_clock_value;
	late = ktime_to_ns(ktime_sub(ktime_get(), fp_clock_stamp));
	spin_unlock_irqrestore(&fp_clock_lock, flags);

	if (!pending)
		return;
	if (late > 0)
		fp_timespec_add_ns(&ts, late);
	if (fp_settimeofday(&ts))
		pr_info("fp_micom: clock %lld.%09ld refused\n",
			(long long)ts.tv_sec, ts.tv_nsec);
}

static DECLARE_WORK(fp_clock_work, fp_clock_apply);

int kp_settimeofday(long sec, long nsec)
{
	fp_timespec ts = { .tv_sec = sec, .tv_nsec = nsec };
	unsigned long flags;

	if (!fp_timespec_valid(&ts))
		return -EINVAL;

	spin_lock_irqsave(&fp_clock_lock, flags);
	fp_clock_value = ts;
	fp_clock_stamp = ktime_get();
	fp_clock_pending = true;
	spin_unlock_irqrestore(&fp_clock_lock, flags);

	schedule_work(&fp_clock_work);
	return 0;
}

void fp_time_flush(void)
{
	flush_work(&fp_clock_work);
}
