/* SPDX-License-Identifier: MIT */
/* Linux key codes the driver uses, and the default key map. */
#ifndef FP_KEYS_H
#define FP_KEYS_H

#include "ir_vfd.h"

#define KEY_1 2
#define KEY_2 3
#define KEY_3 4
#define KEY_4 5
#define KEY_5 6
#define KEY_6 7
#define KEY_7 8
#define KEY_8 9
#define KEY_9 10
#define KEY_0 11
#define KEY_HOME 102
#define KEY_UP 103
#define KEY_LEFT 105
#define KEY_RIGHT 106
#define KEY_DOWN 108
#define KEY_MUTE 113
#define KEY_VOLUMEDOWN 114
#define KEY_VOLUMEUP 115
#define KEY_POWER 116
#define KEY_MENU 139
#define KEY_PLAYPAUSE 164
#define KEY_REWIND 168
#define KEY_EXIT 174
#define KEY_PLAY 207
#define KEY_FASTFORWARD 208
#define KEY_OK 352
#define KEY_INFO 358
#define KEY_EPG 365
#define KEY_TV 377
#define KEY_RADIO 385
#define KEY_DVD 389
#define KEY_AUDIO 392
#define KEY_VIDEO 393
#define KEY_TEXT 388
#define KEY_RED 398
#define KEY_GREEN 399
#define KEY_YELLOW 400
#define KEY_BLUE 401
#define KEY_CHANNELUP 402
#define KEY_CHANNELDOWN 403
#define KEY_NEXT 407
#define KEY_PREVIOUS 412

#define FP_KEY_ADDR_REMOTE 0x5F
#define FP_KEY_ADDR_FRONT  0x12

/** struct fp_default_key - one entry of the default key map. */
struct fp_default_key {
	uint8_t key_byte;
	uint16_t code;
};

extern const fp_default_key fp_default_keys[];
extern const int fp_default_key_count;

/* 1 when @b is one of the key bytes of the default key map. */
int fp_valid_key_byte(uint8_t b);
/* Writes the default key map's 43 entries into ir_keycode. */
void init_keys(void);
/* The key decoder: one key event k[0..5]; interrupt context, driver lock held. */
void fp_key_event(fp_priv_t *priv, const uint8_t k[6]);

extern uint32_t ir_keycode[256];        /* the default key map */

#endif
