// SPDX-License-Identifier: MIT
// The platform interface at its limits on a real kernel: a core that the
// module glue links in place of the driver's (build_module.sh --core-dir),
// loaded by the QEMU guest before the driver.  It offers three /proc
// entries:
//   contract       write a scenario's name (platform_contract.table), read
//                  "NAME RESULT": the scenario runs in the writer's process
//                  during the write, its user copies on the writer's buffer
//   contract_bare  no handlers
//   contract_abc   reads "abc\n", as a legacy read_proc gives it
// guest_tool's "contract" command adds what only user space can see (the
// wall clock after a set, the kernel log's warnings, the read loop, the
// input device's key-code table).
#include "platform/kernel.h"
#include "soc_map.h"

namespace {

char result[192];
long g_max_wait;

bool same(const char *a, const char *b)
{
	while (*a && *a == *b)
		++a, ++b;
	return *a == *b;
}

void say(const char *fmt, long a, long b = 0, long c = 0)
{
	kp_snprintf(result, sizeof result, fmt, a, b, c);
}

/* the dates of the wall-clock scenarios */
struct clock_case {
	const char *name;
	unsigned int year, mon, day, hour, min, sec;
	long nsec;
};
constexpr clock_case clock_cases[] = {
	{ "wall_clock/1969-12-31_23:59:59", 1969, 12, 31, 23, 59, 59, 0 },
	{ "wall_clock/1970-01-01_00:00:00", 1970, 1, 1, 0, 0, 0, 0 },
	{ "wall_clock/2038-01-19_03:14:07", 2038, 1, 19, 3, 14, 7, 0 },
	{ "wall_clock/2038-01-19_03:14:08", 2038, 1, 19, 3, 14, 8, 0 },
	{ "wall_clock/2099-12-31_23:59:59", 2099, 12, 31, 23, 59, 59, 0 },
	{ "wall_clock/nsec_1000000000", 1970, 1, 2, 0, 0, 0, 1000000000 },
};

int waits_without_timeout(void *)
{
	g_max_wait = kp_schedule_timeout_interruptible(__LONG_MAX__);
	return 0;
}

int runs_until_stopped(void *)
{
	while (!kp_kthread_should_stop())
		kp_schedule_timeout_interruptible(1);
	return 7;
}

int no_interrupt(int, void *)
{
	return KP_IRQ_NONE;
}

int cookie, other_cookie;

/* kp_request_irq with the primary UART's line held by a first request */
int irq_twice()
{
	int first = kp_request_irq(FP_IRQ, no_interrupt, KP_IRQF_DISABLED, "contract", &cookie);
	if (first)
		return first;
	int second = kp_request_irq(FP_IRQ, no_interrupt, KP_IRQF_DISABLED, "contract", &other_cookie);
	if (second == 0)
		kp_free_irq(FP_IRQ, &other_cookie);
	kp_free_irq(FP_IRQ, &cookie);
	return second;
}

int irq_once(unsigned int line, bool handler, unsigned long flags)
{
	int r = kp_request_irq(line, handler ? no_interrupt : nullptr, flags, "contract", &cookie);
	if (r == 0)
		kp_free_irq(line, &cookie);
	return r;
}

constinit const kp_file_ops no_ops = {};

int chrdev_twice()
{
	int first = kp_register_chrdev(75, 0, 1, "contract", &no_ops);
	if (first)
		return first;
	int second = kp_register_chrdev(75, 0, 1, "contract", &no_ops);
	if (second == 0)
		kp_unregister_chrdev(75, 0, 1, "contract");
	kp_unregister_chrdev(75, 0, 1, "contract");
	return second;
}

void run(const char *name, const char *ubuf, unsigned long count)
{
	char buf[16];

	for (const clock_case &c : clock_cases) {
		if (same(name, c.name)) {
			say("ret=%ld", kp_set_wall_clock(c.year, c.mon, c.day, c.hour, c.min, c.sec, c.nsec));
			return;
		}
	}
	if (same(name, "user_copy/from_user_ok")) {
		say("ret=%ld", count < sizeof buf ? -1 : (long)kp_copy_from_user(buf, ubuf, sizeof buf));
	} else if (same(name, "user_copy/from_user_fails")) {
		/* 16: a user address with nothing mapped */
		memset(buf, 'x', sizeof buf);
		long r = (long)kp_copy_from_user(buf, (const void *)16, sizeof buf);
		bool zeroed = true;
		for (char ch : buf)
			zeroed = zeroed && ch == 0;
		kp_snprintf(result, sizeof result, "ret=%ld to=%s", r, zeroed ? "zeroed" : "as it was");
	} else if (same(name, "user_copy/to_user_fails")) {
		say("ret=%ld", (long)kp_copy_to_user((void *)16, buf, sizeof buf));
	} else if (same(name, "wait/timeout_expires")) {
		unsigned long from = kp_jiffies();
		long r = kp_schedule_timeout_interruptible(10);
		long slept = (long)(kp_jiffies() - from);
		if (slept >= 10 && slept <= 10 + (long)kp_hz() / 10)
			say("ret=%ld woke=on_time", r);
		else
			say("ret=%ld woke=%ld", r, slept);
	} else if (same(name, "wait/signal_pending")) {
		/* guest_tool sends the writer a signal within a second */
		for (int i = 0; i < 200 && !kp_signal_pending(); ++i)
			kp_msleep(10);
		unsigned long from = kp_jiffies();
		long r = kp_schedule_timeout_interruptible(10);
		long slept = (long)(kp_jiffies() - from);
		kp_snprintf(result, sizeof result, "ret=%s woke=%s signal_pending=%d",
			    r == 10 - slept ? "rest" : "other", slept <= 1 ? "at_once" : "later",
			    kp_signal_pending());
	} else if (same(name, "wait/max_timeout_until_woken")) {
		kp_task *t = kp_kthread_create(waits_without_timeout, nullptr, "contract");
		if (!t) {
			say("no thread", 0);
			return;
		}
		kp_wake_up_process(t);
		unsigned long from = kp_jiffies();
		kp_msleep(10000);
		kp_kthread_stop(t);
		long slept = (long)((kp_jiffies() - from) / kp_hz());
		if (g_max_wait == __LONG_MAX__)
			say("ret=MAX_SCHEDULE_TIMEOUT slept=%lds", slept);
		else
			say("ret=%ld slept=%lds", g_max_wait, slept);
	} else if (same(name, "kthread/stop_before_it_ran") ||
		   same(name, "kthread/stop_returns_its_result")) {
		kp_task *t = kp_kthread_create(runs_until_stopped, nullptr, "contract");
		if (!t) {
			say("no thread", 0);
			return;
		}
		if (same(name, "kthread/stop_returns_its_result")) {
			kp_wake_up_process(t);
			kp_msleep(50);
		}
		say("ret=%ld", kp_kthread_stop(t));
	} else if (same(name, "irq/line_taken")) {
		say("ret=%ld", irq_twice());
	} else if (same(name, "irq/line_the_board_has_not")) {
		say("ret=%ld", irq_once(11, true, KP_IRQF_DISABLED));
	} else if (same(name, "irq/no_handler")) {
		say("ret=%ld", irq_once(FP_ISP_IRQ, false, KP_IRQF_DISABLED));
	} else if (same(name, "irq/unknown_flag")) {
		say("ret=%ld", irq_once(FP_ISP_IRQ, true, KP_IRQF_DISABLED | 0x80));
	} else if (same(name, "chrdev/major_taken")) {
		say("ret=%ld", chrdev_twice());
	} else if (same(name, "chrdev/no_operations")) {
		say("ret=%ld", kp_register_chrdev(75, 0, 1, "contract", nullptr));
	} else {
		say("unknown", 0);
	}
}

char scenario[64];

int control_write(kp_file *, const char *ubuf, unsigned long count, void *)
{
	unsigned long n = count < sizeof scenario - 1 ? count : sizeof scenario - 1;

	if (kp_copy_from_user(scenario, ubuf, n))
		return -KP_EFAULT;
	scenario[n] = 0;
	while (n && (scenario[n - 1] == '\n' || scenario[n - 1] == ' '))
		scenario[--n] = 0;
	run(scenario, ubuf, count);
	return (int)count;
}

int control_read(char *page, char **, long, int, int *eof, void *)
{
	*eof = 1;
	return kp_snprintf(page, 256, "%s %s\n", scenario, result);
}

int abc_read(char *page, char **, long, int, int *eof, void *)
{
	*eof = 1;
	return kp_snprintf(page, 8, "abc\n");
}

}  // namespace

#include "../module/check_fixtures/export_stubs.h"

extern "C" {
int init_fp(void)
{
	kp_proc_entry *control = kp_create_proc_entry("contract", 0644);

	if (!control)
		return -KP_EIO;
	kp_proc_entry *bare = kp_create_proc_entry("contract_bare", 0644);
	if (!bare) {
		kp_remove_proc_entry("contract");
		return -KP_EIO;
	}
	kp_proc_entry *abc = kp_create_proc_entry("contract_abc", 0644);
	if (!abc) {
		kp_remove_proc_entry("contract_bare");
		kp_remove_proc_entry("contract");
		return -KP_EIO;
	}
	kp_proc_set_handlers(control, control_read, control_write, nullptr);
	kp_proc_set_handlers(abc, abc_read, nullptr, nullptr);
	return 0;
}

void cleanup_fp(void)
{
	kp_remove_proc_entry("contract");
	kp_remove_proc_entry("contract_bare");
	kp_remove_proc_entry("contract_abc");
}
}
