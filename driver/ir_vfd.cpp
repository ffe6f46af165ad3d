// SPDX-License-Identifier: MIT
// Module start and stop, the driver state and the module globals.
#include "clock.h"
#include "frame.h"
#include "fp_wait.h"
#include "isp_device.h"
#include "keys.h"
#include "led.h"
#include "parser.h"
#include "power.h"
#include "proc_text.h"
#include "rescue.h"
#include "rtc_device.h"
#include "uart.h"

#define FP_BOOTINFO_WAIT_TICKS 100
#define FP_MINORS 256

constinit fp_priv_t fp_priv{};
constinit fp_local_t fp_local{};
constinit kp_spinlock fp_lock{};
constinit int32_t micom_major = 75;

/** struct fp_proc_def - one /proc entry of the driver. */
struct fp_proc_def {
	const char *name;
	kp_proc_entry *fp_priv_t::*field;
	kp_read_proc_t read;
	kp_write_proc_t write;
};

/* In the order of creation. */
static constexpr fp_proc_def fp_proc_entries[] = {
	{ "vfd", &fp_priv_t::proc_vfd, nullptr, vfd_proc_write },
	{ "deepstandby", &fp_priv_t::proc_deepstandby, nullptr, deepstandby_proc_write },
	{ "vfdclock", &fp_priv_t::proc_vfdclock, nullptr, clock_proc_write },
	{ "model", &fp_priv_t::proc_model, model_proc_read, nullptr },
	{ "reboot", &fp_priv_t::proc_reboot, nullptr, reboot_proc_write },
	{ "rescue", &fp_priv_t::proc_rescue, rescue_proc_read, nullptr },
	{ "startrescue", &fp_priv_t::proc_startrescue, nullptr, startrescue_proc_write },
	{ "settime", &fp_priv_t::proc_settime, nullptr, settime_proc_write },
	{ "led", &fp_priv_t::proc_led, led_proc_read, led_proc_write },
	{ "enableisp", &fp_priv_t::proc_enableisp, nullptr, enableisp_proc_write },
};

/* The order in which the stop removes them (indices into fp_proc_entries). */
static constexpr uint8_t fp_proc_removal_order[] = { 2, 1, 3, 0, 4, 5, 6, 7, 8, 9 };

static void remove_proc_entries(fp_priv_t *priv)
{
	for (uint8_t i : fp_proc_removal_order) {
		const fp_proc_def &def = fp_proc_entries[i];

		if (priv->*def.field)
			kp_remove_proc_entry(def.name);
	}
}

static void install_power_off(void)
{
	fp_local.saved_power_off = kp_get_pm_power_off();
	kp_set_pm_power_off(micom_off);
}

/* The hook must not outlive the module; another module may have replaced it since. */
static void withdraw_power_off(void)
{
	if (kp_get_pm_power_off() == micom_off)
		kp_set_pm_power_off(fp_local.saved_power_off);
}

static void describe_input_device(fp_priv_t *priv)
{
	kp_input_dev *dev = priv->input_dev;

	kp_input_set_name(dev, "marlowen remote control (native)");
	kp_input_set_id(dev, 0, 0x0001, 0x0001, 0x0100);
	kp_input_set_evbit(dev, KP_EV_KEY);
	kp_input_set_evbit(dev, KP_EV_REP);
	/* Set before registration: the input core then leaves repeating to
	 * the micom, whose repeats the key decoder reports. */
	kp_input_set_rep(dev, 33, 250);
	for (int i = 0; i < 256; i++)
		priv->keymap[i] = ir_keycode[i];
	kp_input_set_keycode_table(dev, priv->keymap, sizeof(priv->keymap[0]), 256);
	for (int i = 0; i < 256; i++)
		kp_input_set_keybit(dev, priv->keymap[i]);
	kp_input_clear_keybit(dev, KP_KEY_RESERVED);
}

