/* SPDX-License-Identifier: MIT */
/*
 * The SoC's UART blocks (soc_map.h): start-up configuration and the one
 * transmit primitive.  Receive and transmit registers are reached over gbus
 * at their bus address; every other register as an uncached 32-bit word at
 * its KSEG1 alias, each store followed by a sync barrier.
 */
#ifndef FP_UART_H
#define FP_UART_H

#include "ir_vfd.h"
#include "soc_map.h"

/*
 * Bound of the busy-waits on a UART status bit, in microseconds, with local
 * interrupts off: 2 ms is about 20 character times at the box's 115200 bit/s
 * (two at 9600 bit/s), far beyond anything a working line needs.
 */
#define UART_POLL_LIMIT_US 2000

/* the gbus handle of the kernel */
#define FP_GBUS ((struct gbus *)1)

uint32_t uart_reg_read(uint32_t base, uint32_t off);
void uart_reg_write(uint32_t base, uint32_t off, uint32_t value);
/* The block that isp_mode selects. */
uint32_t uart_selected_base(const fp_priv_t *priv);
/* Start-up configuration of one block. */
void uart_configure(uint32_t base);
/* Waits (bounded) until @bits are set in the line status of @base; 1 when they are. */
int uart_wait_lsr(uint32_t base, uint32_t bits);
/* Sends one byte on the UART that isp_mode selects; caller holds the driver lock. */
void UARTputchar(int c, fp_priv_t *priv);

#endif
