// SPDX-License-Identifier: MIT
/*
 * Ticks, sleeping and the wall clock.
 *
 * The core sets the wall clock from the receive interrupt, but on 6.1
 * do_settimeofday64() may sleep (its clock-was-set notification takes the
 * CPU-hotplug lock).  kp_set_wall_clock() therefore stamps the request with
 * the monotonic clock and hands it to a work item; the work item adds the
 * time the hand-over took, so the clock still ends up at the value the core
 * asked for at the moment it asked.  A newer request replaces one that has
 * not been applied yet.
 *
 * The date becomes seconds here, in 64 bits, so it cannot wrap on its way.
 * A date the running kernel's clock cannot hold (from 2038-01-19 03:14:07
 * on 3.9 with a 32-bit time_t, the box: its KTIME_SEC_MAX is LONG_MAX,
 * which timespec_valid_strict() refuses too) leaves the clock as it
 * is, with a warning at most once a minute; so does a date before 1970,
 * which no kernel takes, without one.  6.1 and later keep 64-bit time on
 * every architecture and take every date of the micom's clock (to 2099).
 */
#include <linux/delay.h>
#include <linux/errno.h>
#include <linux/jiffies.h>
#include <linux/ktime.h>
#include <linux/math64.h>
#include <linux/ratelimit.h>
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/workqueue.h>

#include "platform/kp_mktime.h"
#include "platform/kp_time.h"
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
static struct fp_timespec fp_clock_value; /* what the core asked for */
static ktime_t fp_clock_stamp;     /* when it asked */
static bool fp_clock_pending;

static void fp_clock_apply(struct work_struct *work)
{
	struct fp_timespec ts;
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

/*
 * Seconds since 1970 of a date and time, with the box's mktime() arithmetic
 * (February last, its leap day at the end of the year) in signed 64 bits:
 * the same value as kp_mktime() wherever that does not wrap.
 */
static s64 fp_date_seconds(unsigned int year, unsigned int mon,
			   unsigned int day, unsigned int hour,
			   unsigned int min, unsigned int sec)
{
	s64 y = year, m = (s64)mon - 2;

	if (m <= 0) {
		m += 12;
		y -= 1;
	}
	return (((div_s64(y, 4) - div_s64(y, 100) + div_s64(y, 400) +
		  div_s64(367 * m, 12) + day + y * 365 - 719499) * 24 + hour) *
		60 + min) * 60 + sec;
}

static DEFINE_RATELIMIT_STATE(fp_beyond_clock, 60 * HZ, 1);

int kp_set_wall_clock(unsigned int year, unsigned int mon, unsigned int day,
		      unsigned int hour, unsigned int min, unsigned int sec,
		      long nsec)
{
	s64 seconds = fp_date_seconds(year, mon, day, hour, min, sec);
	struct fp_timespec ts;
	unsigned long flags;

	if (seconds < 0)
		return -EINVAL;
	if (seconds >= FP_CLOCK_SEC_LIMIT) {
		if (__ratelimit(&fp_beyond_clock))
			pr_warn("fp_micom: time %04u-%02u-%02u beyond this kernel's clock, not set\n",
				year, mon, day);
		return -EOVERFLOW;
	}
	ts.tv_sec = seconds;
	ts.tv_nsec = nsec;
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
