/* SPDX-License-Identifier: MIT */
/*
 * Wait queues, in the kernel's prepare / sleep / finish form.
 *
 * A waiter initialises its entry once (kp_init_wait_entry), then, until its
 * condition holds, a signal is pending or the time-out has run out:
 *     kp_prepare_to_wait(q, &w);  test condition;  kp_schedule_timeout(left);
 * and then kp_finish_wait(q, &w).  Waiters are not exclusive, so one
 * kp_wake_up_interruptible() wakes every interruptible sleeper of the queue.
 */
#ifndef FP_KERNEL_KP_WAIT_H
#define FP_KERNEL_KP_WAIT_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

/** struct kp_wait_queue_head - storage for one wait-queue head. */
typedef struct kp_wait_queue_head {
	unsigned char opaque[KP_OPAQUE_BYTES];
} __attribute__((aligned(8))) kp_wait_queue_head;

/** struct kp_wait_entry - storage for one waiter, normally on its stack. */
typedef struct kp_wait_entry {
	unsigned char opaque[KP_OPAQUE_BYTES];
} __attribute__((aligned(8))) kp_wait_entry;

void kp_init_waitqueue_head(kp_wait_queue_head *q);
/* Prepares a waiter of the current task (DEFINE_WAIT); call before its first use. */
void kp_init_wait_entry(kp_wait_entry *w);
/* Queues the current task on q (once) and marks it interruptibly sleeping. */
void kp_prepare_to_wait(kp_wait_queue_head *q, kp_wait_entry *w);
/* Sleeps for at most @ticks kernel ticks; returns the ticks left (0 = timed out). */
long kp_schedule_timeout(long ticks);
/* Marks the current task running and takes it off q. */
void kp_finish_wait(kp_wait_queue_head *q, kp_wait_entry *w);
/* Non-zero when a signal is pending for the current task. */
int kp_signal_pending(void);
/* Wakes the interruptible sleepers of q; may be called from interrupt context. */
void kp_wake_up_interruptible(kp_wait_queue_head *q);

KP_EXTERN_C_END

#endif
