// SPDX-License-Identifier: MIT
/*
 * Tells the kernel log what the power-off hook is, then refuses to load:
 * "fp-probe: pm_power_off none" when there is none, else "set SYMBOL".
 */
#include <linux/module.h>
#include <linux/pm.h>
#include <linux/printk.h>

static int __init pm_probe_init(void)
{
	void (*hook)(void) = READ_ONCE(pm_power_off);

	if (hook)
		pr_info("fp-probe: pm_power_off set %pS\n", hook);
	else
		pr_info("fp-probe: pm_power_off none\n");
	return -ECANCELED;
}

module_init(pm_probe_init);
MODULE_DESCRIPTION("Reports the power-off hook");
MODULE_LICENSE("Dual MIT/GPL");
