// SPDX-License-Identifier: MIT
// What the module says about itself, as data a kernel back-end can read.
#include "ir_vfd.h"
#include "module_info.h"

/** struct fp_export - one exported symbol of the module. */
struct fp_export {
	const char *name;
	const void *addr;
	int is_function;
};

KP_EXTERN_C_BEGIN
extern const char fp_module_description[];
extern const char fp_module_vermagic[];
extern const fp_export fp_module_exports[];
extern const int fp_module_export_count;
KP_EXTERN_C_END

constinit const char fp_module_description[] = FP_MODULE_DESCRIPTION;
constinit const char fp_module_vermagic[] = FP_MODULE_VERMAGIC;

#define FP_KIND_FUNC 1
#define FP_KIND_VAR 0
#define FP_EXPORT_ENTRY(sym, kind) { #sym, (const void *)&sym, FP_KIND_##kind },
constinit const fp_export fp_module_exports[] = { FP_MODULE_EXPORTS(FP_EXPORT_ENTRY) };
constinit const int fp_module_export_count = sizeof(fp_module_exports) / sizeof(fp_module_exports[0]);
