/* SPDX-License-Identifier: MIT */
/*
 * The kernel's RTC class: a real-time clock device (/dev/rtcN and
 * /sys/class/rtc/rtcN) through which hwclock, rtcwake and the wakealarm
 * file reach the micom's clock and its wake-up alarm.
 *
 * The class serialises the calls of its users and calls the operations in
 * process context; they may sleep.  Its own rules (a time before 1970 or
 * outside the device's range refused, an alarm not in the future not set,
 * update interrupts refused when the device has none) are the class's,
 * not the operations'.
 */
#ifndef FP_KERNEL_KP_RTC_H
#define FP_KERNEL_KP_RTC_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

/**
 * struct kp_rtc_time - a date and time as the RTC class passes it, field by
 * field the kernel's struct rtc_time (the glue checks the layout).
 */
typedef struct kp_rtc_time {
	int tm_sec;
	int tm_min;
	int tm_hour;
	int tm_mday;
	int tm_mon;     /* 0 to 11 */
	int tm_year;    /* years since 1900 */
	int tm_wday;    /* 0 (Sunday) to 6 */
	int tm_yday;    /* 0 to 365 */
	int tm_isdst;
} kp_rtc_time;

/** struct kp_rtc_wkalrm - a wake-up alarm: the kernel's struct rtc_wkalrm. */
typedef struct kp_rtc_wkalrm {
	unsigned char enabled;  /* 0: no wake-up at that time */
	unsigned char pending;  /* the alarm has fired and not been read */
	kp_rtc_time time;
} kp_rtc_wkalrm;

/**
 * struct kp_rtc_ops - what the RTC class asks of the device; each returns
 * 0 or a negative error.
 * @read_time: the clock now.
 * @set_time: sets the clock.
 * @read_alarm: the alarm the device holds.
 * @set_alarm: sets the alarm, enabled or not.
 * @alarm_irq_enable: arms (1) or withdraws (0) the alarm that is set.
 */
typedef struct kp_rtc_ops {
	int (*read_time)(kp_rtc_time *tm);
	int (*set_time)(kp_rtc_time *tm);
	int (*read_alarm)(kp_rtc_wkalrm *alrm);
	int (*set_alarm)(kp_rtc_wkalrm *alrm);
	int (*alarm_irq_enable)(unsigned int enabled);
} kp_rtc_ops;

/**
 * struct kp_rtc_desc - an RTC device to register.
 * @name: its name ("frontpanel").
 * @ops: its operations.
 * @year_min: the first year it holds (from January 1st).
 * @year_max: the last year it holds (to December 31st).
 *
 * The device has no update interrupts, and its alarm acts only when the
 * box is off (it switches the box on).
 */
typedef struct kp_rtc_desc {
	const char *name;
	const kp_rtc_ops *ops;
	int year_min;
	int year_max;
} kp_rtc_desc;

/*
 * Registers an RTC device under @parent (process context).  The class may
 * call the operations before this returns, as the kernel's does, to learn
 * whether an alarm is set already.  0 and the device in @rtc, or a negative
 * error and nothing registered.
 */
int kp_rtc_register(kp_device *parent, const kp_rtc_desc *desc, kp_rtc_device **rtc);
/* Removes it: no operation runs after this returns. */
void kp_rtc_unregister(kp_rtc_device *rtc);

KP_EXTERN_C_END

#endif
