// SPDX-License-Identifier: MIT
// Building and sending micom frames.
#include "frame.h"
#include "ratelimit.h"
#include "uart.h"

constinit static fp_ratelimit isp_mode_warning;

int build_frame(uint8_t frame[FRAME_MAX_LEN], int cmd, const uint8_t *payload, int len)
{
	int n = 0;
	uint8_t sum = 0;

	if (len > FRAME_MAX_PAYLOAD)
		len = FRAME_MAX_PAYLOAD; /* bytes beyond the first 32 are not sent */
	if (len < 0)
		len = 0;
	cmd &= 0x0F;

	frame[n++] = FRAME_START;
	frame[n++] = FRAME_TO_MICOM;
	if (len < 16) {
		frame[n++] = (uint8_t)(cmd << 4 | len);
	} else {
		frame[n++] = (uint8_t)(cmd << 4);
		frame[n++] = (uint8_t)len;
	}
	for (int i = 0; i < len; i++)
		frame[n++] = payload[i];
	for (int i = 1; i < n; i++)
		sum ^= frame[i];
	frame[n++] = sum;
	return n;
}

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
		if (fp_ratelimit_ok(&isp_mode_warning))
			kp_printk("\x01" "4fp_micom: ISP mode, frame %02X not sent\n",
				  (unsigned int)frame[2]);
	} else {
		for (int i = 0; i < n; i++)
			UARTputchar(frame[i], priv);
	}
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}
