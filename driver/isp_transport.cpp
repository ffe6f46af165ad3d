// SPDX-License-Identifier: MIT
// The ISP link: sending, the answer rules, awaiting an answer.
#include "fp_wait.h"
#include "isp_transport.h"
#include "micom_ioctl.h"
#include "uart.h"

/** struct isp_rule - an answer rule: its state word and where its answer completes. */
struct isp_rule {
	int32_t fp_priv_t::*state;
	int status_at;   /* position of the status byte */
	int length;      /* answer length; 0: complete at every byte from status_at on */
};

/* The rules of the four-byte commands and of the data bytes. */
static constexpr isp_rule isp_rules[] = {
	{ &fp_priv_t::isp_checksum_state, 4, 7 },   /* echo, status, checksum low, high */
	{ &fp_priv_t::isp_erase_state, 4, 0 },      /* echo of 4 bytes, status */
	{ &fp_priv_t::isp_erase_verify_state, 4, 0 },
	{ &fp_priv_t::isp_program_state, 4, 0 },
	{ &fp_priv_t::isp_byte_state, 1, 2 },       /* echo of the data byte, status */
	{ &fp_priv_t::isp_verify_state, 4, 0 },
};

/*
 * The rule that the last send armed: the micom's bytes belong to the answer
 * to the last command sent.  A rule left at 1 by a refused or missing answer
 * therefore takes no bytes of the answers to later commands (its word still
 * reads 1), so one refusal does not make every later step read as refused.
 * Set under the driver lock, with the arming: fp_local.isp_armed_rule.
 */

/* Notes @state as armed last when an answer rule serves it. */
static void note_armed(fp_priv_t *priv, const int32_t *state)
{
	for (const isp_rule &r : isp_rules) {
		if (&(priv->*r.state) == state) {
			fp_local.isp_armed_rule = &r;
			return;
		}
	}
	/* a standard frame: no rule serves it, the last armed rule stays */
}

void isp_send_sync(fp_priv_t *priv)
{
	const uint8_t sync = ISP_SYNC_BYTE;
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	priv->isp_sync_pending = 1;
	fp_transmit(priv, FP_TX_ISP, &sync, 1, 0); /* no pause after the sync */
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

/* Arms @state and sends @bytes paced, all under the driver lock.  With
 * @std_checksum the arming also clears isp_std_freq_state and isp_event, so
 * that no answer completed before the frame can end its wait. */
static void send_paced(fp_priv_t *priv, int32_t *state, const uint8_t *bytes, int len,
		       bool std_checksum)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	*state = MICOM_ISP_ARMED;
	priv->isp_rx_count = 0;
	note_armed(priv, state);
	if (std_checksum) {
		priv->isp_std_freq_state = MICOM_ISP_IDLE;
		priv->isp_event = 0;
	}
	fp_transmit(priv, FP_TX_ISP, bytes, (size_t)len, ISP_PACE_US);
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

void isp_send_frame(fp_priv_t *priv, int32_t *state, const uint8_t *bytes, int len)
{
	send_paced(priv, state, bytes, len, false);
}

void isp_send_std_checksum(fp_priv_t *priv, const uint8_t *bytes, int len)
{
	send_paced(priv, &priv->isp_std_checksum_state, bytes, len, true);
}

void isp_send_data(fp_priv_t *priv, const uint8_t *bytes, size_t count)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	priv->isp_byte_state = MICOM_ISP_ARMED;
	priv->isp_rx_count = 0;
	note_armed(priv, &priv->isp_byte_state);
	fp_transmit(priv, FP_TX_ISP, bytes, count, 0); /* data bytes go out back to back */
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

int32_t isp_await(fp_priv_t *priv, int32_t *word, long ticks, isp_await_word then)
{
	unsigned long flags;
	int32_t value;

	/* An answer that completed before the wait (even before the last
	 * open) ends it at once; any completion ends it, not only the
	 * awaited rule's. */
	fp_wait_event_timeout(&priv->ack_queue, [priv] { return priv->isp_event != 0; }, ticks);
	/* Cleared and read in one locked section, where ISP_AWAIT_TAKE also
	 * sets the word back to idle: the receive parser sets isp_event from
	 * the interrupt.  An answer that completes between the end of the
	 * wait and the section is cleared unseen by a later wait, but its
	 * word is read here: the order of wait, clear and read is the
	 * device's own. */
	flags = kp_spin_lock_irqsave(&fp_lock);
	priv->isp_event = 0;
	value = *word;
	if (then == ISP_AWAIT_TAKE)
		*word = MICOM_ISP_IDLE;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return value;
}

void isp_receive_byte(fp_priv_t *priv, uint8_t b)
{
	const isp_rule *rule;
	int count;

	/* The micom's answer to the sync is consumed whatever else is armed. */
	if (priv->isp_sync_pending == 1 && b == ISP_SYNC_BYTE) {
		priv->isp_sync_pending = 0;
		return;
	}

	rule = fp_local.isp_armed_rule;
	if (!rule || priv->*rule->state != MICOM_ISP_ARMED)
		return; /* no answer awaited: dropped */

	count = priv->isp_rx_count;
	if (count < 0 || count >= ISP_RX_BUF_SIZE)
		return; /* buffer full since the arming: dropped */
	priv->isp_rx_buf[count++] = b;
	priv->isp_rx_count = count;

	if (rule->length ? count != rule->length : count < rule->status_at + 1)
		return; /* not complete yet */

	if (priv->isp_rx_buf[rule->status_at] == ISP_ACK) {
		priv->*rule->state = MICOM_ISP_ACK;
		if (rule->state == &fp_priv_t::isp_checksum_state)
			priv->isp_checksum_value = priv->isp_rx_buf[5] | priv->isp_rx_buf[6] << 8;
	}
	priv->isp_event = 1;
	kp_wake_up_interruptible(&priv->ack_queue);
}
