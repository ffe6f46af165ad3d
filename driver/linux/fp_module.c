// SPDX-License-Identifier: MIT
/*
 * The module itself: its description, licence and exports, and the start
 * and stop that wrap the core's init_fp()/cleanup_fp() with the board's
 * hardware and the glue's own services.
 */
#include <linux/init.h>
#include <linux/module.h>

#include "fp_exports.h"
#include "module_info.h"
#include "fp_glue.h"
#include "kp_compat.h"

#define FP_EXPORT(name, kind) EXPORT_SYMBOL(name);
FP_MODULE_EXPORTS(FP_EXPORT)

static int __init fp_module_init(void)
{
	int ret = fp_board_init();

	if (ret)
		return ret;
	ret = init_fp();
	if (ret) {
		fp_time_flush();
		fp_board_exit();
	}
	return ret;
}

static void __exit fp_module_exit(void)
{
	cleanup_fp();	/* gives the power-off hook back, as a failed start does */
	fp_time_flush();
	fp_board_exit();
}

#if FP_MODULE_ALIASES_WARN
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-attributes"
#endif
module_init(fp_module_init);
module_exit(fp_module_exit);
#if FP_MODULE_ALIASES_WARN
#pragma GCC diagnostic pop
#endif

MODULE_DESCRIPTION(FP_MODULE_DESCRIPTION);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_VERSION(FP_MODULE_VERSION);
