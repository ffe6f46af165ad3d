/* SPDX-License-Identifier: MIT */
/*
 * The kernel log and the kernel's text formatting.  The log level is part of
 * the text: "\x01" "6" (info) or "\x01" "7" (debug) at its start.
 */
#ifndef FP_KERNEL_KP_LOG_H
#define FP_KERNEL_KP_LOG_H

#include "kp_types.h"

#define KP_DUMP_PREFIX_NONE 0

KP_EXTERN_C_BEGIN

int kp_printk(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* Logs @len bytes of @buf in rows of @rowsize, grouped by @groupsize. */
void kp_print_hex_dump(const char *level, const char *prefix_str,
		       int prefix_type, int rowsize, int groupsize,
		       const void *buf, size_t len, int ascii);
int kp_snprintf(char *buf, size_t size, const char *fmt, ...)
	__attribute__((format(printf, 3, 4)));
int kp_sscanf(const char *buf, const char *fmt, ...)
	__attribute__((format(scanf, 2, 3)));

KP_EXTERN_C_END

#endif
