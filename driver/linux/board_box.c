// SPDX-License-Identifier: MIT
/*
 * Board layer for the box itself: the SoC's UART blocks are reached
 * directly.  Registers are 32-bit words at their uncached KSEG1 alias, each
 * store followed by a sync; the receive and transmit registers go through
 * the kernel's gbus_read_uint32()/gbus_write_uint32(), which - like
 * tangox_chip_id() and tangox_udelay() - the box's kernel provides with
 * its SoC support.  The SoC's interrupt lines (10 primary UART, 71 ISP
 * link) are the kernel's interrupt numbers.
 */
#include <linux/io.h>
#include <linux/types.h>

#include "platform/kp_soc.h"
#include "soc_map.h"
#include "fp_glue.h"

#ifndef CONFIG_MIPS
#error "the box's board layer is for the MIPS SoC only"
#endif

u32 kp_reg_read32(u32 kseg1_addr)
{
	return __raw_readl((void __iomem *)(unsigned long)kseg1_addr);
}

void kp_reg_write32(u32 kseg1_addr, u32 value)
{
	__raw_writel(value, (void __iomem *)(unsigned long)kseg1_addr);
}

void kp_sync(void)
{
	__sync();
}

int fp_board_irq(unsigned int soc_irq)
{
	return soc_irq == FP_IRQ || soc_irq == FP_ISP_IRQ ? (int)soc_irq : -1;
}

int fp_board_init(void)
{
	return 0;
}

void fp_board_exit(void)
{
}
