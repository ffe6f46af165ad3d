// SPDX-License-Identifier: MIT
/*
 * Failing allocations against frontpanel.ko, in the guest of the debug
 * kernel.  The n-th allocation of one system call of this task fails
 * (fault injection's per-task /proc/self/fail-nth, counting the slab
 * caches that failslab's cache filter lets through), for n = FIRST,
 * FIRST + 1, ... until the call makes fewer than n allocations: then it ran
 * without a failure and must simply work.
 *
 *   fail_tool load-sweep FIRST MODULE.ko HOOK_FILE
 *       finit_module() of the module.  A load that fails must leave
 *       nothing behind: no /proc entry of the module, no major 75, no input
 *       device, no platform device or RTC, no interrupt of the module, no
 *       power-off hook (HOOK_FILE, pm_probe.ko's, reads "none"), the module
 *       not loaded.  A load that succeeds (the failed allocation was one
 *       the kernel may do without) must give a running module, which is
 *       then unloaded.
 *   fail_tool open-sweep DEVICE
 *       open() of /dev/micom for writing (the ISP link's interrupt request),
 *       then close(): afterwards the ISP link's interrupt is gone and the
 *       module runs as before.
 *
 * Prints "sweep: N failure points (n = FIRST to LAST), K loads succeeded
 * with the failure[, input device allocated at n = A]" and a line for
 * every fault found; exit status 0 when there is none, 1 otherwise, 2 on
 * a usage or set-up error.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#define MAX_POINTS 5000
#define MAX_FAULTS 5

static const char *const proc_entries[] = {
	"vfd", "deepstandby", "vfdclock", "model", "reboot",
	"rescue", "startrescue", "settime", "led", "enableisp",
};

static int nth_fd = -1, kmsg_fd = -1;
static int faults;

static void fault(unsigned int n, const char *fmt, ...)
{
	va_list args;

	printf("sweep fault at n = %u: ", n);
	va_start(args, fmt);
	vprintf(fmt, args);
	va_end(args);
	putchar('\n');
	fflush(stdout);
	faults++;
}

static void arm(unsigned int n)
{
	char text[16];
	int len = snprintf(text, sizeof(text), "%u", n);

	if (pwrite(nth_fd, text, (size_t)len, 0) != len) {
		perror("fail_tool: /proc/self/fail-nth");
		exit(2);
	}
}

/* 1 when the armed failure came, 0 when the call made fewer allocations; disarms. */
static int disarm(void)
{
	char text[16] = "";
	ssize_t len = pread(nth_fd, text, sizeof(text) - 1, 0);

	arm(0);
	return len > 0 && strtoul(text, NULL, 10) == 0;
}

/* Does FILE contain a line with TEXT? */
static int file_has(const char *file, const char *text)
{
	static char buf[1 << 16];
	int fd = open(file, O_RDONLY);
	ssize_t len, total = 0;

	if (fd < 0)
		return 0;
	while (total < (ssize_t)sizeof(buf) - 1 &&
	       (len = read(fd, buf + total, sizeof(buf) - 1 - (size_t)total)) > 0)
		total += len;
	close(fd);
	buf[total] = '\0';
	return strstr(buf, text) != NULL;
}

/* The kernel log written since the last call: does it contain TEXT? */
static int log_since_has(const char *text)
{
	char rec[2048];
	ssize_t len;
	int found = 0;

	while ((len = read(kmsg_fd, rec, sizeof(rec) - 1)) != 0) {
		if (len < 0) {
			if (errno == EPIPE) /* overwritten records: go on */
				continue;
			break; /* EAGAIN: nothing more */
		}
		rec[len] = '\0';
		if (text && strstr(rec, text))
			found = 1;
	}
	return found;
}

/* An open module file, opened before any failure is armed. */
static int module_fd(const char *ko)
{
	int fd = open(ko, O_RDONLY);

	if (fd < 0) {
		perror(ko);
		exit(2);
	}
	return fd;
}

/* finit_module() reads the whole file from its start at every call. */
static int load(int fd)
{
	return syscall(SYS_finit_module, fd, "", 0) ? errno : 0;
}

static int unload(void)
{
	return syscall(SYS_delete_module, "frontpanel", O_NONBLOCK) ? errno : 0;
}

static int proc_entries_present(void)
{
	struct stat st;
	size_t i;
	int present = 0;
	char path[64];

	for (i = 0; i < sizeof(proc_entries) / sizeof(proc_entries[0]); i++) {
		snprintf(path, sizeof(path), "/proc/%s", proc_entries[i]);
		present += stat(path, &st) == 0;
	}
	return present;
}

static int input_listed(void)
{
	return file_has("/proc/bus/input/devices",
			"N: Name=\"marlowen remote control (native)\"");
}

/* The driver's platform device, its driver, and the RTC on it. */
static int device_present(void)
{
	struct stat st;

	return stat("/sys/bus/platform/devices/frontpanel", &st) == 0 ||
	       stat("/sys/bus/platform/drivers/frontpanel", &st) == 0;
}

static int rtc_present(void)
{
	char path[64];
	int i;

	for (i = 0; i < 8; i++) {
		snprintf(path, sizeof(path), "/sys/class/rtc/rtc%d/name", i);
		if (file_has(path, "frontpanel"))
			return 1;
	}
	return 0;
}

