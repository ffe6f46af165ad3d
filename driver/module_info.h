/* SPDX-License-Identifier: MIT */
/*
 * What the module says about itself, as data for the kernel back-ends: the
 * description, the version magic of the box's kernel, and the exported
 * symbols in their order (X-macro: X(name, kind) with kind FUNC or VAR).
 */
#ifndef FP_MODULE_INFO_H
#define FP_MODULE_INFO_H

#define FP_MODULE_NAME "frontpanel"
#define FP_MODULE_DESCRIPTION "TAVIX LUMETA, MICOM-IR/VFD driver"
#define FP_MODULE_VERMAGIC "3.9.2-quorvel preempt mod_unload MIPS32_R2 32BIT "

#define FP_MODULE_EXPORTS(X)          \
	X(set_LED, FUNC)              \
	X(get_power_status, FUNC)     \
	X(set_ALARM_time, FUNC)       \
	X(get_ALARM_time, FUNC)       \
	X(get_ALARM_status, FUNC)     \
	X(clear_ALARM_status, FUNC)   \
	X(set_RTC_time, FUNC)         \
	X(get_RTC_time, FUNC)         \
	X(get_have_RF, FUNC)          \
	X(get_put_version, FUNC)      \
	X(get_tavix_model, FUNC)      \
	X(have_RF, VAR)               \
	X(put_version, VAR)           \
	X(put_model, VAR)

#endif
