// SPDX-License-Identifier: MIT
// The receive path: both UART interrupt handlers and the parser they call.
// The parser drains the UART inside the interrupt, with the driver lock
// held, and returns only between frames.
#include "parser.h"
#include "clock_record.h"
#include "frame.h"
#include "isp_transport.h"
#include "keys.h"
#include "ratelimit.h"
#include "uart.h"

static uint8_t read_byte(uint32_t base)
{
	return (uint8_t)(gbus_read_uint32(FP_GBUS, base + SOC_UART_RBR) & 0xFF);
}

static int data_ready(uint32_t base)
{
	return (uart_reg_read(base, SOC_UART_LSR) & SOC_UART_LSR_DR) != 0;
}

static void warn_cut(int got)
{
	if (fp_ratelimit_ok(&fp_local.cut_warning))
		kp_printk("\x01" "4fp_micom: frame cut short (%d bytes)\n", got);
}

/*
 * 1 when the XOR of the direction byte, the code/length byte, the payload
 * and the checksum that end the frame (@rest, @n bytes) is 0.  A frame
 * that fails it was damaged on the line (one flipped bit in a time answer
 * would set the kernel clock years off): it is dropped whole, with a
 * warning.
 */
static int checksum_ok(uint8_t code, const uint8_t *rest, int n)
{
	if (frame_checksum(FRAME_TO_HOST, code, rest, n) == 0)
		return 1;
	if (fp_ratelimit_ok(&fp_local.checksum_warning))
		kp_printk("\x01" "4fp_micom: bad checksum, frame %02X dropped\n", (unsigned int)code);
	return 0;
}

/*
 * Reads the next byte of a frame, waiting for it.  A micom that stops in the
 * middle of a frame would otherwise hold the CPU with interrupts off: the
 * wait is bounded (UART_POLL_LIMIT_US, some twenty character times at
 * 115200 bit/s) and the frame is given up, with a warning, when the byte
 * does not come.  @got is how many bytes of the frame came before, start
 * byte included.  Returns 1 with the byte in @b.
 *
 * The direction and code/length bytes are waited for as well.  The FIFO's
 * trigger level of 4 bytes makes them present when a frame's start byte
 * raised the interrupt, but not when the start byte is the last of a few
 * stray bytes read in the same run (.. 33 AA | DF E5 ..): an empty FIFO
 * gives its last byte again, and the frame that follows the noise would be
 * lost.
 */
static int frame_byte(uint32_t base, int got, uint8_t *b)
{
	if (!uart_wait_lsr(base, SOC_UART_LSR_DR)) {
		warn_cut(got);
		return 0;
	}
	*b = read_byte(base);
	return 1;
}

/* Reads the @n bytes that end a frame; 1 when all came. */
static int read_rest(uint32_t base, uint8_t *buf, int n)
{
	for (int i = 0; i < n; i++)
		if (!frame_byte(base, 3 + i, &buf[i]))
			return 0;
	return 1;
}

/* 0xA8: the boot information, answer to CMD_BOOTINFO. */
static void got_bootinfo(fp_priv_t *priv, const uint8_t p[9])
{
	priv->alarm_status = p[7];
	if (priv->alarm_status > 0)
		priv->alarm_time = (uint32_t)clock_fields_seconds(clock_record_decode(p));
	else
		priv->alarm_time = 0;
	priv->bootinfo_ready = 1;
	kp_wake_up_interruptible(&priv->bootinfo_queue);
}

/* 0xD8: the micom's time; the kernel clock follows it at every answer. */
static void got_time(fp_priv_t *priv, const uint8_t p[9])
{
	clock_fields c = clock_record_decode(p);

	priv->rtc_year = c.year;
	priv->rtc_mon = c.mon;
	priv->rtc_day = c.day;
	priv->rtc_hour = c.hour;
	priv->rtc_min = c.min;
	priv->rtc_sec = c.sec;
	priv->time_flags = p[7];
	kp_set_wall_clock((unsigned int)c.year, (unsigned int)c.mon, (unsigned int)c.day,
			  (unsigned int)c.hour, (unsigned int)c.min, (unsigned int)c.sec, 500000000L);
	priv->time_ready = 1;
	kp_wake_up_interruptible(&priv->time_queue);
}

/* The frame path on the primary UART.  Returns when no byte is waiting between frames. */
static void read_frames(fp_priv_t *priv)
{
	const uint32_t base = priv->uart_base;
	uint8_t b = read_byte(base);
	uint8_t buf[9];

	for (;;) {
		if (b == FRAME_START) {
			uint8_t dir, code;

			if (!frame_byte(base, 1, &dir))
				return;
			/* A wrong direction byte is dropped, never re-examined
			 * as a start byte (AA AA DF .. loses its frame). */
			if (dir == FRAME_TO_HOST) {
				if (!frame_byte(base, 2, &code))
					return;
				switch (code) {
				case FRAME_BOOTINFO:
					/* 8 payload bytes and the checksum */
					if (!read_rest(base, buf, 9))
						return;
					if (checksum_ok(code, buf, 9))
						got_bootinfo(priv, buf);
					break;
				case FRAME_TIME:
					/* a dropped answer is a time-out for its waiter */
					if (!read_rest(base, buf, 9))
						return;
					if (checksum_ok(code, buf, 9))
						got_time(priv, buf);
					break;
				case FRAME_KEY:
					/* 5 payload bytes and the checksum, which
					 * stays in the event as its sixth byte */
					if (!read_rest(base, buf, 6))
						return;
					if (!checksum_ok(code, buf, 6))
						break;
					if (buf[2] != FP_KEY_ADDR_REMOTE && buf[2] != FP_KEY_ADDR_FRONT)
						break; /* not from our remote or front keys */
					kp_print_hex_dump("\x01" "7", "ir raw data: ", KP_DUMP_PREFIX_NONE,
							  16, 1, buf, 6, 0);
					fp_key_event(priv, buf);
					break;
				default:
					/* a frame type the driver does not know */
					break;
				}
			}
		}
		/* between frames: anything more to read? */
		if (!data_ready(base))
			return;
		b = read_byte(base);
	}
}

/* The ISP path on the alternate UART: every byte goes to the ISP receive rules. */
static void read_isp(fp_priv_t *priv)
{
	const uint32_t base = priv->uart_alt_base;

	isp_receive_byte(priv, read_byte(base));
	while (data_ready(base))
		isp_receive_byte(priv, read_byte(base));
}

void fp_read_device(fp_priv_t *priv)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	if (priv->isp_mode)
		read_isp(priv);
	else
		read_frames(priv);
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

static int isr_common(uint32_t base, void *cookie)
{
	fp_priv_t *priv = (fp_priv_t *)cookie;
	uint32_t lsr = uart_reg_read(base, SOC_UART_LSR);

	if (lsr == 0)
		return KP_IRQ_NONE;
	if (lsr & SOC_UART_LSR_DR)
		fp_read_device(priv);
	return KP_IRQ_HANDLED;
}

int fp_isr(int irq, void *cookie)
{
	(void)irq;
	return isr_common(((fp_priv_t *)cookie)->uart_base, cookie);
}

int fp_isr_lumeta(int irq, void *cookie)
{
	(void)irq;
	return isr_common(((fp_priv_t *)cookie)->uart_alt_base, cookie);
}