static int model_is_lumeta(void)
{
	char buf[32] = "";
	int fd = open("/proc/model", O_RDONLY);
	ssize_t len = fd < 0 ? -1 : read(fd, buf, sizeof(buf) - 1);

	if (fd >= 0)
		close(fd);
	return len > 0 && !strcmp(buf, "lumeta\n");
}

/* Is the module started and working: every entry, /proc/model, input, interrupt? */
static const char *not_running(void)
{
	if (proc_entries_present() != 10)
		return "not all ten /proc entries";
	if (!model_is_lumeta())
		return "/proc/model does not read lumeta";
	if (!input_listed())
		return "no input device";
	if (!file_has("/proc/interrupts", "FP_ISR"))
		return "interrupt FP_ISR not taken";
	if (!device_present() || !rtc_present())
		return "no device frontpanel or no RTC on it";
	return NULL;
}

/* What a failed or stopped start left behind (a description, "" when nothing). */
static const char *left_behind(const char *hook_file, char *out, size_t size)
{
	out[0] = '\0';
	if (proc_entries_present())
		strncat(out, " /proc entries", size - strlen(out) - 1);
	if (file_has("/proc/devices", " 75 micom\n"))
		strncat(out, " major 75", size - strlen(out) - 1);
	if (input_listed())
		strncat(out, " input device", size - strlen(out) - 1);
	if (device_present())
		strncat(out, " platform device", size - strlen(out) - 1);
	if (rtc_present())
		strncat(out, " RTC", size - strlen(out) - 1);
	if (file_has("/proc/interrupts", "FP_ISR"))
		strncat(out, " interrupt", size - strlen(out) - 1);
	if (file_has("/proc/modules", "frontpanel "))
		strncat(out, " module", size - strlen(out) - 1);
	if (!file_has(hook_file, "none\n"))
		strncat(out, " power-off hook", size - strlen(out) - 1);
	return out;
}

static int load_sweep(unsigned int first, int ko, const char *hook_file)
{
	unsigned int n, loaded = 0, input_alloc = 0;
	int fired = 0, result = 0;
	char rest[128];

	for (n = first; n < first + MAX_POINTS && faults < MAX_FAULTS; n++) {
		int bad_alloc;

		log_since_has(NULL);
		arm(n);
		result = load(ko);
		fired = disarm();
		bad_alloc = log_since_has("Bad input_alloc_device()");
		if (bad_alloc && !input_alloc)
			input_alloc = n;
		if (result == 0) {
			const char *why = not_running();

			loaded++;
			if (why)
				fault(n, "loaded with the failure, but %s", why);
			if (unload())
				fault(n, "rmmod: %s", strerror(errno));
		}
		if (*left_behind(hook_file, rest, sizeof(rest))) {
			fault(n, "the load (%s) left behind:%s", result ? strerror(result) : "ok", rest);
			unload();
		}
		if (!fired)
			break;
	}
	if (fired || result)
		fault(n, "no load without a failure at the end (last: fired %d, %s)", fired,
		      result ? strerror(result) : "loaded");
	printf("sweep: %u failure points (n = %u to %u), %u loads succeeded with the failure",
	       n - first, first, n - 1, loaded);
	if (input_alloc)
		printf(", input device allocated at n = %u", input_alloc);
	printf("\n");
	return faults ? 1 : 0;
}

static int open_sweep(const char *dev)
{
	unsigned int n;
	int fired = 0, result = 0;
	const char *why;

	for (n = 1; n < 1 + MAX_POINTS && faults < MAX_FAULTS; n++) {
		int fd;

		arm(n);
		fd = open(dev, O_WRONLY);
		result = fd < 0 ? errno : 0;
		fired = disarm();
		if (fd >= 0)
			close(fd);
		/* closed: the ISP link's interrupt is gone, the primary one stays */
		if (file_has("/proc/interrupts", "FP_ISR_LUMETA"))
			fault(n, "the ISP link's interrupt is still taken after close");
		why = not_running();
		if (why)
			fault(n, "after the open (%s): %s", result ? strerror(result) : "ok", why);
		if (!fired)
			break;
	}
	if (fired || result)
		fault(n, "no open without a failure at the end (last: fired %d, %s)", fired,
		      result ? strerror(result) : "opened");
	printf("sweep: %u failure points (n = 1 to %u)\n", n - 1, n - 1);
	return faults ? 1 : 0;
}

int main(int argc, char **argv)
{
	setvbuf(stdout, NULL, _IOLBF, 0);
	nth_fd = open("/proc/self/fail-nth", O_RDWR);
	kmsg_fd = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
	if (nth_fd < 0 || kmsg_fd < 0) {
		perror("fail_tool: /proc/self/fail-nth or /dev/kmsg");
		return 2;
	}
	lseek(kmsg_fd, 0, SEEK_END);

	if (argc == 5 && !strcmp(argv[1], "load-sweep")) {
		/* the hook must read as none before the first failure point */
		if (!file_has(argv[4], "none\n")) {
			fprintf(stderr, "fail_tool: %s does not read \"none\"\n", argv[4]);
			return 2;
		}
		return load_sweep((unsigned int)strtoul(argv[2], NULL, 10), module_fd(argv[3]), argv[4]);
	}
	if (argc == 3 && !strcmp(argv[1], "open-sweep"))
		return open_sweep(argv[2]);
	fprintf(stderr, "usage: fail_tool load-sweep FIRST MODULE.ko HOOK_FILE | open-sweep DEVICE\n");
	return 2;
}
