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
#define SOC_UART_RBR    0x00 /* receive buffer (read): low 8 bits are the oldest byte */
#define SOC_UART_THR    0x04 /* transmit holding (write) */
#define SOC_UART_IER    0x08 /* interrupt enable */
#define SOC_UART_IIR    0x0C /* interrupt identification (read) */
#define SOC_UART_FCR    0x10 /* FIFO control (write) */
#define SOC_UART_LCR    0x14 /* line control */
#define SOC_UART_MCR    0x18 /* modem control */
#define SOC_UART_LSR    0x1C /* line status (read) */
#define SOC_UART_MSR    0x20 /* modem status (read) */
#define SOC_UART_SCR    0x24 /* scratch */
#define SOC_UART_CLKDIV 0x28 /* clock divisor */
#define SOC_UART_CFG    0x2C /* SoC-specific configuration */
#define SOC_UART_CFG2   0x38 /* SoC-specific configuration */

#define SOC_UART_IER_RDI   0x01 /* received-data interrupt */
#define SOC_UART_LSR_DR    0x01 /* data ready */
#define SOC_UART_LSR_THRE  0x20 /* transmit holding register empty */

#define SOC_UART_LCR_8N1   0x03
#define SOC_UART_LCR_8E1   0x1B
#define SOC_UART_FCR_START 0x47 /* FIFOs on and cleared, receive trigger 4 bytes */
#define SOC_UART_FCR_CLEAR 0x06 /* both FIFOs cleared */
#define SOC_UART_FCR_ON    0x01 /* FIFOs on, receive trigger 1 byte */
#define SOC_UART_CLKDIV_START 4

#endif
