/* SPDX-License-Identifier: MIT */
/*
 * Warnings that a babbling line or a busy caller could repeat many times a
 * second are logged at most once a second each, so they cannot flood the log.
 */
#ifndef FP_RATELIMIT_H
#define FP_RATELIMIT_H

#include "platform/kernel.h"

/** struct fp_ratelimit - when one warning was last logged; zero: never. */
struct fp_ratelimit {
	unsigned long at = 0;   /* jiffies of the last message */
	int logged = 0;         /* 1 once a message went out */
};

/* 1 when the warning of @rl may be logged now (and it is then taken as logged). */
static inline int fp_ratelimit_ok(struct fp_ratelimit *rl)
{
	unsigned long now = kp_jiffies();

	if (rl->logged && now - rl->at < kp_hz())
		return 0;
	rl->logged = 1;
	rl->at = now;
	return 1;
}

#endif
