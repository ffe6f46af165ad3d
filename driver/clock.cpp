// SPDX-License-Identifier: MIT
// The micom's clock and wake-up alarm: reading and setting the clock,
// storing a wake-up time for the next power-off, the boot information, and
// the clock display.
#include "clock.h"
#include "clock_record.h"
#include "frame.h"
#include "fp_wait.h"
#include "proc_text.h"

#define FP_SETTIME_PROC 0
#define FP_SETTIME_EXPORT 2

void Gettime(fp_priv_t *priv)
{
	static constexpr uint8_t payload[2] = { 0x0D, 0x0D };

	send_cmd(CMD_GET_TIME, payload, 2, priv);
}

void set_time(const char *text, fp_priv_t *priv, int source)
{
	const size_t want = source == FP_SETTIME_PROC ? 16 : 14;
	uint8_t rec[8];

	if (fp_strnlen(text, want + 1) != want)
		return;
	for (int i = 0; i < 14; i++)
		if ((unsigned char)text[i] >= 0x3A)
			return; /* above '9' */
	clock_record_build(text, rec);
	if (source == FP_SETTIME_PROC) {
		rec[7] = (uint8_t)((text[14] == '+' ? 0x80 : 0x00) |
				   (uint8_t)((unsigned char)text[15] - 0x30));
		priv->time_flags = rec[7];
	} else {
		rec[7] = 0x80;
	}
	send_cmd(CMD_SET_TIME, rec, 8, priv);
}

int settime_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	char buf[FP_PROC_TEXT_MAX];
	int err = fp_proc_copy_text(buf, ubuf, count);

	(void)file;
	if (err)
		return err;
	set_time(buf, (fp_priv_t *)data, FP_SETTIME_PROC);
	return (int)count;
}

int clock_proc_write(kp_file *file, const char *ubuf, unsigned long count, void *data)
{
	static constexpr uint8_t payload[2] = { 0x03, 0x03 };

	(void)file;
	(void)ubuf;
	send_cmd(CMD_CLOCK, payload, 2, (fp_priv_t *)data);
	return (int)count;
}

void clock_ask_and_wait(fp_priv_t *priv)
{
	unsigned long flags;

	/* A time answer that comes between this clear and the request (one
	 * the micom sent of its own accord) ends the wait as well: it is as
	 * fresh as the one asked for. */
	flags = kp_spin_lock_irqsave(&fp_lock);
	priv->time_ready = 0;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	Gettime(priv);
	fp_wait_event_timeout(&priv->time_queue, [priv] { return priv->time_ready != 0; },
			      FP_TIME_WAIT_TICKS);
}

unsigned long get_RTC_time(void)
{
	fp_priv_t *priv = &fp_priv;
	int32_t year, mon, day, hour, min, sec;
	unsigned long flags;

	clock_ask_and_wait(priv);
	/* the fields of one answer, not half of the next */
	flags = kp_spin_lock_irqsave(&fp_lock);
	year = priv->rtc_year;
	mon = priv->rtc_mon;
	day = priv->rtc_day;
	hour = priv->rtc_hour;
	min = priv->rtc_min;
	sec = priv->rtc_sec;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	/* Every time answer carries a year of 1900 or later: a year of 0 means
	 * none has come since the start, and there is no time to give. */
	if (year == 0)
		return 0;
	return kp_mktime((unsigned int)year, (unsigned int)mon, (unsigned int)day,
			 (unsigned int)hour, (unsigned int)min, (unsigned int)sec);
}

void set_RTC_time(const char *digits)
{
	set_time(digits, &fp_priv, FP_SETTIME_EXPORT);
}

void alarm_store(const uint8_t rec[7], int armed)
{
	uint8_t *cmd = fp_priv.alarm_cmd;
	/* the power-off path copies the record under the lock */
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	cmd[0] = CTRL_DEEPSTANDBY;
	cmd[1] = 0x01;
	for (int i = 0; i < 7; i++)
		cmd[2 + i] = rec[i];
	fp_priv.alarm_pending = armed ? 1 : 0;
	fp_local.alarm_stored = 1;
	fp_local.alarm_by_class = 0;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

void set_ALARM_time(const char *digits)
{
	uint8_t rec[7];

	kp_printk("\x01" "6ALARM WAKE UP TIME %s\n", digits ? digits : "(null)");
	if (fp_strnlen(digits, 14) < 14) {
		/* Too short to hold a date: never read past its end; a stored
		 * wake-up time stays as it was. */
		kp_printk("\x01" "6fp_micom: wake-up time needs 14 digits, ignored\n");
		return;
	}
	clock_record_build(digits, rec);
	alarm_store(rec, 1);
}

int get_ALARM_status(void)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);
	int status = fp_priv.alarm_status;

	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return status;
}

void clear_ALARM_status(void)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	fp_priv.alarm_status = 0;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

unsigned long get_ALARM_time(void)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);
	unsigned long t = fp_priv.alarm_time;

	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return t;
}
