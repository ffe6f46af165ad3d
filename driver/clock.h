/* SPDX-License-Identifier: MIT */
/* The micom's clock, the wake-up alarm and the clock display. */
#ifndef FP_CLOCK_H
#define FP_CLOCK_H

#include "ir_vfd.h"

/* The longest wait for a time answer, in ticks. */
#define FP_TIME_WAIT_TICKS 200

/* Asks the micom for its clock; the parser applies the answer. */
void Gettime(fp_priv_t *priv);
/*
 * Asks the micom for its clock and sleeps until the answer has been applied
 * (time_ready), a signal comes or FP_TIME_WAIT_TICKS pass.
 */
void clock_ask_and_wait(fp_priv_t *priv);
/* Sends a clock record built from @text (from /proc/settime or set_RTC_time). */
void set_time(const char *text, fp_priv_t *priv, int source);
int settime_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);
/*
 * Stores the clock record @rec as the wake-up time of the next power-off,
 * armed or not (set_ALARM_time arms it).
 */
void alarm_store(const uint8_t rec[7], int armed);
/* /proc/vfdclock: the micom shows its clock on the display. */
int clock_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data);

#endif
