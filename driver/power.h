/* SPDX-License-Identifier: MIT */
/* Power-off, reboot, deep standby and the box's identification. */
#ifndef FP_POWER_H
#define FP_POWER_H

#include "ir_vfd.h"

/* The kernel's power-off hook: deep standby, with the wake-up time if one is stored. */
void micom_off(void);
int reboot_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int deepstandby_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int vfd_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int model_proc_read(char *page, char **start, long off, int count, int *eof, void *data);

#endif
