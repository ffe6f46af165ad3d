/* SPDX-License-Identifier: MIT */
/*
 * The SoC's UART blocks (soc_map.h): start-up configuration and the one
 * transmit primitive.  Receive and transmit registers are reached over gbus
 * at their bus address; every other register as an uncached 32-bit word at
 * its KSEG1 alias, each store followed by a sync barrier.  Every byte the
 * driver sends leaves through fp_transmit(), which applies the ISP-mode rule.
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

/* What a run of bytes is: it decides whether fp_transmit() lets it out in ISP mode. */
enum fp_tx_kind {
	/*
	 * A frame for the micom's normal firmware (send_cmd): held back while
	 * /dev/micom is open.  The micom then runs its flash programmer, which
	 * would take the frame's bytes as commands (0x20, the direction byte,
	 * is its chip erase), and the driver's own users (the blink thread,
	 * the clock, the power-off hook...) know nothing of the session.
	 */
	FP_TX_FRAME,
	/*
	 * The hand-over frame of /proc/enableisp, the one frame that passes
	 * in ISP mode too.  The programming session sends it itself (the
	 * programmer writes the entry before it opens /dev/micom), so it is
	 * the session's traffic, not one of the driver's own frames: with the
	 * device open it goes to the ISP link like the rest of that traffic.
	 */
	FP_TX_HANDOVER,
	/* The flash programmer's traffic of /dev/micom: sync, commands, data bytes. */
	FP_TX_ISP,
};

/*
 * The one way out for the driver's bytes: sends @len bytes on the UART that
 * isp_mode selects, each followed by a busy-wait of @pace_us microseconds
 * (none for 0), unless ISP mode holds them back (an FP_TX_FRAME while
 * isp_mode is 1: nothing goes out, and a warning at most once a second
 * names the frame's code/length byte).  Caller holds the driver lock.
 */
void fp_transmit(fp_priv_t *priv, fp_tx_kind kind, const uint8_t *bytes, size_t len,
		 unsigned int pace_us);

#endif
