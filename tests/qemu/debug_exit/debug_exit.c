// SPDX-License-Identifier: MIT
/*
 * The x86 test guest's "board power-off": a power-off handler of last resort
 * that ends QEMU through its isa-debug-exit port (0xf4), which makes QEMU
 * exit with status (status << 1) | 1.
 *
 * A pc booted with acpi=off has no power-off of its own, so without this the
 * kernel returns from the power-off and init exits.  The handler runs after
 * the legacy pm_power_off hook (frontpanel's, which tells the micom), the
 * way the board's own power-off does on Malta.  The guest loads it with the
 * verdict just before "poweroff -f":  insmod debug_exit.ko status=0
 */
#include <linux/io.h>
#include <linux/module.h>
#include <linux/reboot.h>

static int status;
module_param(status, int, 0444);
MODULE_PARM_DESC(status, "value written to the isa-debug-exit port at power-off");

static struct sys_off_handler *handler;

static int debug_exit_power_off(struct sys_off_data *data)
{
	outb((u8)status, 0xf4);
	return NOTIFY_DONE;
}

static int __init debug_exit_init(void)
{
	handler = register_sys_off_handler(SYS_OFF_MODE_POWER_OFF, SYS_OFF_PRIO_LOW,
					   debug_exit_power_off, NULL);
	return IS_ERR(handler) ? PTR_ERR(handler) : 0;
}

static void __exit debug_exit_exit(void)
{
	unregister_sys_off_handler(handler);
}

module_init(debug_exit_init);
module_exit(debug_exit_exit);
MODULE_DESCRIPTION("ends the QEMU test guest at power-off through isa-debug-exit");
MODULE_LICENSE("Dual MIT/GPL");
