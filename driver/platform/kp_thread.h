/* SPDX-License-Identifier: MIT */
/* Kernel threads. */
#ifndef FP_KERNEL_KP_THREAD_H
#define FP_KERNEL_KP_THREAD_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

typedef int (*kp_thread_fn)(void *data);

/* Creates a stopped kernel thread named @name on any node; NULL on failure. */
kp_task *kp_kthread_create(kp_thread_fn fn, void *data, const char *name);
void kp_wake_up_process(kp_task *task);
/* Non-zero when the current kernel thread has been told to stop. */
int kp_kthread_should_stop(void);
/* Tells @task to stop, wakes it, waits for it to end; returns its result. */
int kp_kthread_stop(kp_task *task);

KP_EXTERN_C_END

#endif
