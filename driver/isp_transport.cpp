// SPDX-License-Identifier: MIT
// The ISP link: sending, the answer rules, awaiting an answer.
#include "fp_wait.h"
#include "isp_transport.h"
#include "uart.h"

void isp_send_sync(fp_priv_t *priv)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	priv->isp_sync_pending = 1;
	UARTputchar(ISP_SYNC_BYTE, priv); /* no pause after the sync */
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

void isp_send_frame(fp_priv_t *priv, int32_t *state, const uint8_t *bytes, int len)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	*state = 1;
	priv->isp_rx_count = 0;
	for (int i = 0; i < len; i++) {
		UARTputchar(bytes[i], priv);
		tangox_udelay(ISP_PACE_US);
	}
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

int32_t isp_await(fp_priv_t *priv, const int32_t *word, long ticks)
{
	unsigned long flags;
	int32_t value;

	/* An answer that completed before the wait (even before the last
	 * open) ends it at once; any completion ends it, not only the
	 * awaited rule's. */
	fp_wait_event_timeout(&priv->ack_queue, [priv] { return priv->isp_event != 0; }, ticks);
	priv->isp_event = 0;

	flags = kp_spin_lock_irqsave(&fp_lock);
	value = *word;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return value;
}

/** struct isp_rule - an answer rule: its state word and where its answer completes. */
struct isp_rule {
	int32_t fp_priv_t::*state;
	int status_at;   /* position of the status byte */
	int length;      /* answer length; 0: complete at every byte from status_at on */
};

/* In the order the rules are chosen: the first armed rule takes the byte. */
static constexpr isp_rule isp_rules[] = {
	{ &fp_priv_t::isp_checksum_state, 4, 7 },   /* echo, status, checksum low, high */
	{ &fp_priv_t::isp_erase_state, 4, 0 },      /* echo of 4 bytes, status */
	{ &fp_priv_t::isp_erase_verify_state, 4, 0 },
	{ &fp_priv_t::isp_program_state, 4, 0 },
	{ &fp_priv_t::isp_byte_state, 1, 2 },       /* echo of the data byte, status */
	{ &fp_priv_t::isp_verify_state, 4, 0 },
};

void isp_receive_byte(fp_priv_t *priv, uint8_t b)
{
	const isp_rule *rule = nullptr;
	int count;

	/* The micom's answer to the sync is consumed whatever else is armed. */
	if (priv->isp_sync_pending == 1 && b == ISP_SYNC_BYTE) {
		priv->isp_sync_pending = 0;
		return;
	}

	for (const isp_rule &r : isp_rules) {
		if (priv->*r.state == 1) {
			rule = &r;
			break;
		}
	}
	if (!rule)
		return; /* nothing armed: dropped */

	count = priv->isp_rx_count;
	if (count < 0 || count >= ISP_RX_BUF_SIZE)
		return; /* buffer full since the arming: dropped */
	priv->isp_rx_buf[count++] = b;
	priv->isp_rx_count = count;

	if (rule->length ? count != rule->length : count < rule->status_at + 1)
		return; /* not complete yet */

	if (priv->isp_rx_buf[rule->status_at] == ISP_ACK) {
		priv->*rule->state = 6;
		if (rule->state == &fp_priv_t::isp_checksum_state)
			priv->isp_checksum_value = priv->isp_rx_buf[5] | priv->isp_rx_buf[6] << 8;
	}
	priv->isp_event = 1;
	kp_wake_up_interruptible(&priv->ack_queue);
}
