/* SPDX-License-Identifier: MIT */
/* The low-level access library: a handle on the SoC, opened by device name. */
#ifndef MICOMFLASH_VENDOR_LLAD_H
#define MICOMFLASH_VENDOR_LLAD_H

#include "rmdef.h"

#ifdef __cplusplus
extern "C" {
#endif

struct llad;

/* Opens the chip named by device ("0" is the first chip); null on failure. */
struct llad *llad_open(const char *device);
void llad_close(struct llad *llad);

#ifdef __cplusplus
}
#endif

#endif
