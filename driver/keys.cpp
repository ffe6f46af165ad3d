// SPDX-License-Identifier: MIT
// The key decoder: key events from the micom become input events.
#include "keys.h"
#include "frame.h"
#include "rescue.h"

constinit uint32_t ir_keycode[256];


/*
 * What the decoder remembers of the events it did not take, beside the
 * pending press.
 *
 * A key whose press the gate dropped (0x99 is no key byte) is let go with
 * the pair swapped, and that key byte may be valid (0x66 is): the release
 * must not pass as a new press that is never released, so the dropped
 * press is remembered and its release dropped too.  But a release whose
 * press the driver saw and did not take (a key held while the driver
 * starts, or the press that drew "bad code?") is itself dropped by the
 * gate; remembered as a press, it would eat the next real press of that
 * key.  So the decoder also keeps the press code of the last event it was
 * given, whatever became of it, and a dropped event that is that event's
 * release is forgotten at once.
 *
 * A held key's events follow each other within the micom's repeat interval
 * (about 110 ms) and its release comes within one more.  A dropped press
 * that nothing followed for longer is forgotten: its release is not
 * coming, and the next tap of a key whose press was lost on the line must
 * not be taken for it.
 *
 * The memory is fp_local.keys (struct fp_key_memory).
 */

/* How long a dropped press waits for its release: two repeat intervals and more. */
#define FP_DROPPED_PRESS_MS 300

/* The power frame of the front panel: 02 12 12 00 FF and its checksum. */
static constexpr uint8_t front_power_payload[5] = { 0x02, 0x12, 0x12, 0x00, 0xFF };
static constexpr uint8_t front_power_frame[6] = {
	0x02, 0x12, 0x12, 0x00, 0xFF,
	frame_checksum(FRAME_TO_HOST, FRAME_KEY, front_power_payload, 5),
};

void init_keys(void)
{
	for (int i = 0; i < fp_default_key_count; i++)
		ir_keycode[fp_default_keys[i].key_byte] = fp_default_keys[i].code;
}

int fp_valid_key_byte(uint8_t b)
{
	for (int i = 0; i < fp_default_key_count; i++)
		if (fp_default_keys[i].key_byte == b)
			return 1;
	return 0;
}

static void report_key(fp_priv_t *priv, unsigned int code, int value)
{
	kp_input_event(priv->input_dev, KP_EV_KEY, code, value);
	kp_input_event(priv->input_dev, KP_EV_SYN, KP_SYN_REPORT, 0);
}

static int is_front_power_frame(const uint8_t k[6])
{
	for (int i = 0; i < 6; i++)
		if (k[i] != front_power_frame[i])
			return 0;
	return 1;
}

static int dropped_press_expired(void)
{
	const unsigned long ticks = (FP_DROPPED_PRESS_MS * kp_hz() + 999) / 1000;

	return (long)(kp_jiffies() - fp_local.keys.dropped_at) > (long)ticks;
}

void fp_key_event(fp_priv_t *priv, const uint8_t k[6])
{
	const uint16_t press = (uint16_t)(k[3] << 8 | k[4]);
	const uint16_t swapped = (uint16_t)(k[4] << 8 | k[3]);
	const uint16_t previous = fp_local.keys.last_press;
	/* Every event ends the memory of a dropped press; its release is
	 * dropped as well (the front panel's power frame never is). */
	const int release_of_dropped = fp_local.keys.dropped_known &&
				       swapped == fp_local.keys.dropped_press &&
				       !dropped_press_expired();

	fp_local.keys.last_press = press;
	fp_local.keys.dropped_known = 0;
	if (is_front_power_frame(k)) {
		/* The front panel's power key: always a complete press and
		 * release, whatever is pending; it carries no valid key byte,
		 * so it is taken before the validity gate. */
		kp_printk("\x01" "6[fp] ir key %04hX\n", press);
		if (priv->input_ready) {
			report_key(priv, KEY_POWER, 1);
			report_key(priv, KEY_POWER, 0);
		}
	} else {
		if (release_of_dropped)
			return;

		/* Validity gate: the byte that names the key must be one of
		 * the remote's or the front keys' bytes. */
		if (priv->last_key == 0 || priv->last_key == press) {
			if (!fp_valid_key_byte(k[3])) {
				/* With no press pending, a dropped event is
				 * the release of the last event's key, or
				 * the press of a key that is no key. */
				if (priv->last_key == 0 && swapped != previous) {
					fp_local.keys.dropped_press = press;
					fp_local.keys.dropped_known = 1;
					fp_local.keys.dropped_at = kp_jiffies();
				}
				return;
			}
		} else if (priv->last_key == swapped) {
			if (!fp_valid_key_byte(k[4]))
				return;
		}

		if (priv->input_ready) {
			if (priv->last_key == 0) {
				/* a new press */
				uint32_t key = priv->keymap[k[3]];

				priv->last_key = press;
				report_key(priv, key, 1);
				if (key == KEY_POWER)
					priv->power_state = priv->power_state ? 0 : 1;
			} else if (priv->last_key == press) {
				/* the key is held: the micom repeats the press */
				report_key(priv, priv->keymap[k[3]], 2);
			} else if (priv->last_key == swapped) {
				/* the release carries the pair swapped */
				report_key(priv, priv->keymap[k[4]], 0);
				priv->last_key = 0;
			} else {
				/* Neither the pending key nor its release: the
				 * release got lost.  Let the pending key go, so
				 * the input layer does not hold it forever. */
				report_key(priv, priv->keymap[priv->last_key >> 8], 0);
				kp_printk("\x01" "6<<WARNING IR>> bad code? \n");
				priv->last_key = 0;
			}
		}
	}

	fp_rescue_key(priv, priv->keymap[k[3]]);
}
