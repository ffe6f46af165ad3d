/* SPDX-License-Identifier: MIT */
/* The text of a /proc write, as the write handlers that take text copy it. */
#ifndef FP_PROC_TEXT_H
#define FP_PROC_TEXT_H

#include "ir_vfd.h"

#define FP_PROC_TEXT_MAX 128

/*
 * Copies at most 128 bytes from the user's buffer into @buf (zero-filled
 * first) and ends the string at the last byte written, the line end of an
 * echo.  Returns 0, or -KP_EFAULT for more than 128 bytes or an unreadable
 * buffer.
 */
int fp_proc_copy_text(char buf[FP_PROC_TEXT_MAX], const char *ubuf, unsigned long count);

/* Length of @s, but at most @max (also for a NULL string: 0). */
size_t fp_strnlen(const char *s, size_t max);

#endif
