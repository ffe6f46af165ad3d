/* SPDX-License-Identifier: MIT */
/* The front-panel LEDs: four modes chosen by command. */
#ifndef FP_LED_H
#define FP_LED_H

#include "ir_vfd.h"

/* LED mode 0-3 from a text; other numbers are ignored, no number is mode 0. */
void set_led(const char *text, fp_priv_t *priv);
int led_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
int led_proc_read(char *page, char **start, long off, int count, int *eof, void *data);

extern int32_t led_status;              /* the mode last set */

#endif
