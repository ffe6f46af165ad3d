// SPDX-License-Identifier: MIT
// The smallest core the module glue links with: its entry points, its
// exports and a /proc entry, through the platform interface only.
#include "platform/kernel.h"

namespace {
kp_spinlock lock;
kp_wait_queue_head queue;

int model_read(char *page, char **, long, int, int *, void *)
{
	return kp_snprintf(page, 64, "%s\n", "lumeta");
}
}  // namespace

#include "export_stubs.h"

extern "C" {
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
