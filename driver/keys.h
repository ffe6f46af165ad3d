/* SPDX-License-Identifier: MIT */
/* The key decoder and the default key map (key_map.h). */
#ifndef FP_KEYS_H
#define FP_KEYS_H

#include "ir_vfd.h"
#include "key_map.h"

#define FP_KEY_ADDR_REMOTE 0x5F
#define FP_KEY_ADDR_FRONT  0x12

/* 1 when @b is one of the key bytes of the default key map. */
int fp_valid_key_byte(uint8_t b);
/* Writes the default key map's 43 entries into ir_keycode. */
void init_keys(void);
/* The key decoder: one key event k[0..5]; interrupt context, driver lock held. */
void fp_key_event(fp_priv_t *priv, const uint8_t k[6]);

extern uint32_t ir_keycode[256];        /* the default key map */

#endif
