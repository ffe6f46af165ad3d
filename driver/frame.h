/* SPDX-License-Identifier: MIT */
/*
 * Micom frames: AA, direction (20 host to micom, DF micom to host),
 * code/length (code in the high nibble; payload length 0..15 in the low
 * nibble, or 0 followed by a length byte for 16..32), payload, and the XOR
 * of every byte after AA.
 */
#ifndef FP_FRAME_H
#define FP_FRAME_H

#include "ir_vfd.h"

#define FRAME_START     0xAA
#define FRAME_TO_MICOM  0x20
#define FRAME_TO_HOST   0xDF
#define FRAME_MAX_PAYLOAD 32
#define FRAME_MAX_LEN   (FRAME_MAX_PAYLOAD + 5)

/* commands, host to micom */
#define CMD_CLOCK    0x3
#define CMD_CONTROL  0x4
#define CMD_BOOTINFO 0xA
#define CMD_SET_TIME 0xC
#define CMD_GET_TIME 0xD

/* CMD_CONTROL sub-commands (payload byte 0) */
#define CTRL_LED         0x00
#define CTRL_DEEPSTANDBY 0x0C
#define CTRL_ISP         0x0F
#define CTRL_REBOOT      0x55

/* code/length bytes of the frames the micom sends */
#define FRAME_BOOTINFO 0xA8
#define FRAME_TIME     0xD8
#define FRAME_KEY      0xE5
#define EVT_KEY        0xE

/* The XOR of a frame's direction byte, code/length byte(s) and payload: its last byte. */
constexpr uint8_t frame_checksum(uint8_t dir, uint8_t code, const uint8_t *payload, int len)
{
	uint8_t sum = dir ^ code;

	for (int i = 0; i < len; i++)
		sum ^= payload[i];
	return sum;
}

/*
 * Builds the frame of @cmd with @len payload bytes into @frame; returns its
 * length.  Bytes beyond the first 32 are not sent.
 */
constexpr int build_frame(uint8_t frame[FRAME_MAX_LEN], int cmd, const uint8_t *payload, int len)
{
	int n = 0;

	if (len > FRAME_MAX_PAYLOAD)
		len = FRAME_MAX_PAYLOAD;
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
	frame[n] = frame_checksum(frame[1], frame[2], frame + 3, n - 3);
	return n + 1;
}

/** struct fp_frame - a frame built at compile time, and its length. */
struct fp_frame {
	uint8_t bytes[FRAME_MAX_LEN];
	int len;
};

template <int N>
constexpr fp_frame make_frame(int cmd, const uint8_t (&payload)[N])
{
	fp_frame f{};

	f.len = build_frame(f.bytes, cmd, payload, N);
	return f;
}
/*
 * Sends one frame to the micom under the driver lock; never waits for an
 * answer.  While /dev/micom is open (isp_mode) it sends nothing and warns
 * (fp_transmit(), FP_TX_FRAME).
 */
void send_cmd(int cmd, const uint8_t *payload, int len, fp_priv_t *priv);

#endif
