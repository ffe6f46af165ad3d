/* SPDX-License-Identifier: MIT */
/* /dev/micom, the flash-programming channel, and /proc/enableisp. */
#ifndef FP_ISP_DEVICE_H
#define FP_ISP_DEVICE_H

#include "ir_vfd.h"

int enableisp_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);

extern const kp_file_ops micom_fops;

#endif
