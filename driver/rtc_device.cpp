// SPDX-License-Identifier: MIT
/*
 * The RTC class device "frontpanel".
 *
 * Reading the clock asks the micom, as get_RTC_time does, but a micom that
 * does not answer gives -EIO: hwclock must never show the last answer as
 * the time now.  Setting it sends the set-clock frame of set_RTC_time.  The
 * alarm is the wake-up time that the power-off hook hands the micom: the
 * micom acts on it only from deep standby, by switching the box on.  While
 * /dev/micom is open the micom's firmware is not listening, and every
 * operation gives -EBUSY without sending anything.
 *
 * The class serialises its callers; the operations still take the driver
 * lock for every field they share, as all requesters do, and sleep without
 * it.  When the class registers the device it reads the clock and the
 * alarm once; the start has just read the clock, so those reads answer
 * from it and the start's frames stay what they are.
 */
#include "rtc_device.h"
#include "clock.h"
#include "clock_record.h"

#define FP_RTC_YEAR_MIN 1900
#define FP_RTC_YEAR_MAX 2099

/* Days from 1970-01-01 to a Gregorian date, for any year (proleptic). */
static long days_from_civil(long y, int m, int d)
{
	y -= m <= 2;
	const long era = (y >= 0 ? y : y - 399) / 400;
	const long yoe = y - era * 400;
	const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
	const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;

	return era * 146097 + doe - 719468;
}

static void fields_to_tm(const clock_fields &c, kp_rtc_time *tm)
{
	tm->tm_sec = c.sec;
	tm->tm_min = c.min;
	tm->tm_hour = c.hour;
	tm->tm_mday = c.day;
	tm->tm_mon = c.mon - 1;
	tm->tm_year = c.year - 1900;
	tm->tm_wday = 0;
	tm->tm_yday = 0;
	tm->tm_isdst = 0;
	if (c.mon >= 1 && c.mon <= 12) {
		const long days = days_from_civil(c.year, c.mon, c.day);

		tm->tm_wday = (int)(((days % 7) + 11) % 7); /* 1970-01-01 was a Thursday */
		tm->tm_yday = (int)(days - days_from_civil(c.year, 1, 1));
	}
}

/* A date of seconds since 1970 (the boot information's wake-up time). */
static clock_fields seconds_to_fields(unsigned long t)
{
	long z = (long)(t / 86400) + 719468;
	const long era = z / 146097;
	const long doe = z - era * 146097;
	const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
	const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
	const long mp = (5 * doy + 2) / 153;
	const unsigned long rest = t % 86400;
	clock_fields c;

	c.day = (int)(doy - (153 * mp + 2) / 5 + 1);
	c.mon = (int)(mp < 10 ? mp + 3 : mp - 9);
	c.year = (int)(yoe + era * 400 + (c.mon <= 2));
	c.hour = (int)(rest / 3600);
	c.min = (int)(rest / 60 % 60);
	c.sec = (int)(rest % 60);
	return c;
}

/*
 * The 14 digits YYYYMMDDhhmmss of a time the clock record can carry:
 * -ERANGE for a year outside 1900 to 2099, -EINVAL for a field out of its
 * range (the class checks both already; these keep the digits digits).
 */
static int tm_to_digits(const kp_rtc_time *tm, char digits[15])
{
	if (tm->tm_year < FP_RTC_YEAR_MIN - 1900 || tm->tm_year > FP_RTC_YEAR_MAX - 1900)
		return -KP_ERANGE;
	if (tm->tm_mon < 0 || tm->tm_mon > 11 || tm->tm_mday < 1 || tm->tm_mday > 31 ||
	    tm->tm_hour < 0 || tm->tm_hour > 23 || tm->tm_min < 0 || tm->tm_min > 59 ||
	    tm->tm_sec < 0 || tm->tm_sec > 59)
		return -KP_EINVAL;
	kp_snprintf(digits, 15, "%04d%02d%02d%02d%02d%02d", tm->tm_year + 1900, tm->tm_mon + 1,
		    tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
	return 0;
}

static int isp_open(void)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);
	int open = fp_priv.isp_mode;

	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return open;
}

/* The fields of the last time answer, and whether one came. */
static int last_clock(clock_fields *c)
{
	fp_priv_t *priv = &fp_priv;
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);
	int ready = priv->time_ready;

	*c = { priv->rtc_year, priv->rtc_mon, priv->rtc_day,
	       priv->rtc_hour, priv->rtc_min, priv->rtc_sec };
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return ready;
}

static int fp_rtc_read_time(kp_rtc_time *tm)
{
	clock_fields c;

	if (isp_open())
		return -KP_EBUSY;
	if (!fp_local.rtc_registering)
		clock_ask_and_wait(&fp_priv);
	if (!last_clock(&c)) {
		if (isp_open())
			return -KP_EBUSY; /* /dev/micom was opened meanwhile */
		return kp_signal_pending() ? -KP_EINTR : -KP_EIO;
	}
	fields_to_tm(c, tm);
	return 0;
}

