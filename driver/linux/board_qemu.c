// SPDX-License-Identifier: MIT
/*
 * Board layer for QEMU (x86-64 pc and mipsel Malta): the SoC's two UART
 * blocks are played by two PC 16550 ports on the ISA bus.
 *
 *   primary UART   bus 0x6C200, SoC line 10  ->  COM2, I/O 0x2F8, IRQ 3
 *   ISP link       bus 0x6CD00, SoC line 71  ->  COM3, I/O 0x3E8, IRQ 5
 *
 * COM3 is wired to ISA IRQ 5, not the PC's usual IRQ 4: IRQ 4 belongs to
 * COM1, the guest's console, and the serial driver keeps a console port's
 * interrupt for as long as the kernel runs.
 *
 * The SoC block is a 16550 whose registers sit 4 bytes apart, with the
 * transmit holding register at its own offset and the divisor in a register
 * of its own.  The values the driver writes (interrupt enable 0/1, FIFO
 * control 0x47/0x06/0x01, line control 0x03/0x1B, line status bits 0x01 and
 * 0x20) mean the same on a 16550, so they pass through unchanged:
 *
 *   SoC offset                   16550 register
 *   0x00 receive buffer    (r)   +0 RBR
 *   0x04 transmit holding  (w)   +0 THR
 *   0x08 interrupt enable        +1 IER
 *   0x0C interrupt ident   (r)   +2 IIR
 *   0x10 FIFO control      (w)   +2 FCR
 *   0x14 line control            +3 LCR (without the divisor latch bit)
 *   0x18 modem control           +4 MCR (OUT2 always kept on)
 *   0x1C line status       (r)   +5 LSR
 *   0x20 modem status      (r)   +6 MSR
 *   0x24 scratch                 +7 SCR
 *   0x28 clock divisor           DLL/DLM through the divisor latch
 *   0x2C, 0x38 SoC-specific      ignored (read as 0)
 *
 * Divisor: on the box, divisor 4 of the SoC's UART clock gives the micom
 * link's 115200 bit/s; a PC 16550 (1.8432 MHz) gives 115200 bit/s with
 * divisor 1.  The board writes SoC divisor / 4 (at least 1) to the 16550,
 * so the driver's value keeps its meaning.  Through QEMU's chardev the
 * speed only sets the receive FIFO's time-out; bytes pass as fast as the
 * host sends them.
 *
 * OUT2 of the modem control register gates a PC UART's interrupt onto the
 * ISA bus; the board sets it once, the driver never needs to know.
 *
 * Waiting for a byte: the driver polls the line status for data ready,
 * about a microsecond apart, for a bounded time (a few milliseconds: on the
 * box the next byte of a frame is at most one character time away).  In
 * QEMU the bytes reach the 16550's FIFO from the host through QEMU's main
 * loop, which needs QEMU's global lock, and a guest CPU polling a port
 * takes that lock at every access: a byte can be late by milliseconds.  So
 * from the second status read in a row that finds the receiver empty (no
 * other register touched in between), the board pauses FP_QEMU_POLL_PAUSE_US
 * before reading, leaving QEMU's main loop room to deliver.  A poll for the
 * transmitter, or a check between frames, reads the status once and is not
 * slowed; the driver's bound on a wait for a byte becomes about ten times
 * longer.
 */
#include <linux/delay.h>
#include <linux/io.h>
#include <linux/ioport.h>
#include <linux/kernel.h>
#include <linux/ratelimit.h>
#include <linux/serial_reg.h>
#include <linux/spinlock.h>

#include "platform/kp_soc.h"
#include "soc_map.h"
#include "fp_glue.h"

#define FP_QEMU_POLL_PAUSE_US 10

struct fp_port {
	u32 bus_base;   /* the SoC block's bus address */
	unsigned int soc_irq;
	unsigned long io;    /* the 16550's I/O base */
	int irq;             /* its ISA interrupt */
	const char *name;
	u8 lcr;              /* line control as last written, divisor latch off */
	u32 divisor;         /* the SoC divisor as last written */
	bool last_lsr_empty;    /* the last access was a status read without data */
	bool claimed;
};

static struct fp_port fp_ports[] = {
	{ .bus_base = FP_UART_BASE, .soc_irq = FP_IRQ, .io = 0x2F8, .irq = 3,
	  .name = "frontpanel micom" },
	{ .bus_base = FP_UART_ALT_BASE, .soc_irq = FP_ISP_IRQ, .io = 0x3E8,
	  .irq = 5, .name = "frontpanel isp" },
};

/* Guards the divisor-latch sequence against a concurrent line-control write. */
static DEFINE_SPINLOCK(fp_port_lock);

static struct fp_port *fp_port_of(u32 bus, u32 *offset)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(fp_ports); i++) {
		struct fp_port *p = &fp_ports[i];

		if (bus >= p->bus_base && bus < p->bus_base + FP_UART_BLOCK_SIZE) {
			*offset = bus - p->bus_base;
			return p;
		}
	}
	return NULL;
}

static void fp_warn_address(const char *what, u32 addr)
{
	pr_warn_ratelimited("fp_micom: %s of unknown register 0x%08x\n", what,
			    addr);
}

static u32 fp_read_lsr(struct fp_port *p)
{
	u8 lsr = inb(p->io + UART_LSR);

	if (lsr & UART_LSR_DR) {
		p->last_lsr_empty = false;
		return lsr;
	}
	if (!p->last_lsr_empty) {
		p->last_lsr_empty = true;
		return lsr;
	}
	udelay(FP_QEMU_POLL_PAUSE_US);
	return inb(p->io + UART_LSR);
}

