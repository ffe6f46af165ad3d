/* SPDX-License-Identifier: MIT */
/* The kernel's power-off hook, called at the very end of a power-off. */
#ifndef FP_KERNEL_KP_POWER_H
#define FP_KERNEL_KP_POWER_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

typedef void (*kp_power_off_t)(void);

kp_power_off_t kp_get_pm_power_off(void);
void kp_set_pm_power_off(kp_power_off_t fn);

KP_EXTERN_C_END

#endif
