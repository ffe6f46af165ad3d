/* SPDX-License-Identifier: MIT */
/* The kernel's memory functions; the compiler may also emit calls to them. */
#ifndef FP_KERNEL_KP_STRING_H
#define FP_KERNEL_KP_STRING_H

#include "kp_types.h"

#ifdef __cplusplus
#define KP_NOTHROW noexcept /* as the C library declares them, where both are seen */
#else
#define KP_NOTHROW
#endif

KP_EXTERN_C_BEGIN

void *memset(void *s, int c, size_t n) KP_NOTHROW;
void *memcpy(void *dst, const void *src, size_t n) KP_NOTHROW;
void *memmove(void *dst, const void *src, size_t n) KP_NOTHROW;
size_t strlen(const char *s) KP_NOTHROW;

KP_EXTERN_C_END

#endif
