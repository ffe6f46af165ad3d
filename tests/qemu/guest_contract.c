// SPDX-License-Identifier: MIT
/*
 * guest_tool contract SCENARIO: one scenario of the platform interface's
 * table (tests/contract/platform_contract.table) on the guest's kernel,
 * printed as "fp-contract: SCENARIO RESULT" in the table's words.
 *
 * The wall-clock, user-copy, wait, thread, interrupt and character-device
 * scenarios run in the contract module (tests/contract/contract_core.cpp,
 * loaded as frontpanel.ko): writing the name to /proc/contract runs it in
 * this process, reading gives its result.  For the wall clock this tool
 * adds what the clock became and the warnings the log gained; the /proc
 * scenarios read and write the module's entries here; the input ones use
 * the driver's event device (the driver loaded, not the contract module).
 */
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/klog.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

int open_remote(void);

static const char control[] = "/proc/contract";

/* the kernel log's lines that hold @text */
static int log_count(const char *text)
{
	int size = klogctl(10 /* SYSLOG_ACTION_SIZE_BUFFER */, NULL, 0);
	char *buf, *p;
	int n = 0, len;

	if (size <= 0 || !(buf = malloc((size_t)size + 1)))
		return -1;
	len = klogctl(3 /* SYSLOG_ACTION_READ_ALL */, buf, size);
	buf[len > 0 ? len : 0] = 0;
	for (p = buf; (p = strstr(p, text)); p += strlen(text))
		n++;
	free(buf);
	return n;
}

/* runs @scenario in the module; its result words into @out */
static int run_in_module(const char *scenario, char *out, size_t size)
{
	char text[256];
	int fd = open(control, O_WRONLY);
	ssize_t n;

	if (fd < 0) {
		snprintf(out, size, "no %s: %s", control, strerror(errno));
		return 1;
	}
	n = write(fd, scenario, strlen(scenario));
	close(fd);
	if (n != (ssize_t)strlen(scenario)) {
		snprintf(out, size, "write: %s", n < 0 ? strerror(errno) : "short");
		return 1;
	}
	fd = open(control, O_RDONLY);
	n = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
	if (fd >= 0)
		close(fd);
	text[n > 0 ? n : 0] = 0;
	text[strcspn(text, "\n")] = 0;
	/* "SCENARIO RESULT" */
	snprintf(out, size, "%s", strncmp(text, scenario, strlen(scenario)) ? text : text + strlen(scenario) + 1);
	return 0;
}

static double real_seconds(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_REALTIME, &ts);
	return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

static double uptime_seconds(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + ts.tv_nsec / 1e9;
}

/*
 * The clock is set to a reference first; after the module's set (applied
 * by a work item soon after) it is either the date asked for, or still
 * the reference plus the time that passed ("kept").
 */
static int wall_clock(const char *scenario, char *out, size_t size)
{
	const struct timespec reference = { 1500000000, 0 };
	const char *warning = "beyond this kernel's clock";
	char ret[64];
	int before, after;
	double start, clock = 0;

	if (clock_settime(CLOCK_REALTIME, &reference) != 0) {
		snprintf(out, size, "clock_settime: %s", strerror(errno));
		return 1;
	}
	start = uptime_seconds();
	before = log_count(warning);
	if (run_in_module(scenario, ret, sizeof ret)) {
		snprintf(out, size, "%s", ret);
		return 1;
	}
	int kept = 1;
	while (uptime_seconds() - start < 1.0) {
		clock = real_seconds();
		if (clock - (reference.tv_sec + (uptime_seconds() - start)) > 2 ||
		    clock - (reference.tv_sec + (uptime_seconds() - start)) < -2) {
			kept = 0;
			break;
		}
		usleep(10000);
	}
	after = log_count(warning);
	if (kept)
		snprintf(out, size, "%s clock=kept warnings=%d", ret, after - before);
	else
		snprintf(out, size, "%s clock=%lld warnings=%d", ret, (long long)clock, after - before);
	return 0;
}

static void on_alarm(int sig)
{
	(void)sig;
}

/* the module waits for a signal, then sleeps with it pending */
static int signal_pending(const char *scenario, char *out, size_t size)
{
	struct sigaction sa;
	struct itimerval in_100ms = { { 0, 0 }, { 0, 100000 } };

	memset(&sa, 0, sizeof sa);
	sa.sa_handler = on_alarm;
	sigaction(SIGALRM, &sa, NULL);
	setitimer(ITIMER_REAL, &in_100ms, NULL);
	return run_in_module(scenario, out, size);
}

