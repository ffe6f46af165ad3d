/* SPDX-License-Identifier: MIT */
/*
 * Basic types of the platform interface.
 *
 * The driver core is freestanding C++ and may not include the C++ library;
 * it takes the fixed-width integer types from the compiler's own <stdint.h>
 * and <stddef.h> (both exist in a freestanding build).  The C glue of the
 * Linux back-end gets them from the kernel.
 */
#ifndef FP_KERNEL_KP_TYPES_H
#define FP_KERNEL_KP_TYPES_H

#if defined(__KERNEL__) && !defined(__cplusplus)
#include <linux/types.h>
#else
#include <stdint.h>
#include <stddef.h>
#endif

#ifdef __cplusplus
#define KP_EXTERN_C_BEGIN extern "C" {
#define KP_EXTERN_C_END }
#else
#define KP_EXTERN_C_BEGIN
#define KP_EXTERN_C_END
#endif

/*
 * Kernel-owned objects that live inside the driver's own storage (its lock,
 * its wait-queue heads, a wait entry on the stack) are reserved as opaque,
 * aligned bytes.  Each back-end checks at compile time that its real object
 * fits.  128 bytes leave room for the kernel's lock debugging: with lockdep
 * a Linux spinlock_t takes 64 bytes and a wait-queue head 80 on x86-64.
 */
#define KP_OPAQUE_BYTES 128

KP_EXTERN_C_BEGIN

/* Opaque handles owned by the kernel back-end. */
typedef struct kp_file kp_file;             /* an open file */
typedef struct kp_inode kp_inode;           /* the inode of a device node */
typedef struct kp_proc_entry kp_proc_entry; /* a /proc entry */
typedef struct kp_input_dev kp_input_dev;   /* an input device */
typedef struct kp_task kp_task;             /* a kernel thread */
typedef struct kp_device kp_device;         /* a device of the device model */
typedef struct kp_rtc_device kp_rtc_device; /* an RTC class device */

KP_EXTERN_C_END

#endif