static u32 fp_port_read(struct fp_port *p, u32 offset)
{
	if (offset == SOC_UART_LSR)
		return fp_read_lsr(p);
	p->last_lsr_empty = false;
	switch (offset) {
	case SOC_UART_RBR: return inb(p->io + UART_RX);
	case SOC_UART_IER: return inb(p->io + UART_IER);
	case SOC_UART_IIR: return inb(p->io + UART_IIR);
	case SOC_UART_LCR: return p->lcr;
	case SOC_UART_MCR: return inb(p->io + UART_MCR);
	case SOC_UART_MSR: return inb(p->io + UART_MSR);
	case SOC_UART_SCR: return inb(p->io + UART_SCR);
	case SOC_UART_CLKDIV: return p->divisor;
	default: return 0;
	}
}

static void fp_port_write(struct fp_port *p, u32 offset, u32 value)
{
	unsigned long flags;
	unsigned int div;

	p->last_lsr_empty = false;
	switch (offset) {
	case SOC_UART_THR:
		outb(value, p->io + UART_TX);
		break;
	case SOC_UART_IER:
		outb(value & 0x0F, p->io + UART_IER);
		break;
	case SOC_UART_FCR:
		outb(value, p->io + UART_FCR);
		break;
	case SOC_UART_LCR:
		spin_lock_irqsave(&fp_port_lock, flags);
		p->lcr = value & ~UART_LCR_DLAB;
		outb(p->lcr, p->io + UART_LCR);
		spin_unlock_irqrestore(&fp_port_lock, flags);
		break;
	case SOC_UART_MCR:
		outb((value & 0x1F) | UART_MCR_OUT2, p->io + UART_MCR);
		break;
	case SOC_UART_SCR:
		outb(value, p->io + UART_SCR);
		break;
	case SOC_UART_CLKDIV:
		div = max(1u, (unsigned int)value / 4);
		spin_lock_irqsave(&fp_port_lock, flags);
		p->divisor = value;
		outb(p->lcr | UART_LCR_DLAB, p->io + UART_LCR);
		outb(div & 0xFF, p->io + UART_DLL);
		outb((div >> 8) & 0xFF, p->io + UART_DLM);
		outb(p->lcr, p->io + UART_LCR);
		spin_unlock_irqrestore(&fp_port_lock, flags);
		break;
	default: /* SOC_UART_CFG, _CFG2: the SoC's own configuration */
		break;
	}
}

u32 kp_reg_read32(u32 kseg1_addr)
{
	u32 offset;
	struct fp_port *p = fp_port_of(kseg1_addr & FP_KSEG1_MASK, &offset);

	if (!p || (kseg1_addr & ~FP_KSEG1_MASK) != FP_KSEG1) {
		fp_warn_address("read", kseg1_addr);
		return 0;
	}
	return fp_port_read(p, offset);
}

void kp_reg_write32(u32 kseg1_addr, u32 value)
{
	u32 offset;
	struct fp_port *p = fp_port_of(kseg1_addr & FP_KSEG1_MASK, &offset);

	if (!p || (kseg1_addr & ~FP_KSEG1_MASK) != FP_KSEG1) {
		fp_warn_address("write", kseg1_addr);
		return;
	}
	fp_port_write(p, offset, value);
}

void kp_sync(void)
{
	mb(); /* the SoC's sync: every register access before it is done */
}

/* The receive buffer and transmit holding registers, by bus address. */
u32 gbus_read_uint32(struct gbus *bus, u32 addr)
{
	u32 offset;
	struct fp_port *p = fp_port_of(addr, &offset);

	if (!p || offset != 0x00) {
		fp_warn_address("bus read", addr);
		return 0;
	}
	p->last_lsr_empty = false;
	return inb(p->io + UART_RX);
}

void gbus_write_uint32(struct gbus *bus, u32 addr, u32 data)
{
	u32 offset;
	struct fp_port *p = fp_port_of(addr, &offset);

	if (!p || offset != 0x04) {
		fp_warn_address("bus write", addr);
		return;
	}
	p->last_lsr_empty = false;
	outb(data & 0xFF, p->io + UART_TX);
}

/* A chip number for the log, as the box reports it. */
u32 tangox_chip_id(void)
{
	return 0x86520000u;
}

void tangox_udelay(unsigned int usec)
{
	udelay(usec);
}

int fp_board_irq(unsigned int soc_irq)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(fp_ports); i++)
		if (fp_ports[i].soc_irq == soc_irq)
			return fp_ports[i].irq;
	return -1;
}

void fp_board_exit(void)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(fp_ports); i++) {
		struct fp_port *p = &fp_ports[i];

		if (!p->claimed)
			continue;
		outb(0, p->io + UART_IER);
		outb(0, p->io + UART_MCR);
		release_region(p->io, 8);
		p->claimed = false;
	}
}

/*
 * Claims both ports (the serial driver must have left them alone: boot
 * with 8250.nr_uarts=1, and pnpacpi=off on x86) and puts them in the state
 * the SoC's blocks are in at power-on: interrupts off, 8N1, OUT2 on.
 */
int fp_board_init(void)
{
	size_t i;

	for (i = 0; i < ARRAY_SIZE(fp_ports); i++) {
		struct fp_port *p = &fp_ports[i];

		if (!request_region(p->io, 8, p->name)) {
			pr_err("fp_micom: I/O ports 0x%lx-0x%lx are taken\n",
			       p->io, p->io + 7);
			fp_board_exit();
			return -EBUSY;
		}
		p->claimed = true;
		p->lcr = UART_LCR_WLEN8;
		p->divisor = 0;
		outb(0, p->io + UART_IER);
		outb(p->lcr, p->io + UART_LCR);
		outb(UART_MCR_OUT2 | UART_MCR_RTS | UART_MCR_DTR,
		     p->io + UART_MCR);
	}
	return 0;
}
