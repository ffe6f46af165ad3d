/* SPDX-License-Identifier: MIT */
/*
 * The platform interface of the driver core: every kernel and SoC service the
 * core uses, and nothing else.  Two back-ends implement it: the simulated box
 * (sim/simkernel) and the Linux kernel module glue (driver/linux).
 */
#ifndef FP_KERNEL_KERNEL_H
#define FP_KERNEL_KERNEL_H

#include "kp_types.h"
#include "kp_lock.h"
#include "kp_wait.h"
#include "kp_time.h"
#include "kp_proc.h"
#include "kp_chrdev.h"
#include "kp_input.h"
#include "kp_irq.h"
#include "kp_thread.h"
#include "kp_log.h"
#include "kp_uaccess.h"
#include "kp_power.h"
#include "kp_soc.h"
#include "kp_string.h"
#include "kp_device.h"
#include "kp_rtc.h"
#include "kp_errno.h"

#endif
