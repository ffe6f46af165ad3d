// SPDX-License-Identifier: MIT
// Building and sending micom frames.
#include "frame.h"
#include "uart.h"

void send_cmd(int cmd, const uint8_t *payload, int len, fp_priv_t *priv)
{
	uint8_t frame[FRAME_MAX_LEN];
	int n = build_frame(frame, cmd, payload, len);
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	fp_transmit(priv, FP_TX_FRAME, frame, (size_t)n, 0);
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}
