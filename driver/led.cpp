// SPDX-License-Identifier: MIT
// The front-panel LEDs: four modes chosen by command.
#include "led.h"
#include "frame.h"
#include "proc_text.h"

constinit int32_t led_status = 1;

/* LED pattern codes sent for each mode, in order; 0xFF ends a list. */
static constexpr uint8_t led_patterns[4][2] = {
	{ 0x00, 0xFF },
	{ 0x06, 0x03 },
	{ 0x04, 0x05 },
	{ 0x07, 0xFF },
};

void set_led(const char *text, fp_priv_t *priv)
{
	int mode = 0;

	kp_sscanf(text, "%d", &mode); /* no number: mode 0 */
	if (mode < 0 || mode > 3)
		return; /* accepted and ignored */
	for (int i = 0; i < 2 && led_patterns[mode][i] != 0xFF; i++) {
		const uint8_t payload[2] = { CTRL_LED, led_patterns[mode][i] };

		send_cmd(CMD_CONTROL, payload, 2, priv);
	}
	led_status = mode;
}

void set_LED(const char *mode)
{
	if (!mode)
		return; /* another module's NULL: nothing to send */
	set_led(mode, &fp_priv);
}

int led_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	char buf[FP_PROC_TEXT_MAX];
	int err = fp_proc_copy_text(buf, ubuf, count);

	(void)file;
	if (err)
		return err;
	set_led(buf, (fp_priv_t *)data);
	return (int)count;
}

int led_proc_read(char *page, char **start, long off, int count, int *eof, void *data)
{
	(void)off;
	(void)start;
	(void)count;
	(void)data;
	/* The whole text at every offset (the kernel takes what lies beyond
	 * the offset, so partial reads see all of it), and end of file: the
	 * kernel then does not call again within the same read(). */
	*eof = 1;
	return kp_snprintf(page, 64, "%d\n", led_status);
}
