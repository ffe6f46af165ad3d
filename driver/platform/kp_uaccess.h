/* SPDX-License-Identifier: MIT */
/* Copies between the kernel and a user program's memory; both may fail. */
#ifndef FP_KERNEL_KP_UACCESS_H
#define FP_KERNEL_KP_UACCESS_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

/* Both return the number of bytes NOT copied (0 on success). */
unsigned long kp_copy_from_user(void *to, const void *ufrom, unsigned long n);
unsigned long kp_copy_to_user(void *uto, const void *from, unsigned long n);

KP_EXTERN_C_END

#endif