int init_fp(void)
{
	static constexpr uint8_t bootinfo_payload[2] = { 0x0A, 0x0A };
	fp_priv_t *priv = &fp_priv;
	unsigned long flags;
	int err;

	kp_spin_lock_init(&fp_lock);
	install_power_off();

	err = kp_register_chrdev((unsigned int)micom_major, 0, FP_MINORS, "micom", &micom_fops);
	if (err < 0) {
		kp_printk("\x01" "6MICOM: cannot obtain major number %d\n", micom_major);
		goto fail_hook;
	}

	memset(priv, 0, sizeof(*priv));
	fp_local.device = nullptr;
	fp_local.rtc = nullptr;
	fp_local.alarm_stored = 0;
	fp_local.alarm_by_class = 0;
	kp_init_waitqueue_head(&priv->rescue_queue);
	kp_init_waitqueue_head(&priv->time_queue);
	kp_init_waitqueue_head(&priv->ack_queue);
	kp_init_waitqueue_head(&priv->bootinfo_queue);

	/* KEY_DVD stands for every key byte the remote does not use. */
	for (int i = 0; i < 256; i++)
		ir_keycode[i] = KEY_DVD;
	init_keys();

	priv->uart_base = FP_UART_BASE;
	priv->uart_alt_base = FP_UART_ALT_BASE;
	uart_configure(priv->uart_base);
	uart_configure(priv->uart_alt_base);

	if (kp_request_irq(FP_IRQ, fp_isr, KP_IRQF_DISABLED, "FP_ISR", priv)) {
		kp_printk("\x01" "6fp_micom: cannot register IRQ 10\n");
		err = -KP_EIO;
		goto fail_chrdev;
	}
	kp_printk("\x01" "6MICOM FP starting %04hX...\n", (unsigned short)(tangox_chip_id() >> 16));

	/* the parser runs from here on */
	uart_reg_write(priv->uart_base, SOC_UART_IER, SOC_UART_IER_RDI);

	kp_msleep(10);
	send_cmd(CMD_BOOTINFO, bootinfo_payload, 2, priv);
	fp_wait_event_timeout(&priv->bootinfo_queue, [priv] { return priv->bootinfo_ready != 0; },
			      FP_BOOTINFO_WAIT_TICKS);
	kp_msleep(50);
	Gettime(priv);
	fp_wait_event_timeout(&priv->time_queue, [priv] { return priv->time_ready != 0; },
			      FP_TIME_WAIT_TICKS);

	/* the model is built in, not learnt from the micom */
	kp_printk("\x01" "6DETECTED TAVIX %s MODEL\n", put_model);

	err = -KP_EIO;
	for (const fp_proc_def &def : fp_proc_entries) {
		kp_proc_entry *entry = kp_create_proc_entry(def.name, 0644);

		if (!entry)
			goto fail_proc;
		priv->*def.field = entry;
	}
	for (const fp_proc_def &def : fp_proc_entries)
		kp_proc_set_handlers(priv->*def.field, def.read, def.write, priv);

	err = kp_device_register("frontpanel", &fp_local.device);
	if (err) {
		kp_printk("\x01" "6fp_micom: cannot register the device (%d)\n", err);
		goto fail_proc;
	}

	err = -KP_EIO;
	priv->input_dev = kp_input_allocate_device();
	if (!priv->input_dev) {
		kp_printk("fp_micom: Bad input_alloc_device()\n");
		goto fail_device;
	}
	describe_input_device(priv);
	kp_input_set_parent(priv->input_dev, fp_local.device);
	if (kp_input_register_device(priv->input_dev)) {
		kp_input_free_device(priv->input_dev);
		priv->input_dev = nullptr;
		goto fail_device;
	}

	err = fp_rtc_start(fp_local.device);
	if (err)
		goto fail_input;

	flags = kp_spin_lock_irqsave(&fp_lock);
	priv->input_ready = 1;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return 0;

	/* each step undoes what the steps before it did, in reverse */
fail_input:
	kp_input_unregister_device(priv->input_dev);
	priv->input_dev = nullptr;
fail_device:
	kp_device_unregister(fp_local.device);
	fp_local.device = nullptr;
fail_proc:
	remove_proc_entries(priv);
	kp_free_irq(FP_IRQ, priv);
fail_chrdev:
	kp_unregister_chrdev((unsigned int)micom_major, 0, FP_MINORS, "micom");
fail_hook:
	withdraw_power_off();
	return err;
}

void cleanup_fp(void)
{
	fp_priv_t *priv = &fp_priv;

	kp_printk("\x01" "6MICOM FP exiting ...\n");
	fp_rtc_stop();
	stop_blink();
	kp_free_irq(FP_IRQ, priv);
	kp_input_unregister_device(priv->input_dev);
	kp_device_unregister(fp_local.device);
	fp_local.device = nullptr;
	remove_proc_entries(priv);
	kp_unregister_chrdev((unsigned int)micom_major, 0, FP_MINORS, "micom");
	withdraw_power_off();
}
