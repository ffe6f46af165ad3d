/* SPDX-License-Identifier: MIT */
/* The driver lock: a spin lock taken with local interrupts disabled and saved. */
#ifndef FP_KERNEL_KP_LOCK_H
#define FP_KERNEL_KP_LOCK_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

/** struct kp_spinlock - storage for one kernel spin lock. */
typedef struct kp_spinlock {
	unsigned char opaque[KP_OPAQUE_BYTES];
} __attribute__((aligned(8))) kp_spinlock;

void kp_spin_lock_init(kp_spinlock *lock);
/* Disables local interrupts (and preemption), takes the lock; returns the saved state. */
unsigned long kp_spin_lock_irqsave(kp_spinlock *lock);
/* Releases the lock and restores the interrupt state saved by kp_spin_lock_irqsave(). */
void kp_spin_unlock_irqrestore(kp_spinlock *lock, unsigned long flags);

KP_EXTERN_C_END

#endif
