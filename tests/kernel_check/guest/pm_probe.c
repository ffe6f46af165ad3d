// SPDX-License-Identifier: MIT
/*
 * Tells what the power-off hook is, each time it is asked: reading
 * /sys/kernel/debug/fp_pm_power_off gives "none" when there is none, else
 * "set SYMBOL".  It stays loaded for the sweeps of failing allocations, so
 * that a look at the hook after each failure point is a read, not a
 * module load of its own.
 */
#include <linux/debugfs.h>
#include <linux/module.h>
#include <linux/pm.h>
#include <linux/seq_file.h>

static struct dentry *pm_probe_file;

static int pm_probe_show(struct seq_file *m, void *unused)
{
	void (*hook)(void) = READ_ONCE(pm_power_off);

	if (hook)
		seq_printf(m, "set %pS\n", hook);
	else
		seq_puts(m, "none\n");
	return 0;
}
DEFINE_SHOW_ATTRIBUTE(pm_probe);

static int __init pm_probe_init(void)
{
	pm_probe_file = debugfs_create_file("fp_pm_power_off", 0444, NULL, NULL, &pm_probe_fops);
	return IS_ERR(pm_probe_file) ? PTR_ERR(pm_probe_file) : 0;
}

static void __exit pm_probe_exit(void)
{
	debugfs_remove(pm_probe_file);
}

module_init(pm_probe_init);
module_exit(pm_probe_exit);
MODULE_DESCRIPTION("Reports the power-off hook");
MODULE_LICENSE("Dual MIT/GPL");
