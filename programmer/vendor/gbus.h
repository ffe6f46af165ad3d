/* SPDX-License-Identifier: MIT */
/* The SoC's internal bus (gbus): 32-bit register writes by byte address. */
#ifndef MICOMFLASH_VENDOR_GBUS_H
#define MICOMFLASH_VENDOR_GBUS_H

#include <stdint.h>

#include "llad.h"

#ifdef __cplusplus
extern "C" {
#endif

struct gbus;

/* Opens the bus of an open chip; null on failure. */
struct gbus *gbus_open(struct llad *llad);
void gbus_close(struct gbus *bus);

/* Puts data into the 32-bit register at byte address addr. Nothing is read
 * back. (The SoC support of the kernel declares the same call with the same
 * C signature.) */
void gbus_write_uint32(struct gbus *bus, uint32_t addr, uint32_t data);

#ifdef __cplusplus
}
#endif

#endif
