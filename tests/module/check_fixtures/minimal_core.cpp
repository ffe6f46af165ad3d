// SPDX-License-Identifier: MIT
// The smallest core the module glue links with: its entry points, its
// exports and a /proc entry, through the platform interface only.
#include "kernel/kernel.h"

namespace {
kp_spinlock lock;
kp_wait_queue_head queue;

int model_read(char *page, char **, long, int, int *, void *)
{
	return kp_snprintf(page, 64, "%s\n", "lumeta");
}
}  // namespace

extern "C" {
int have_RF = 0;
const char *put_version = "150";
const char *put_model = "lumeta";

unsigned long get_RTC_time(void) { return 0; }
void set_RTC_time(const char *) {}
void set_ALARM_time(const char *) {}
int get_ALARM_status(void) { return 0; }
void clear_ALARM_status(void) {}
unsigned long get_ALARM_time(void) { return 0; }
int get_power_status(void) { return 0; }
void set_LED(const char *) {}
const char *get_tavix_model(void) { return put_model; }
const char *get_put_version(void) { return put_version; }
int get_have_RF(void) { return have_RF; }

int init_fp(void)
{
	kp_spin_lock_init(&lock);
	kp_init_waitqueue_head(&queue);
	unsigned long flags = kp_spin_lock_irqsave(&lock);
	kp_spin_unlock_irqrestore(&lock, flags);
	kp_proc_entry *e = kp_create_proc_entry("model", 0644);
	if (!e)
		return -5;
	kp_proc_set_handlers(e, model_read, nullptr, nullptr);
	return 0;
}

void cleanup_fp(void) { kp_remove_proc_entry("model"); }
}
