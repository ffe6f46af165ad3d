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

/** struct isp_frame - a frame sent to the micom's flash programmer, and its length. */
struct isp_frame {
	uint8_t bytes[12];
	int len;
};

/* A four-byte command: code, block byte, 00, FF. */
static constexpr isp_frame make_command(uint8_t code, uint8_t block)
{
	return isp_frame{ { code, block, 0x00, 0xFF }, 4 };
}

/*
 * Standard frames: 01, LEN (the command and its data), COM, data, SUM (the
 * byte that makes LEN + COM + data + SUM 0 modulo 256), 03.  No answer rule
 * serves them.
 */
template <typename... Data>
static constexpr isp_frame make_std_frame(uint8_t com, Data... data)
{
	const uint8_t body[] = { (uint8_t)(sizeof...(data) + 1), com, (uint8_t)data... };
	isp_frame f{};
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

/* four-byte commands: the whole-chip ones carry the last block, 1F; a block
 * command's block byte is the caller's */
static constexpr isp_frame cmd_checksum = make_command(0xB0, 0x1F);
static constexpr isp_frame cmd_chip_erase = make_command(0x20, 0x1F);
static constexpr isp_frame cmd_erase_verify = make_command(0x30, 0x1F);
static constexpr isp_frame cmd_block_program = make_command(0x40, 0x00);
static constexpr isp_frame cmd_block_verify = make_command(0x19, 0x00);
/* code flash 0000-3FFF: the checksum and programming ranges */
static constexpr isp_frame std_reset = make_std_frame(0x00);
static constexpr isp_frame std_freq_set = make_std_frame(0x90, 0x02, 0x00, 0x00, 0x05);
static constexpr isp_frame std_checksum = make_std_frame(0xB0, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xFF);
static constexpr isp_frame std_chip_erase = make_std_frame(0x20);
static constexpr isp_frame std_program = make_std_frame(0x40, 0x00, 0x00, 0x00, 0x00, 0x3F, 0xFF);

/* What an ioctl of /dev/micom does with its entry's word, wait and frame. */
enum isp_ioctl_kind : uint8_t {
	IOC_SYNC,               /* send the sync byte; arms isp_sync_pending */
	IOC_SEND,               /* send the frame; arms the word */
	IOC_SEND_BLOCK,         /* the same, with the caller's block number as the block byte */
	IOC_STD_CHECKSUM,       /* send the standard checksum frame (isp_send_std_checksum) */
	IOC_AWAIT,              /* await an answer (ticks), then the word to the caller */
	IOC_AWAIT_TAKE,         /* the same, and the word goes back to idle */
	IOC_AWAIT_REPLY,        /* isp_rx_count to 0 under the lock, then as IOC_AWAIT */
	IOC_COPY,               /* the word, read under the lock, to the caller at once */
	IOC_PEEK,               /* the word to the caller at once, without the lock (one word) */
	IOC_UART_CLKDIV,        /* the primary UART's divisor back to its start value; nothing sent */
};

/** struct isp_ioctl - an ioctl of /dev/micom: its number, what it does, with what. */
struct isp_ioctl {
	unsigned int cmd;
	isp_ioctl_kind kind;
	int32_t fp_priv_t::*word = nullptr;     /* the state or value word */
	long ticks = 0;                         /* the awaits' time-out */
	const isp_frame *frame = nullptr;       /* what the sends send */
};

/*
 * The ioctls, as the answer rules of isp_transport.cpp are a table: each
 * send arms its word, the status request of the same word reports it.
 */
static constexpr isp_ioctl isp_ioctls[] = {
	{ MICOM_ISP_SYNC,                  IOC_SYNC },
	{ MICOM_ISP_GET_SYNC,              IOC_PEEK,         &fp_priv_t::isp_sync_pending },
	{ MICOM_ISP_CHECKSUM,              IOC_SEND,         &fp_priv_t::isp_checksum_state, 0, &cmd_checksum },
	{ MICOM_ISP_CHECKSUM_STATUS,       IOC_AWAIT,        &fp_priv_t::isp_checksum_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_CHECKSUM_VALUE,        IOC_COPY,         &fp_priv_t::isp_checksum_value },
	{ MICOM_ISP_CHIP_ERASE,            IOC_SEND,         &fp_priv_t::isp_erase_state, 0, &cmd_chip_erase },
	{ MICOM_ISP_CHIP_ERASE_STATUS,     IOC_AWAIT,        &fp_priv_t::isp_erase_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_ERASE_VERIFY,          IOC_SEND,         &fp_priv_t::isp_erase_verify_state, 0, &cmd_erase_verify },
	{ MICOM_ISP_ERASE_VERIFY_STATUS,   IOC_AWAIT,        &fp_priv_t::isp_erase_verify_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_BLOCK_PROGRAM,         IOC_SEND_BLOCK,   &fp_priv_t::isp_program_state, 0, &cmd_block_program },
	{ MICOM_ISP_BLOCK_PROGRAM_STATUS,  IOC_AWAIT,        &fp_priv_t::isp_program_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_BYTE_STATUS,           IOC_AWAIT,        &fp_priv_t::isp_byte_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_BLOCK_VERIFY,          IOC_SEND_BLOCK,   &fp_priv_t::isp_verify_state, 0, &cmd_block_verify },
	{ MICOM_ISP_BLOCK_VERIFY_STATUS,   IOC_AWAIT,        &fp_priv_t::isp_verify_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_STD_RESET,             IOC_SEND,         &fp_priv_t::isp_std_reset_state, 0, &std_reset },
	{ MICOM_ISP_STD_RESET_STATUS,      IOC_AWAIT,        &fp_priv_t::isp_std_reset_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_UART_CLKDIV,           IOC_UART_CLKDIV },
	{ MICOM_ISP_STD_FREQ_SET,          IOC_SEND,         &fp_priv_t::isp_std_freq_state, 0, &std_freq_set },
	/* arms isp_std_checksum_state; clears isp_std_freq_state and isp_event */
	{ MICOM_ISP_STD_CHECKSUM,          IOC_STD_CHECKSUM, nullptr, 0, &std_checksum },
	{ MICOM_ISP_STD_CHECKSUM_STATUS,   IOC_AWAIT,        &fp_priv_t::isp_std_checksum_state,
	  ISP_STD_CHECKSUM_WAIT_TICKS },
	{ MICOM_ISP_STD_CHECKSUM_VALUE,    IOC_COPY,         &fp_priv_t::isp_std_checksum_value },
	{ MICOM_ISP_STD_CHIP_ERASE,        IOC_SEND,         &fp_priv_t::isp_std_erase_state, 0, &std_chip_erase },
	{ MICOM_ISP_STD_CHIP_ERASE_STATUS, IOC_AWAIT,        &fp_priv_t::isp_std_erase_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_STD_PROGRAM,           IOC_SEND,         &fp_priv_t::isp_std_program_state, 0, &std_program },
	{ MICOM_ISP_STD_PROGRAM_STATUS,    IOC_AWAIT,        &fp_priv_t::isp_std_program_state, ISP_WAIT_TICKS },
	/* its word is cleared also when the copy to the caller fails */
	{ MICOM_ISP_STD_FREQ_SET_STATUS,   IOC_AWAIT_TAKE,   &fp_priv_t::isp_std_freq_state, ISP_WAIT_TICKS },
	{ MICOM_ISP_STD_REPLY,             IOC_AWAIT_REPLY,  &fp_priv_t::isp_std_reply, ISP_WAIT_TICKS },
};

/*
 * A block command reads the caller's block number before anything is sent;
 * its low 8 bits replace the block byte of @command.
 */
static long send_block_command(fp_priv_t *priv, int32_t *state, const isp_frame &command,
			       unsigned long arg)
{
	uint8_t frame[4] = { command.bytes[0], 0x00, command.bytes[2], command.bytes[3] };
	int32_t block;

	if (kp_copy_from_user(&block, (const void *)arg, sizeof(block)))
		return -KP_EFAULT;
	frame[1] = (uint8_t)(block & 0xFF);
	isp_send_frame(priv, state, frame, 4);
	return 0;
}

static long run_ioctl(fp_priv_t *priv, const isp_ioctl &op, unsigned long arg)
{
	int32_t *word = op.word ? &(priv->*op.word) : nullptr;
	unsigned long flags;
	int32_t value;

	switch (op.kind) {
	case IOC_SYNC:
		isp_send_sync(priv);
		return 0;
	case IOC_SEND:
		isp_send_frame(priv, word, op.frame->bytes, op.frame->len);
		return 0;
	case IOC_SEND_BLOCK:
		return send_block_command(priv, word, *op.frame, arg);
	case IOC_STD_CHECKSUM:
		isp_send_std_checksum(priv, op.frame->bytes, op.frame->len);
		return 0;
	case IOC_AWAIT_REPLY:
		flags = kp_spin_lock_irqsave(&fp_lock);
		priv->isp_rx_count = 0;
		kp_spin_unlock_irqrestore(&fp_lock, flags);
		return put_word(arg, isp_await(priv, word, op.ticks, ISP_AWAIT_READ));
	case IOC_AWAIT:
		return put_word(arg, isp_await(priv, word, op.ticks, ISP_AWAIT_READ));
	case IOC_AWAIT_TAKE:
		return put_word(arg, isp_await(priv, word, op.ticks, ISP_AWAIT_TAKE));
	case IOC_COPY:
		flags = kp_spin_lock_irqsave(&fp_lock);
		value = *word;
		kp_spin_unlock_irqrestore(&fp_lock, flags);
		return put_word(arg, value);
	case IOC_PEEK:
		return put_word(arg, *word); /* no wait, no lock: one word */
	case IOC_UART_CLKDIV:
		uart_reg_write(priv->uart_base, SOC_UART_CLKDIV, SOC_UART_CLKDIV_START);
		return 0;
	}
	return 0;
}

static long micom_ioctl(kp_file *file, unsigned int cmd, unsigned long arg)
{
	fp_priv_t *priv = (fp_priv_t *)kp_file_get_private(file);

	for (const isp_ioctl &op : isp_ioctls)
		if (op.cmd == cmd)
			return run_ioctl(priv, op, arg);
	return 0; /* unknown commands do nothing */
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
