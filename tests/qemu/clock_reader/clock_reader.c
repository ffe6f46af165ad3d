// SPDX-License-Identifier: MIT
/*
 * Reads the micom's clock and the power state through frontpanel's exports,
 * as another module of the box does, reports them to the kernel log and
 * refuses to load, so that it can be loaded again and again:
 *
 *   fp-clock: rtc SECONDS power N alarm N model TEXT
 *
 * (get_RTC_time() waits for the micom's answer, at most 200 ticks.)
 */
#include <linux/module.h>
#include <linux/printk.h>

unsigned long get_RTC_time(void);
int get_power_status(void);
int get_ALARM_status(void);
const char *get_tavix_model(void);

static int __init clock_reader_init(void)
{
	unsigned long rtc = get_RTC_time();

	pr_info("fp-clock: rtc %lu power %d alarm %d model %s\n", rtc, get_power_status(),
		get_ALARM_status(), get_tavix_model());
	return -ECANCELED;
}

module_init(clock_reader_init);
MODULE_DESCRIPTION("Reads the micom's clock through frontpanel's exports");
MODULE_LICENSE("Dual MIT/GPL");
