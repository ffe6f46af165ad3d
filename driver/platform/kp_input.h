/* SPDX-License-Identifier: MIT */
/* Input devices, as the kernel's input core offers them. */
#ifndef FP_KERNEL_KP_INPUT_H
#define FP_KERNEL_KP_INPUT_H

#include "kp_types.h"

#define KP_EV_SYN 0x00
#define KP_EV_KEY 0x01
#define KP_EV_REP 0x14
#define KP_SYN_REPORT 0
#define KP_KEY_RESERVED 0
#define KP_KEY_MAX 0x2ff

KP_EXTERN_C_BEGIN

kp_input_dev *kp_input_allocate_device(void);
/* Releases a device that was allocated but not (or no longer) registered. */
void kp_input_free_device(kp_input_dev *dev);
int kp_input_register_device(kp_input_dev *dev);
/* Unregisters and releases a registered device. */
void kp_input_unregister_device(kp_input_dev *dev);

void kp_input_set_name(kp_input_dev *dev, const char *name);
void kp_input_set_id(kp_input_dev *dev, uint16_t bustype, uint16_t vendor,
		     uint16_t product, uint16_t version);
void kp_input_set_evbit(kp_input_dev *dev, unsigned int type);
void kp_input_set_keybit(kp_input_dev *dev, unsigned int code);
void kp_input_clear_keybit(kp_input_dev *dev, unsigned int code);
/* Hands the device its key-code table; remapping through the input layer writes it. */
void kp_input_set_keycode_table(kp_input_dev *dev, void *table,
				unsigned int entry_size, unsigned int entries);
/* Repeat delay and period in milliseconds, in this order. */
void kp_input_set_rep(kp_input_dev *dev, int delay, int period);
void kp_input_event(kp_input_dev *dev, unsigned int type, unsigned int code,
		    int value);

KP_EXTERN_C_END

#endif
