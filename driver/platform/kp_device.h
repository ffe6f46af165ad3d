/* SPDX-License-Identifier: MIT */
/*
 * The driver's own device in the kernel's device model: a platform device
 * that the module registers at its start and removes at its stop, the
 * parent of its RTC and input devices.
 */
#ifndef FP_KERNEL_KP_DEVICE_H
#define FP_KERNEL_KP_DEVICE_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

/*
 * Registers the device @name (process context); 0 and the device in @dev,
 * or a negative error and nothing registered.  It is wake-up capable: the
 * micom switches the box on at its alarm; an RTC registered on it enables
 * the wake-up.
 */
int kp_device_register(const char *name, kp_device **dev);
void kp_device_unregister(kp_device *dev);
/* Makes @parent the input device's parent; before the input device is registered. */
void kp_input_set_parent(kp_input_dev *input, kp_device *parent);

KP_EXTERN_C_END

#endif
