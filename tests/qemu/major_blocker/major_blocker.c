// SPDX-License-Identifier: MIT
/*
 * Takes character major 75 so that the guest test can start frontpanel
 * with its major already in use.
 */
#include <linux/fs.h>
#include <linux/module.h>

static const struct file_operations blocker_fops = {
	.owner = THIS_MODULE,
};

static int __init blocker_init(void)
{
	int ret = register_chrdev(75, "major75_blocker", &blocker_fops);

	return ret < 0 ? ret : 0;
}

static void __exit blocker_exit(void)
{
	unregister_chrdev(75, "major75_blocker");
}

module_init(blocker_init);
module_exit(blocker_exit);
MODULE_DESCRIPTION("holds character major 75 for the frontpanel tests");
MODULE_LICENSE("Dual MIT/GPL");
