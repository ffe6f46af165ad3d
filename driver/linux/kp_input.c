// SPDX-License-Identifier: MIT
/* Input devices on the kernel's input core. */
#include <linux/input.h>

#include "platform/kp_input.h"
#include "kp_compat.h"

static_assert(KP_EV_KEY == EV_KEY && KP_EV_REP == EV_REP &&
	      KP_EV_SYN == EV_SYN && KP_SYN_REPORT == SYN_REPORT &&
	      KP_KEY_MAX == KEY_MAX && KP_KEY_RESERVED == KEY_RESERVED,
	      "input event numbers differ from the kernel's");

static inline struct input_dev *fp_input(kp_input_dev *dev)
{
	return (struct input_dev *)dev;
}

kp_input_dev *kp_input_allocate_device(void)
{
	return (kp_input_dev *)input_allocate_device();
}

void kp_input_free_device(kp_input_dev *dev)
{
	input_free_device(fp_input(dev));
}

int kp_input_register_device(kp_input_dev *dev)
{
	return input_register_device(fp_input(dev));
}

void kp_input_unregister_device(kp_input_dev *dev)
{
	input_unregister_device(fp_input(dev));
}

void kp_input_set_name(kp_input_dev *dev, const char *name)
{
	fp_input(dev)->name = name;
}

void kp_input_set_id(kp_input_dev *dev, u16 bustype, u16 vendor,
		     u16 product, u16 version)
{
	struct input_id *id = &fp_input(dev)->id;

	id->bustype = bustype;
	id->vendor = vendor;
	id->product = product;
	id->version = version;
}

void kp_input_set_evbit(kp_input_dev *dev, unsigned int type)
{
	if (type <= EV_MAX)
		__set_bit(type, fp_input(dev)->evbit);
}

void kp_input_set_keybit(kp_input_dev *dev, unsigned int code)
{
	if (code <= KEY_MAX)
		__set_bit(code, fp_input(dev)->keybit);
}

void kp_input_clear_keybit(kp_input_dev *dev, unsigned int code)
{
	if (code <= KEY_MAX)
		__clear_bit(code, fp_input(dev)->keybit);
}

void kp_input_set_keycode_table(kp_input_dev *dev, void *table,
				unsigned int entry_size, unsigned int entries)
{
	struct input_dev *d = fp_input(dev);

	d->keycode = table;
	d->keycodesize = entry_size;
	d->keycodemax = entries;
}

/*
 * Set before registration, these make the input core leave auto-repeat to
 * the driver: every repeat comes from the micom.
 */
void kp_input_set_rep(kp_input_dev *dev, int delay, int period)
{
	fp_input(dev)->rep[REP_DELAY] = delay;
	fp_input(dev)->rep[REP_PERIOD] = period;
}

void kp_input_event(kp_input_dev *dev, unsigned int type, unsigned int code,
		    int value)
{
	input_event(fp_input(dev), type, code, value);
}
