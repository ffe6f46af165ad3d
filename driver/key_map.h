/* SPDX-License-Identifier: MIT */
/*
 * The default key map: the key bytes that the remote control and the front
 * keys send, each with its Linux key code.  The driver starts from it, and
 * the simulator's shell, soak and fuzz harnesses read the same table.
 */
#ifndef FP_KEY_MAP_H
#define FP_KEY_MAP_H

#include "platform/kp_types.h"

/* Linux key codes the driver uses */
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

/** struct fp_default_key - one entry of the default key map. */
struct fp_default_key {
	uint8_t key_byte;
	uint16_t code;
};

/* Key bytes sent by the remote control and the front keys, and their keys. */
inline constexpr fp_default_key fp_default_keys[] = {
	{ 0x01, KEY_POWER },   { 0x02, KEY_HOME },      { 0x03, KEY_RADIO },
	{ 0x20, KEY_0 },       { 0x21, KEY_1 },         { 0x22, KEY_2 },
	{ 0x23, KEY_3 },       { 0x24, KEY_4 },         { 0x25, KEY_5 },
	{ 0x26, KEY_6 },       { 0x27, KEY_7 },         { 0x28, KEY_8 },
	{ 0x29, KEY_9 },       { 0x2A, KEY_TV },        { 0x2B, KEY_PLAY },
	{ 0x40, KEY_CHANNELUP }, { 0x41, KEY_CHANNELDOWN },
	{ 0x42, KEY_VOLUMEDOWN }, { 0x43, KEY_VOLUMEUP },
	{ 0x45, KEY_MUTE },    { 0x46, KEY_OK },        { 0x47, KEY_MENU },
	{ 0x49, KEY_UP },      { 0x4A, KEY_DOWN },      { 0x4B, KEY_LEFT },
	{ 0x4C, KEY_RIGHT },   { 0x4E, KEY_EXIT },      { 0x60, KEY_INFO },
	{ 0x62, KEY_PLAYPAUSE }, { 0x66, KEY_PREVIOUS }, { 0x70, KEY_PREVIOUS },
	{ 0x71, KEY_NEXT },    { 0x72, KEY_RED },       { 0x73, KEY_GREEN },
	{ 0x74, KEY_YELLOW },  { 0x75, KEY_BLUE },      { 0x76, KEY_EPG },
	{ 0x78, KEY_REWIND },  { 0x79, KEY_FASTFORWARD }, { 0x80, KEY_NEXT },
	{ 0x81, KEY_TEXT },    { 0x82, KEY_VIDEO },     { 0x83, KEY_AUDIO },
};
inline constexpr int fp_default_key_count = sizeof(fp_default_keys) / sizeof(fp_default_keys[0]);

#endif
