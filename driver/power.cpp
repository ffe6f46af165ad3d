// SPDX-License-Identifier: MIT
// Power-off, reboot, deep standby, the power key's toggle and the box's
// identification.
#include "power.h"
#include "frame.h"

constinit int have_RF = 0;
constinit const char *put_version = "150";
constinit const char *put_model = "lumeta";

static void send_control(uint8_t sub, uint8_t arg, fp_priv_t *priv)
{
	const uint8_t payload[2] = { sub, arg };

	send_cmd(CMD_CONTROL, payload, 2, priv);
}

void micom_off(void)
{
	fp_priv_t *priv = &fp_priv;
	uint8_t wake_cmd[9];
	unsigned long flags;
	int pending;

	/* the record is copied whole under the lock: set_ALARM_time may be
	 * writing it (send_cmd takes the lock itself) */
	flags = kp_spin_lock_irqsave(&fp_lock);
	pending = priv->alarm_pending == 1;
	for (int i = 0; i < 9; i++)
		wake_cmd[i] = priv->alarm_cmd[i];
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	if (pending)
		send_cmd(CMD_CONTROL, wake_cmd, 9, priv); /* with the wake-up time */
	else
		send_control(CTRL_DEEPSTANDBY, 0x00, priv);
}

int reboot_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	(void)file;
	(void)ubuf;
	send_control(CTRL_REBOOT, 0x00, (fp_priv_t *)data);
	return (int)count;
}

int deepstandby_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	(void)file;
	(void)ubuf;
	/* never with the stored wake-up time: that is the power-off's */
	send_control(CTRL_DEEPSTANDBY, 0x00, (fp_priv_t *)data);
	return (int)count;
}

int vfd_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	(void)file;
	(void)ubuf;
	(void)data;
	return (int)count; /* the driver has no text path to the display */
}

int model_proc_read(char *page, char **start, long off, int count, int *eof, void *data)
{
	(void)off;
	(void)start;
	(void)count;
	(void)data;
	/* The whole text at every offset (the kernel takes what lies beyond
	 * the offset, so partial reads see all of it), and end of file: the
	 * kernel then does not call again within the same read(). */
	*eof = 1;
	return kp_snprintf(page, 64, "%s\n", put_model);
}

const char *get_tavix_model(void)
{
	return put_model;
}

const char *get_put_version(void)
{
	return put_version;
}

int get_have_RF(void)
{
	return have_RF;
}

int get_power_status(void)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);
	int state = fp_priv.power_state;

	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return state;
}
