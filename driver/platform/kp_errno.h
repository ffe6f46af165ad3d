/* SPDX-License-Identifier: MIT */
/*
 * The kernel's error numbers that the core returns, each written once.  All
 * are below 35, where every architecture the module is built for (x86-64,
 * MIPS) uses the same numbers; the Linux glue checks them against the
 * kernel's own.
 */
#ifndef FP_KERNEL_KP_ERRNO_H
#define FP_KERNEL_KP_ERRNO_H

#define KP_EINTR 4
#define KP_EIO 5
#define KP_EFAULT 14
#define KP_EBUSY 16
#define KP_ENODEV 19
#define KP_EINVAL 22
#define KP_ERANGE 34

#endif
