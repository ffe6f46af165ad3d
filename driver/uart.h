/* SPDX-License-Identifier: MIT */
/*
 * The SoC's UART blocks: register map, start-up configuration and the one
 * transmit primitive.  Receive and transmit registers are reached over gbus
 * at their bus address; every other register as an uncached 32-bit word at
 * its KSEG1 alias, each store followed by a sync barrier.
 */
#ifndef FP_UART_H
#define FP_UART_H

#include "ir_vfd.h"

/* bus addresses of the two blocks */
#define FP_UART_BASE     0x6C200u
#define FP_UART_ALT_BASE 0x6CD00u

/* register offsets */
#define UART_RBR  0x00 /* receive buffer: low 8 bits are the oldest byte */
#define UART_THR  0x04 /* transmit holding */
#define UART_IER  0x08 /* interrupt enable */
#define UART_FCR  0x10 /* FIFO control */
#define UART_LCR  0x14 /* line control */
#define UART_LSR  0x1C /* line status */
#define UART_CLKDIV 0x28 /* clock divisor */
#define UART_SOC_CFG 0x2C /* SoC-specific configuration */
#define UART_SOC_CFG2 0x38 /* SoC-specific configuration */

#define UART_IER_RDI   0x01 /* received-data interrupt */
#define UART_LSR_DR    0x01 /* data ready */
#define UART_LSR_THRE  0x20 /* transmit holding register empty */

#define UART_LCR_8N1   0x03
#define UART_LCR_8E1   0x1B
#define UART_FCR_START 0x47 /* FIFOs on and cleared, receive trigger 4 bytes */
#define UART_FCR_CLEAR 0x06 /* both FIFOs cleared */
#define UART_FCR_ON    0x01 /* FIFOs on, receive trigger 1 byte */
#define UART_CLKDIV_START 4

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
