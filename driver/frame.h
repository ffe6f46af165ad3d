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

/* Builds the frame of @cmd with @len payload bytes into @frame; returns its length. */
int build_frame(uint8_t frame[FRAME_MAX_LEN], int cmd, const uint8_t *payload, int len);
/*
 * Sends one frame to the micom under the driver lock; never waits for an
 * answer.  While /dev/micom is open (isp_mode) it sends nothing and warns.
 */
void send_cmd(int cmd, const uint8_t *payload, int len, fp_priv_t *priv);

#endif
