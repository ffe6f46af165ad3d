/* SPDX-License-Identifier: MIT */
/*
 * The part of the SoC the driver uses, written once: the two UART blocks
 * with their registers and bits, their interrupt lines, and the uncached
 * KSEG1 window through which registers are reached.  Plain C: the core, the
 * kernel glue's board layers, the simulator and the tests all read it.
 */
#ifndef FP_SOC_MAP_H
#define FP_SOC_MAP_H

/* bus addresses of the two UART blocks, and the size of each */
#define FP_UART_BASE     0x6C200u       /* primary: micom frames (8N1) */
#define FP_UART_ALT_BASE 0x6CD00u       /* alternate: the ISP link (8E1) */
#define FP_UART_BLOCK_SIZE 0x40u

/* their interrupt lines */
#define FP_IRQ     10                   /* primary UART */
#define FP_ISP_IRQ 71                   /* alternate UART */

/* uncached access: a bus address in the KSEG1 window */
#define FP_KSEG1       0xA0000000u
#define FP_KSEG1_MASK  0x1FFFFFFFu      /* the bus address within it */

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

#endif
