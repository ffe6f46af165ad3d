/* SPDX-License-Identifier: MIT */
/*
 * The ISP link to the micom's flash programmer: frames sent with their
 * pacing, the answer rules the receive parser applies byte by byte, and the
 * wait through which a caller learns an answer's status word.
 */
#ifndef FP_ISP_TRANSPORT_H
#define FP_ISP_TRANSPORT_H

#include "ir_vfd.h"

#define ISP_SYNC_BYTE 0xAA
#define ISP_ACK 0x06
#define ISP_PACE_US 30
#define ISP_WAIT_TICKS 200
#define ISP_STD_CHECKSUM_WAIT_TICKS 400

/* Sends the sync byte and arms isp_sync_pending. */
void isp_send_sync(fp_priv_t *priv);
/*
 * Arms @state (1, and isp_rx_count 0) and sends @len bytes, each followed by
 * a 30 µs busy-wait, all under the driver lock.
 */
void isp_send_frame(fp_priv_t *priv, int32_t *state, const uint8_t *bytes, int len);
/*
 * The standard checksum frame: armed like isp_send_frame() on
 * isp_std_checksum_state, and in the same locked section isp_std_freq_state
 * and isp_event are cleared.
 */
void isp_send_std_checksum(fp_priv_t *priv, const uint8_t *bytes, int len);
/* Arms isp_byte_state and sends the @count data bytes back to back, under the lock. */
void isp_send_data(fp_priv_t *priv, const uint8_t *bytes, size_t count);
/* What isp_await() does with the word it reads. */
enum isp_await_word {
	ISP_AWAIT_READ,         /* leaves it as it is */
	ISP_AWAIT_TAKE,         /* sets it back to MICOM_ISP_IDLE in the same locked section */
};
/*
 * The wait of every ISP status request: waits (at most @ticks) for an
 * answer to complete, then clears isp_event and reads @word under the lock.
 */
int32_t isp_await(fp_priv_t *priv, int32_t *word, long ticks, isp_await_word then);
/* The ISP receive rules, fed byte by byte by the parser; interrupt context, lock held. */
void isp_receive_byte(fp_priv_t *priv, uint8_t b);

#endif
