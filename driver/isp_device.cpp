// SPDX-License-Identifier: MIT
// /dev/micom, the door to the micom's flash programmer, and /proc/enableisp.
#include "isp_device.h"
#include "frame.h"
#include "parser.h"
#include "isp_transport.h"
#include "micom_ioctl.h"
#include "proc_text.h"
#include "rescue.h"
#include "uart.h"

#define ISP_WRITE_MAX 512

/* The frame that makes the normal firmware hand over to its flash programmer. */
static constexpr uint8_t isp_handover_payload[] = { CTRL_ISP, 0x00 };
static constexpr fp_frame isp_handover_frame = make_frame(CMD_CONTROL, isp_handover_payload);

static int micom_open(kp_inode *inode, kp_file *file)
{
	fp_priv_t *priv = &fp_priv;
	unsigned long flags;

	(void)inode;
	kp_file_set_private(file, priv);
	/*
	 * The blink thread would keep sending LED frames, which the micom's
	 * flash programmer must never see.  Build B of the programmer writes
	 * no /proc/enableisp, so the open stops it, as that entry does.
	 */
	stop_blink();

	flags = kp_spin_lock_irqsave(&fp_lock);
	if (priv->isp_mode) {
		/* one user at a time: a second session would end the first's */
		kp_spin_unlock_irqrestore(&fp_lock, flags);
		return -KP_EBUSY;
	}
	priv->isp_erase_state = 0;
	priv->isp_erase_verify_state = 0;
	priv->isp_program_state = 0;
	priv->isp_byte_state = 0;
	priv->isp_verify_state = 0;
	priv->isp_mode = 1;
	priv->isp_sync_pending = 0;
	priv->isp_checksum_state = 0;
	/*
	 * The primary UART's receive interrupt goes off in the same locked
	 * section.  A byte coming in between would raise interrupt 10 with
	 * isp_mode already 1: the parser would read the alternate UART, the
	 * primary one would keep its line up, and the handler would run again
	 * and again before this process ever got to the register write.
	 */
	uart_reg_write(priv->uart_base, SOC_UART_IER, 0);
	kp_spin_unlock_irqrestore(&fp_lock, flags);

	uart_reg_write(priv->uart_alt_base, SOC_UART_LCR, SOC_UART_LCR_8E1);
	uart_reg_write(priv->uart_alt_base, SOC_UART_FCR, SOC_UART_FCR_CLEAR);
	uart_reg_write(priv->uart_alt_base, SOC_UART_FCR, SOC_UART_FCR_ON);

	if (kp_request_irq(FP_ISP_IRQ, fp_isr_lumeta, KP_IRQF_DISABLED, "FP_ISR_LUMETA", priv)) {
		kp_printk("\x01" "6fp_micom: cannot register IRQ 11\n");
		return 0;
	}
	fp_local.isp_irq_owned = 1;
	uart_reg_write(priv->uart_alt_base, SOC_UART_IER, SOC_UART_IER_RDI);
	return 0;
}

static int micom_release(kp_inode *inode, kp_file *file)
{
	fp_priv_t *priv = (fp_priv_t *)kp_file_get_private(file);
	unsigned long flags;

	(void)inode;
	flags = kp_spin_lock_irqsave(&fp_lock);
	priv->isp_mode = 0;
	/* with isp_mode 0 nothing reads the alternate UART any more: its
	 * receive interrupt goes off in the same locked section (see open) */
	uart_reg_write(priv->uart_alt_base, SOC_UART_IER, 0);
	kp_spin_unlock_irqrestore(&fp_lock, flags);

	if (fp_local.isp_irq_owned) {
		kp_free_irq(FP_ISP_IRQ, priv);
		fp_local.isp_irq_owned = 0;
	}
	uart_reg_write(priv->uart_base, SOC_UART_IER, SOC_UART_IER_RDI);
	return 0;
}

static long micom_write(kp_file *file, const char *ubuf, size_t count, long long *pos)
{
	fp_priv_t *priv = (fp_priv_t *)kp_file_get_private(file);
	uint8_t buf[ISP_WRITE_MAX];

	(void)pos;
	if (count > ISP_WRITE_MAX || kp_copy_from_user(buf, ubuf, count))
		return -KP_EFAULT;

	isp_send_data(priv, buf, count);
	return (long)count;
}

static long put_word(unsigned long arg, int32_t value)
{
	return kp_copy_to_user((void *)arg, &value, sizeof(value)) ? -KP_EFAULT : 0;
}

/* A four-byte command: code, block byte, 00, FF. */
static void send_command(fp_priv_t *priv, int32_t *state, uint8_t code, uint8_t block)
{
	const uint8_t frame[4] = { code, block, 0x00, 0xFF };

	isp_send_frame(priv, state, frame, 4);
}

/* A block command reads the caller's block number before anything is sent. */
static long send_block_command(fp_priv_t *priv, int32_t *state, uint8_t code, unsigned long arg)
{
	int32_t block;

	if (kp_copy_from_user(&block, (const void *)arg, sizeof(block)))
		return -KP_EFAULT;
	send_command(priv, state, code, (uint8_t)(block & 0xFF));
	return 0;
}

/** struct std_frame - a standard frame of the flash programmer, and its length. */
struct std_frame {
	uint8_t bytes[12];
	int len;
};

/*
 * Standard frames: 01, LEN (the command and its data), COM, data, SUM (the
 * byte that makes LEN + COM + data + SUM 0 modulo 256), 03.  No answer rule
 * serves them.
 */
