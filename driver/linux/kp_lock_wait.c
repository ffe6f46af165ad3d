// SPDX-License-Identifier: MIT
/*
 * The driver lock and the wait queues on the kernel's spinlock_t and wait
 * queues.  The core keeps them in opaque storage of its own; the kernel
 * objects live inside it.
 */
#include <linux/sched.h>
#include <linux/spinlock.h>
#include <linux/wait.h>

#include "platform/kp_lock.h"
#include "platform/kp_wait.h"
#include "kp_compat.h"

#define FP_FITS(kernel_type, storage)                                       \
	static_assert(sizeof(kernel_type) <= sizeof(((storage *)0)->opaque) && \
		      __alignof__(kernel_type) <= __alignof__(storage),       \
		      #kernel_type " does not fit in " #storage)

FP_FITS(spinlock_t, kp_spinlock);
FP_FITS(wait_queue_head_t, kp_wait_queue_head);
FP_FITS(struct fp_wait_entry, kp_wait_entry);

static inline spinlock_t *fp_lock(kp_spinlock *lock)
{
	return (spinlock_t *)lock->opaque;
}

static inline wait_queue_head_t *fp_queue(kp_wait_queue_head *q)
{
	return (wait_queue_head_t *)q->opaque;
}

static inline struct fp_wait_entry *fp_entry(kp_wait_entry *w)
{
	return (struct fp_wait_entry *)w->opaque;
}

void kp_spin_lock_init(kp_spinlock *lock)
{
	spin_lock_init(fp_lock(lock));
}

unsigned long kp_spin_lock_irqsave(kp_spinlock *lock)
	__acquires(lock)
{
	unsigned long flags;

	spin_lock_irqsave(fp_lock(lock), flags);
	return flags;
}

void kp_spin_unlock_irqrestore(kp_spinlock *lock, unsigned long flags)
	__releases(lock)
{
	spin_unlock_irqrestore(fp_lock(lock), flags);
}

void kp_init_waitqueue_head(kp_wait_queue_head *q)
{
	init_waitqueue_head(fp_queue(q));
}

/* DEFINE_WAIT: a waiter of the current task, woken and dequeued by a wake-up. */
void kp_init_wait_entry(kp_wait_entry *w)
{
	fp_init_wait_entry(fp_entry(w));
}

void kp_prepare_to_wait(kp_wait_queue_head *q, kp_wait_entry *w)
{
	prepare_to_wait(fp_queue(q), fp_entry(w), TASK_INTERRUPTIBLE);
}

long kp_schedule_timeout(long ticks)
{
	return schedule_timeout(ticks);
}

void kp_finish_wait(kp_wait_queue_head *q, kp_wait_entry *w)
{
	finish_wait(fp_queue(q), fp_entry(w));
}

int kp_signal_pending(void)
{
	return signal_pending(current);
}

void kp_wake_up_interruptible(kp_wait_queue_head *q)
{
	wake_up_interruptible(fp_queue(q));
}
