/* SPDX-License-Identifier: MIT */
/* Interrupt requests. */
#ifndef FP_KERNEL_KP_IRQ_H
#define FP_KERNEL_KP_IRQ_H

#include "kp_types.h"

#define KP_IRQ_NONE 0
#define KP_IRQ_HANDLED 1
/* The handler runs with local interrupts off; the line is not shared. */
#define KP_IRQF_DISABLED 0x20

KP_EXTERN_C_BEGIN

typedef int (*kp_irq_handler_t)(int irq, void *cookie);

/* @irq is the SoC's interrupt number; 0 or a negative error. */
int kp_request_irq(unsigned int irq, kp_irq_handler_t handler,
		   unsigned long flags, const char *name, void *cookie);
void kp_free_irq(unsigned int irq, void *cookie);

KP_EXTERN_C_END

#endif
