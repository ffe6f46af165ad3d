/* SPDX-License-Identifier: MIT */
/* Kernel time: ticks, sleeping, the wall clock. */
#ifndef FP_KERNEL_KP_TIME_H
#define FP_KERNEL_KP_TIME_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

unsigned long kp_jiffies(void);
unsigned int kp_hz(void);
/* Sleeps at least @ms milliseconds, uninterruptibly (process context). */
void kp_msleep(unsigned int ms);
/* Sleeps interruptibly for at most @ticks; returns the ticks left. */
long kp_schedule_timeout_interruptible(long ticks);

/*
 * Seconds since 1970-01-01 00:00:00 for a Gregorian date and time, computed
 * exactly as the box's kernel does (unsigned int arithmetic, no range
 * checks, no time zone), returned as unsigned long.
 */
unsigned long kp_mktime(unsigned int year, unsigned int mon, unsigned int day,
			unsigned int hour, unsigned int min, unsigned int sec);
/*
 * Sets the kernel's wall clock to a date and time of the micom's clock (no
 * time zone) plus @nsec; may be called from interrupt context.  Returns 0,
 * or non-zero when the clock was left as it is: a date before 1970, or one
 * the running kernel's clock cannot hold.  The date itself, not its
 * kp_mktime() seconds, comes here: on a 32-bit kernel those wrap past 2038
 * and cannot be told from a date before 1970.
 */
int kp_set_wall_clock(unsigned int year, unsigned int mon, unsigned int day,
		      unsigned int hour, unsigned int min, unsigned int sec,
		      long nsec);

KP_EXTERN_C_END

#endif
