/* SPDX-License-Identifier: MIT */
/*
 * /proc entries with the legacy read and write callbacks.
 *
 * The read callback fills @page (one page) from offset @off and returns the
 * number of bytes it produced; it sets *@eof when it has nothing more.  The
 * kernel calls it again within one read() at the advanced offset until it
 * sets end of file or produces nothing beyond the offset.
 */
#ifndef FP_KERNEL_KP_PROC_H
#define FP_KERNEL_KP_PROC_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

typedef int (*kp_read_proc_t)(char *page, char **start, long off, int count,
			      int *eof, void *data);
typedef int (*kp_write_proc_t)(kp_file *file, const char *ubuf,
			       unsigned long count, void *data);

/* Creates /proc/@name in the root of /proc; NULL on failure. */
kp_proc_entry *kp_create_proc_entry(const char *name, unsigned short mode);
/* Gives the entry its handlers (either may be NULL) and its data pointer. */
void kp_proc_set_handlers(kp_proc_entry *entry, kp_read_proc_t read_proc,
			  kp_write_proc_t write_proc, void *data);
void kp_remove_proc_entry(const char *name);

KP_EXTERN_C_END

#endif
