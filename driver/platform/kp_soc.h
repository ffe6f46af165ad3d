/* SPDX-License-Identifier: MIT */
/*
 * The SoC's kernel support: bus access, chip identification, busy-waiting,
 * and uncached 32-bit register access through the KSEG1 window.
 */
#ifndef FP_KERNEL_KP_SOC_H
#define FP_KERNEL_KP_SOC_H

#include "kp_types.h"

KP_EXTERN_C_BEGIN

struct gbus;

/* Reads the 32-bit register at bus address @addr. */
uint32_t gbus_read_uint32(struct gbus *bus, uint32_t addr);
/* Writes @data to the 32-bit register at bus address @addr. */
void gbus_write_uint32(struct gbus *bus, uint32_t addr, uint32_t data);
/* Chip identification; the upper 16 bits are the chip number. */
uint32_t tangox_chip_id(void);
/* Busy-waits at least @usec microseconds; never sleeps. */
void tangox_udelay(unsigned int usec);

/* Uncached 32-bit register access at a KSEG1 address (0xA0000000 | bus address). */
uint32_t kp_reg_read32(uint32_t kseg1_addr);
void kp_reg_write32(uint32_t kseg1_addr, uint32_t value);
/* The barrier that follows every uncached register store. */
void kp_sync(void);
/*
 * Busy-polls the register at @kseg1_addr until all of @bits are set in it:
 * up to @limit_us rounds of one read and a 1 us delay, then a last read.
 * Returns 1 when the bits came, 0 when the limit passed without them.
 * Never sleeps; safe with interrupts off.
 */
int kp_reg_poll32(uint32_t kseg1_addr, uint32_t bits, unsigned int limit_us);

KP_EXTERN_C_END

#endif
