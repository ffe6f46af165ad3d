/* SPDX-License-Identifier: MIT */
/*
 * Interruptible bounded waits on a driver wait queue, in the kernel's usual
 * shape: test the condition, queue up, test again, sleep, until the
 * condition holds, a signal is pending or the ticks have run out.  Callers
 * do not look at the outcome; the wakers set their flag before waking.
 */
#ifndef FP_WAIT_H
#define FP_WAIT_H

#include "platform/kernel.h"

template <typename Cond>
static inline void fp_wait_event_timeout(kp_wait_queue_head *q, Cond cond, long ticks)
{
	kp_wait_entry w;

	if (cond())
		return;
	kp_init_wait_entry(&w);
	for (;;) {
		kp_prepare_to_wait(q, &w);
		if (cond() || kp_signal_pending())
			break;
		ticks = kp_schedule_timeout(ticks);
		if (ticks <= 0)
			break;
	}
	kp_finish_wait(q, &w);
}

#endif