static int fp_rtc_set_time(kp_rtc_time *tm)
{
	char digits[15];
	int err;

	if (isp_open())
		return -KP_EBUSY;
	err = tm_to_digits(tm, digits);
	if (err)
		return err;
	set_RTC_time(digits);
	return 0;
}

static int fp_rtc_read_alarm(kp_rtc_wkalrm *alrm)
{
	fp_priv_t *priv = &fp_priv;
	uint8_t rec[7];
	unsigned long flags, boot_wake;
	int stored, armed, status, ready;
	clock_fields now;

	if (isp_open())
		return -KP_EBUSY;
	flags = kp_spin_lock_irqsave(&fp_lock);
	stored = fp_local.alarm_stored;
	armed = priv->alarm_pending;
	for (int i = 0; i < 7; i++)
		rec[i] = priv->alarm_cmd[2 + i];
	status = priv->alarm_status;
	boot_wake = priv->alarm_time;
	kp_spin_unlock_irqrestore(&fp_lock, flags);

	alrm->enabled = 0;
	alrm->pending = 0;
	if (stored) {
		/* what the next power-off sends */
		fields_to_tm(clock_record_decode(rec), &alrm->time);
		alrm->enabled = armed ? 1 : 0;
		return 0;
	}
	ready = last_clock(&now);
	if (status && boot_wake && (!ready || boot_wake > clock_fields_seconds(now))) {
		/* the wake-up the micom reported at the start, still ahead */
		fields_to_tm(seconds_to_fields(boot_wake), &alrm->time);
		return 0;
	}
	if (!ready)
		return -KP_EIO;
	fields_to_tm(now, &alrm->time); /* no alarm: a valid time, disabled */
	return 0;
}

static void mark_class_alarm(int by_class)
{
	unsigned long flags = kp_spin_lock_irqsave(&fp_lock);

	fp_local.alarm_by_class = by_class;
	kp_spin_unlock_irqrestore(&fp_lock, flags);
}

static int fp_rtc_set_alarm(kp_rtc_wkalrm *alrm)
{
	char digits[15];
	uint8_t rec[7];
	int err;

	if (isp_open())
		return -KP_EBUSY;
	err = tm_to_digits(&alrm->time, digits);
	if (err)
		return err;
	if (alrm->enabled) {
		set_ALARM_time(digits);
		mark_class_alarm(1);
		return 0;
	}
	/* kept for a later enable, but the next power-off sends none */
	clock_record_build(digits, rec);
	alarm_store(rec, 0);
	return 0;
}

/*
 * The class disables its alarm whenever it has no timer left, also after
 * every clock setting (hwclock -w at shutdown): only a wake-up that the
 * class set is withdrawn then.  One stored through set_ALARM_time, which
 * the class knows nothing of, stays armed for the power-off.
 */
static int fp_rtc_alarm_irq_enable(unsigned int enabled)
{
	unsigned long flags;
	int err = 0;

	if (isp_open())
		return -KP_EBUSY;
	flags = kp_spin_lock_irqsave(&fp_lock);
	if (enabled && !fp_local.alarm_stored) {
		err = -KP_EINVAL; /* no wake-up time to arm */
	} else if (enabled) {
		fp_priv.alarm_pending = 1;
		fp_local.alarm_by_class = 1;
	} else if (fp_local.alarm_by_class) {
		fp_priv.alarm_pending = 0;
		fp_local.alarm_by_class = 0;
	}
	kp_spin_unlock_irqrestore(&fp_lock, flags);
	return err;
}

static constexpr kp_rtc_ops fp_rtc_ops = {
	.read_time = fp_rtc_read_time,
	.set_time = fp_rtc_set_time,
	.read_alarm = fp_rtc_read_alarm,
	.set_alarm = fp_rtc_set_alarm,
	.alarm_irq_enable = fp_rtc_alarm_irq_enable,
};

static constexpr kp_rtc_desc fp_rtc_desc = {
	.name = "frontpanel",
	.ops = &fp_rtc_ops,
	.year_min = FP_RTC_YEAR_MIN,
	.year_max = FP_RTC_YEAR_MAX,
};

int fp_rtc_start(kp_device *parent)
{
	int err;

	fp_local.rtc_registering = 1;
	err = kp_rtc_register(parent, &fp_rtc_desc, &fp_local.rtc);
	fp_local.rtc_registering = 0;
	if (err) {
		fp_local.rtc = nullptr;
		kp_printk("\x01" "6fp_micom: cannot register the RTC (%d)\n", err);
	}
	return err;
}

void fp_rtc_stop(void)
{
	if (fp_local.rtc)
		kp_rtc_unregister(fp_local.rtc);
	fp_local.rtc = nullptr;
}