/* open, read(@chunk) three times or until the end, as the table words it */
static int proc_read(const char *path, size_t chunk, int pieces, char *out, size_t size)
{
	char buf[64], text[64], words[128] = "", rets[64] = "";
	int fd = open(path, O_RDONLY);

	if (fd < 0) {
		snprintf(out, size, "open %s: %s", path, strerror(errno));
		return 1;
	}
	for (int i = 0; i < 3; i++) {
		ssize_t n = read(fd, buf, chunk);
		size_t len = n > 0 ? (size_t)n : 0;

		memcpy(text, buf, len);
		text[len] = 0;
		for (char *c = text; *c; c++)
			if (*c == '\n')
				*c = '|';
		if (!pieces) {
			/* first=N text=T second=N */
			if (i == 0)
				snprintf(words, sizeof words, "first=%zd text=%s", n < 0 ? -errno : n, text);
			else
				snprintf(rets, sizeof rets, " second=%zd", n < 0 ? -errno : n);
			if (i == 1)
				break;
			continue;
		}
		snprintf(words + strlen(words), sizeof words - strlen(words), "%s%s", i ? "," : "", text);
		snprintf(rets + strlen(rets), sizeof rets - strlen(rets), "%s%zd", i ? "," : "", n < 0 ? -errno : n);
	}
	close(fd);
	if (pieces)
		snprintf(out, size, "pieces=%s ret=%s", words, rets);
	else
		snprintf(out, size, "%s%s", words, rets);
	return 0;
}

static int proc_scenario(const char *what, char *out, size_t size)
{
	if (strcmp(what, "write_without_write_proc") == 0) {
		int fd = open("/proc/contract_bare", O_WRONLY);
		ssize_t n = fd < 0 ? -1 : write(fd, "1\n", 2);

		snprintf(out, size, "ret=%zd", n < 0 ? -errno : n);
		if (fd >= 0)
			close(fd);
		return 0;
	}
	if (strcmp(what, "read_without_read_proc") == 0) {
		char buf[64];
		int fd = open("/proc/contract_bare", O_RDONLY);
		ssize_t n = fd < 0 ? -1 : read(fd, buf, sizeof buf - 1);

		buf[n > 0 ? n : 0] = 0;
		snprintf(out, size, "ret=%zd text=%s", n < 0 ? -errno : n, buf);
		if (fd >= 0)
			close(fd);
		return 0;
	}
	if (strcmp(what, "read_twice") == 0)
		return proc_read("/proc/contract_abc", 64, 0, out, size);
	if (strcmp(what, "read_2_bytes_at_a_time") == 0)
		return proc_read("/proc/contract_abc", 2, 1, out, size);
	snprintf(out, size, "unknown");
	return 1;
}

/* EVIOCSKEYCODE / EVIOCGKEYCODE on the driver's event device */
static int input_scenario(const char *what, char *out, size_t size)
{
	int fd = open_remote();
	unsigned int entry[2] = { 0, 0 }, saved[2] = { 255, 0 };
	int r;

	if (fd < 0) {
		snprintf(out, size, "no event device of the remote control");
		return 1;
	}
	if (strcmp(what, "set_keycode_last_entry") == 0) {
		/* entry 255 set to KEY_A, then back to what it held */
		ioctl(fd, EVIOCGKEYCODE, saved);
		entry[0] = 255, entry[1] = KEY_A;
		r = ioctl(fd, EVIOCSKEYCODE, entry);
		ioctl(fd, EVIOCSKEYCODE, saved);
	} else if (strcmp(what, "set_keycode_entry_256") == 0) {
		entry[0] = 256, entry[1] = KEY_A;
		r = ioctl(fd, EVIOCSKEYCODE, entry);
	} else if (strcmp(what, "set_keycode_KEY_MAX+1") == 0) {
		entry[0] = 0x49, entry[1] = KEY_MAX + 1;
		r = ioctl(fd, EVIOCSKEYCODE, entry);
	} else if (strcmp(what, "get_keycode_entry_256") == 0) {
		entry[0] = 256;
		r = ioctl(fd, EVIOCGKEYCODE, entry);
	} else {
		close(fd);
		snprintf(out, size, "unknown");
		return 1;
	}
	snprintf(out, size, "ret=%d", r < 0 ? -errno : r);
	close(fd);
	return 0;
}

/*
 * The error numbers of @text by name, as the table has them: a negative
 * number after '=' or ',' ("ret=-22" is "ret=-EINVAL"; this tool is built
 * for the guest's architecture, whose numbers the kernel gives).
 */
static void name_errors(char *text, size_t size)
{
	char out[256], *o = out;

	for (const char *p = text; *p && o < out + sizeof out - 16;) {
		const char *name;
		char *end;
		long n;

		if ((p[0] == '=' || p[0] == ',') && p[1] == '-' && p[2] >= '0' && p[2] <= '9') {
			n = strtol(p + 1, &end, 10);
			name = strerrorname_np((int)-n);
			if (name) {
				o += snprintf(o, out + sizeof out - o, "%c-%s", p[0], name);
				p = end;
				continue;
			}
		}
		*o++ = *p++;
	}
	*o = 0;
	snprintf(text, size, "%s", out);
}

int run_contract(const char *scenario)
{
	char out[256];
	int rc;

	if (strncmp(scenario, "wall_clock/", 11) == 0)
		rc = wall_clock(scenario, out, sizeof out);
	else if (strncmp(scenario, "proc/", 5) == 0)
		rc = proc_scenario(scenario + 5, out, sizeof out);
	else if (strncmp(scenario, "input/", 6) == 0)
		rc = input_scenario(scenario + 6, out, sizeof out);
	else if (strcmp(scenario, "wait/signal_pending") == 0)
		rc = signal_pending(scenario, out, sizeof out);
	else
		rc = run_in_module(scenario, out, sizeof out);
	name_errors(out, sizeof out);
	printf("fp-contract: %s %s\n", scenario, out);
	return rc;
}
