// SPDX-License-Identifier: MIT
// Building and sending micom frames.
#include "frame.h"
#include "ratelimit.h"
#include "uart.h"

void send_cmd(int cmd, const uint8_t *payload, int len, fp_priv_t *priv)
{
	uint8_t frame[FRAME_MAX_LEN];
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);
	int n = build_frame(frame, cmd, payload, len);

	if (priv->isp_mode) {
		/*
		 * /dev/micom is open: the micom runs its flash programmer, which
		 * would take the frame's bytes as commands (0x20, the direction
		 * byte, is its chip erase).  Nothing goes out; a caller waiting
		 * for an answer times out as with a silent micom.
		 */
		if (fp_ratelimit_ok(&fp_local.isp_mode_warning))
			kp_printk("\x01" "4fp_micom: ISP mode, frame %02X not sent\n",
				  (unsigned int)frame[2]);
	} else {
		for (int i = 0; i < n; i++)
			UARTputchar(frame[i], priv);
	}
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}
