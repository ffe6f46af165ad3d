/* SPDX-License-Identifier: MIT */
/* The rescue hand-shake: its key side, its reader, and the blink thread that shows it. */
#ifndef FP_RESCUE_H
#define FP_RESCUE_H

#include "ir_vfd.h"

/* rescue_state */
#define FP_RESCUE_IDLE      0   /* no reader waits */
#define FP_RESCUE_ARMED     1   /* a reader waits for the first rescue key */
#define FP_RESCUE_FIRST_KEY 2   /* the first came; the next one makes the choice */

/* The key side: called by the key decoder with the event's key code. */
void fp_rescue_key(fp_priv_t *priv, uint32_t key);
/* /proc/rescue: arms the hand-shake and waits for the two keys. */
int rescue_proc_read(char *page, char **start, long off, int count, int *eof, void *data);
/* /proc/startrescue: starts the blink thread, one at a time. */
int startrescue_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int kblink(void *data);
/* Stops the blink thread, if one runs, and waits for its end; process context, lock not held. */
void stop_blink(void);

extern kp_task *tblink;                 /* the blink thread, or NULL */

#endif
