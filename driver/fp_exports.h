/* SPDX-License-Identifier: MIT */
/*
 * What the module offers other kernel modules, and its entry points: plain
 * C declarations, shared by the core and the kernel back-ends.
 */
#ifndef FP_EXPORTS_H
#define FP_EXPORTS_H

#include "platform/kp_types.h"

KP_EXTERN_C_BEGIN

/* module entry points */
int init_fp(void);
void cleanup_fp(void);

/* exported variables */
extern int have_RF;
extern const char *put_version;
extern const char *put_model;

/* exported functions */
unsigned long get_RTC_time(void);
void set_RTC_time(const char *digits);
void set_ALARM_time(const char *digits);
int get_ALARM_status(void);
void clear_ALARM_status(void);
unsigned long get_ALARM_time(void);
int get_power_status(void);
void set_LED(const char *mode);
const char *get_tavix_model(void);
const char *get_put_version(void);
int get_have_RF(void);

KP_EXTERN_C_END

#endif