template <typename... Data>
static constexpr std_frame make_std_frame(uint8_t com, Data... data)
{
	const uint8_t body[] = { (uint8_t)(sizeof...(data) + 1), com, (uint8_t)data... };
	std_frame f{};
	uint8_t sum = 0;

	f.bytes[f.len++] = 0x01;
	for (uint8_t b : body) {
		f.bytes[f.len++] = b;
		sum = (uint8_t)(sum + b);
	}
	f.bytes[f.len++] = (uint8_t)(0x100 - sum);
	f.bytes[f.len++] = 0x03;
	return f;
}

/* code flash 0000-3FFF: the checksum and programming ranges */
static constexpr std_frame std_reset = make_std_frame(0x00);
static constexpr std_frame std_freq_set = make_std_frame(0x90, 0x02, 0x00, 0x00, 0x05);
static constexpr std_frame std_checksum = make_std_frame(0xB0, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xFF);
static constexpr std_frame std_chip_erase = make_std_frame(0x20);
static constexpr std_frame std_program = make_std_frame(0x40, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xFF);

static long micom_ioctl(kp_file *file, unsigned int cmd, unsigned long arg)
{
	fp_priv_t *priv = (fp_priv_t *)kp_file_get_private(file);
	unsigned long flags;
	int32_t value;

	switch (cmd) {
	case MICOM_ISP_SYNC:
		isp_send_sync(priv);
		return 0;
	case MICOM_ISP_GET_SYNC:
		return put_word(arg, priv->isp_sync_pending); /* no wait, no lock */
	case MICOM_ISP_CHECKSUM:
		send_command(priv, &priv->isp_checksum_state, 0xB0, 0x1F);
		return 0;
	case MICOM_ISP_CHECKSUM_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_checksum_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_CHECKSUM_VALUE:
		flags = kp_spin_lock_irqsave(&fp_lock);
		value = priv->isp_checksum_value;
		kp_spin_unlock_irqrestore(&fp_lock, flags);
		return put_word(arg, value);
	case MICOM_ISP_CHIP_ERASE:
		send_command(priv, &priv->isp_erase_state, 0x20, 0x1F);
		return 0;
	case MICOM_ISP_CHIP_ERASE_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_erase_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_ERASE_VERIFY:
		send_command(priv, &priv->isp_erase_verify_state, 0x30, 0x1F);
		return 0;
	case MICOM_ISP_ERASE_VERIFY_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_erase_verify_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_BLOCK_PROGRAM:
		return send_block_command(priv, &priv->isp_program_state, 0x40, arg);
	case MICOM_ISP_BLOCK_PROGRAM_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_program_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_BYTE_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_byte_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_BLOCK_VERIFY:
		return send_block_command(priv, &priv->isp_verify_state, 0x19, arg);
	case MICOM_ISP_BLOCK_VERIFY_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_verify_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_STD_RESET:
		isp_send_frame(priv, &priv->isp_std_reset_state, std_reset.bytes, std_reset.len);
		return 0;
	case MICOM_ISP_STD_RESET_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_std_reset_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_UART_CLKDIV:
		uart_reg_write(priv->uart_base, SOC_UART_CLKDIV, SOC_UART_CLKDIV_START);
		return 0;
	case MICOM_ISP_STD_FREQ_SET:
		isp_send_frame(priv, &priv->isp_std_freq_state, std_freq_set.bytes, std_freq_set.len);
		return 0;
	case MICOM_ISP_STD_CHECKSUM:
		isp_send_std_checksum(priv, std_checksum.bytes, std_checksum.len);
		return 0;
	case MICOM_ISP_STD_CHECKSUM_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_std_checksum_state,
					       ISP_STD_CHECKSUM_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_STD_CHECKSUM_VALUE:
		flags = kp_spin_lock_irqsave(&fp_lock);
		value = priv->isp_std_checksum_value;
		kp_spin_unlock_irqrestore(&fp_lock, flags);
		return put_word(arg, value);
	case MICOM_ISP_STD_CHIP_ERASE:
		isp_send_frame(priv, &priv->isp_std_erase_state, std_chip_erase.bytes, std_chip_erase.len);
		return 0;
	case MICOM_ISP_STD_CHIP_ERASE_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_std_erase_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_STD_PROGRAM:
		isp_send_frame(priv, &priv->isp_std_program_state, std_program.bytes, std_program.len);
		return 0;
	case MICOM_ISP_STD_PROGRAM_STATUS:
		return put_word(arg, isp_await(priv, &priv->isp_std_program_state,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	case MICOM_ISP_STD_FREQ_SET_STATUS:
		/* the word is cleared also when the copy fails */
		return put_word(arg, isp_await(priv, &priv->isp_std_freq_state, ISP_WAIT_TICKS,
					       ISP_AWAIT_TAKE));
	case MICOM_ISP_STD_REPLY:
		flags = kp_spin_lock_irqsave(&fp_lock);
		priv->isp_rx_count = 0;
		kp_spin_unlock_irqrestore(&fp_lock, flags);
		return put_word(arg, isp_await(priv, &priv->isp_std_reply,
					       ISP_WAIT_TICKS, ISP_AWAIT_READ));
	default:
		return 0; /* unknown commands do nothing */
	}
}

constinit const kp_file_ops micom_fops = {
	.open = micom_open,
	.release = micom_release,
	.write = micom_write,
	.unlocked_ioctl = micom_ioctl,
};

int enableisp_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	fp_priv_t *priv = (fp_priv_t *)data;
	unsigned long flags;

	(void)file;
	(void)ubuf;
	stop_blink(); /* the LEDs must not be driven during the hand-over */
	flags = kp_spin_lock_irqsave(&fp_lock);
	/* sent also while /dev/micom is open: FP_TX_HANDOVER says why */
	fp_transmit(priv, FP_TX_HANDOVER, isp_handover_frame.bytes,
		    (size_t)isp_handover_frame.len, 0);
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return (int)count;
}
