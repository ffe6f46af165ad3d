/* SPDX-License-Identifier: MIT */
/*
 * The micom's clock and wake-up alarm as the kernel's RTC class device
 * "frontpanel", the one that hwclock, rtcwake and the wakealarm file use.
 */
#ifndef FP_RTC_DEVICE_H
#define FP_RTC_DEVICE_H

#include "ir_vfd.h"

/* Registers the RTC device under @parent; 0 or a negative error, logged. */
int fp_rtc_start(kp_device *parent);
/* Removes it; no operation runs afterwards. */
void fp_rtc_stop(void);

#endif
