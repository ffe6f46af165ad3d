// SPDX-License-Identifier: MIT
/*
 * guest_tool: the QEMU test guest's helper for what busybox cannot do,
 * linked statically into the initramfs.
 *
 *   guest_tool key CODE SECONDS HOST-REQUEST
 *       Opens the input event device of "marlowen remote control (native)",
 *       then asks the host for a key (prints "fp-host: HOST-REQUEST" on the
 *       console, which micom_host watches) and reads struct input_event
 *       records until a key's release or SECONDS pass.  Passes when the
 *       key events are: a press of CODE, at least one repeat of CODE, the
 *       release of CODE, and nothing else.
 *
 *   guest_tool isp BLOCK
 *       Drives /dev/micom against the micom's flash programmer (after the
 *       hand-over): sync (sent again each second until the programmer
 *       answers, at most 20 times: the hand-over frame and the ISP link are
 *       two sockets on the host, so the programmer may start a little after
 *       the device opens), checksum (status 6, prints the value), block programming
 *       of BLOCK with the test pattern, one byte per write() each followed by
 *       its byte status, block verify.  Every status must read 6.
 *
 *   guest_tool load SECONDS SEED
 *       Uses the driver as user space does, in a seeded random order, for
 *       SECONDS: reads /proc/model and /proc/led, writes /proc/led and
 *       /proc/settime (good text and junk), /proc/vfdclock, /proc/vfd and
 *       /proc/startrescue, reads /proc/rescue now and then, takes what
 *       the input device has, and reads the clock through the module's
 *       exports (loads /lib/modules/clock_reader.ko, which reports and
 *       refuses to stay).  Fails when a call fails in a way the driver
 *       does not offer.
 *
 *   guest_tool ispnoise SECONDS SEED
 *       Opens /dev/micom and, for SECONDS, issues seeded random ioctls
 *       (the device's own, with good and bad pointers, and unknown
 *       numbers) and writes (1 to 600 bytes), then closes it.  Each call
 *       must give what the device promises: 0, or EFAULT for a bad pointer
 *       or more than 512 bytes; status words 0, 1 or 6.
 *
 *   guest_tool contract SCENARIO
 *       One scenario of the platform interface's table, on this kernel
 *       (guest_contract.c).
 *
 *   guest_tool date
 *       Prints the wall clock as YYYY-MM-DDTHH:MM (UTC) from a 64-bit
 *       time_t, which the 32-bit userland's busybox date lacks past 2038.
 *       (On a kernel without the 64-bit time calls the C library falls
 *       back to the 32-bit ones.)
 *
 * Output goes to stdout, one line per write (the guest's stdout is
 * /dev/kmsg, where one write is one log record).  Exit status 0 on pass.
 */
#define _FILE_OFFSET_BITS 64
#define _TIME_BITS 64
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "micom_ioctl.h"

#define REMOTE_NAME "marlowen remote control (native)"

/* shared with guest_contract.c */
int open_remote(void);
int run_contract(const char *scenario);

/* Byte @i of the block the test programs: a permutation of 0..255, so every
 * value (the sync byte 0xAA and the status bytes 06 and 15 among them)
 * passes the link once.  The host harness checks the micom's flash with the
 * same formula. */
static uint8_t pattern_byte(unsigned i)
{
	return (uint8_t)(i * 151u + 0x5Au);
}

int open_remote(void)
{
	char path[64], name[128];

	for (int n = 0; n < 32; n++) {
		snprintf(path, sizeof path, "/dev/input/event%d", n);
		int fd = open(path, O_RDONLY | O_NONBLOCK);
		if (fd < 0)
			continue;
		memset(name, 0, sizeof name);
		if (ioctl(fd, EVIOCGNAME(sizeof name - 1), name) >= 0 && strcmp(name, REMOTE_NAME) == 0) {
			printf("fp-guest: input device %s\n", path);
			return fd;
		}
		close(fd);
	}
	return -1;
}

static double now_s(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int run_key(int code, double seconds, const char *request)
{
	int fd = open_remote();
	int presses = 0, repeats = 0, releases = 0, others = 0, order_ok = 1, any_release = 0;

	if (fd < 0) {
		printf("fp-guest: no event device named \"%s\"\n", REMOTE_NAME);
		return 1;
	}
	/* the device is open before the host is asked: no event can be missed */
	printf("fp-host: %s\n", request);

	double end = now_s() + seconds;
	while (!any_release) {
		double left = end - now_s();
		if (left <= 0)
			break;
		struct pollfd p = { fd, POLLIN, 0 };
		int n = poll(&p, 1, (int)(left * 1000) + 1);
		if (n < 0 && errno != EINTR)
			break;
		if (n <= 0)
			continue;
		struct input_event ev[16];
		ssize_t got = read(fd, ev, sizeof ev);
		if (got < 0)
			continue;
		for (size_t i = 0; i < (size_t)got / sizeof ev[0]; i++) {
			if (ev[i].type != EV_KEY)
				continue;
			printf("fp-guest: event key %d value %d\n", ev[i].code, ev[i].value);
			if (ev[i].value == 0)
				any_release = 1; /* the micom's key is over, whichever code it got */
			if (ev[i].code != code) {
				others++;
			} else if (ev[i].value == 1) {
				if (presses++ || releases)
					order_ok = 0;
			} else if (ev[i].value == 2) {
				if (!presses || releases)
					order_ok = 0;
				repeats++;
			} else if (ev[i].value == 0) {
				if (!presses || releases++)
					order_ok = 0;
			}
		}
	}
	close(fd);
	printf("fp-guest: key %d: %d press, %d repeats, %d release, %d other\n", code, presses, repeats,
	       releases, others);
	return presses == 1 && repeats >= 1 && releases == 1 && others == 0 && order_ok ? 0 : 1;
}

/* A status command: prints and returns the status word (-1 when the ioctl fails). */
static int status(int fd, unsigned long cmd, const char *what)
{
	int32_t value = -1;

	if (ioctl(fd, cmd, &value) != 0) {
		printf("fp-guest: isp %s: ioctl failed: %s\n", what, strerror(errno));
		return -1;
	}
	return value;
}

static int run_isp(int block)
{
	int fd = open("/dev/micom", O_RDWR);
	int failed = 0, s;

	if (fd < 0) {
		printf("fp-guest: open /dev/micom: %s\n", strerror(errno));
		return 1;
	}

	int synced = 0, tries = 0;
	while (!synced && tries < 20) {
		tries++;
		if (ioctl(fd, MICOM_ISP_SYNC, 0) != 0)
			break;
		for (int poll_n = 0; poll_n < 50 && !synced; poll_n++) {
			usleep(20000);
			synced = status(fd, MICOM_ISP_GET_SYNC, "get sync") == 0;
		}
	}
	printf("fp-guest: isp sync %s after %d tries\n", synced ? "answered" : "not answered", tries);
	if (!synced) {
		close(fd);
		return 1;
	}

	if (ioctl(fd, MICOM_ISP_CHECKSUM, 0) != 0)
		failed++;
	s = status(fd, MICOM_ISP_CHECKSUM_STATUS, "checksum status");
	int32_t sum = -1;
	if (ioctl(fd, MICOM_ISP_CHECKSUM_VALUE, &sum) != 0)
		failed++;
	printf("fp-guest: isp checksum status %d value %04X\n", s, (unsigned)sum & 0xFFFF);
	if (s != MICOM_ISP_ACK)
		failed++;

	int32_t b = block;
	if (ioctl(fd, MICOM_ISP_BLOCK_PROGRAM, &b) != 0)
		failed++;
	s = status(fd, MICOM_ISP_BLOCK_PROGRAM_STATUS, "block program status");
	printf("fp-guest: isp block %d program status %d\n", block, s);
	if (s != MICOM_ISP_ACK)
		failed++;

	int bad_bytes = 0;
	for (unsigned i = 0; i < 256; i++) {
		uint8_t byte = pattern_byte(i);
		if (write(fd, &byte, 1) != 1) {
			printf("fp-guest: isp write of byte %u failed: %s\n", i, strerror(errno));
			bad_bytes++;
			continue;
		}
		s = status(fd, MICOM_ISP_BYTE_STATUS, "byte status");
		if (s != MICOM_ISP_ACK) {
			if (bad_bytes < 5)
				printf("fp-guest: isp byte %u (%02X) status %d\n", i, byte, s);
			bad_bytes++;
		}
	}
	printf("fp-guest: isp 256 bytes written, %d not acknowledged\n", bad_bytes);
	if (bad_bytes)
		failed++;

	if (ioctl(fd, MICOM_ISP_BLOCK_VERIFY, &b) != 0)
		failed++;
	s = status(fd, MICOM_ISP_BLOCK_VERIFY_STATUS, "block verify status");
	printf("fp-guest: isp block %d verify status %d\n", block, s);
	if (s != MICOM_ISP_ACK)
		failed++;

	if (close(fd) != 0)
		failed++;
	return failed ? 1 : 0;
}

/* A small seeded generator (xorshift32): the guest's runs repeat. */
static uint32_t rng_state = 1;

static uint32_t rng(void)
{
	rng_state ^= rng_state << 13;
	rng_state ^= rng_state >> 17;
	rng_state ^= rng_state << 5;
	return rng_state;
}

static void rng_seed(unsigned seed)
{
	rng_state = 0x9E3779B9u ^ seed;
	if (!rng_state)
		rng_state = 1;
}

/* Writes @len bytes to the entry; the driver takes any text up to 128 bytes. */
static int write_entry(const char *path, const char *text, size_t len)
{
	int fd = open(path, O_WRONLY);

	if (fd < 0) {
		printf("fp-guest: load: open %s: %s\n", path, strerror(errno));
		return 1;
	}
	ssize_t n = write(fd, text, len);
	close(fd);
	if (n != (ssize_t)len) {
		printf("fp-guest: load: write of %zu bytes to %s gave %zd (%s)\n", len, path, n,
		       n < 0 ? strerror(errno) : "short");
		return 1;
	}
	return 0;
}

static int read_entry(const char *path)
{
	char buf[64];
	int fd = open(path, O_RDONLY);

	if (fd < 0) {
		printf("fp-guest: load: open %s: %s\n", path, strerror(errno));
		return 1;
	}
	ssize_t n = read(fd, buf, sizeof buf);
	close(fd);
	if (n <= 0) {
		printf("fp-guest: load: read of %s gave %zd\n", path, n);
		return 1;
	}
	return 0;
}

/* The clock through the exports: clock_reader.ko reports to the kernel log
 * and refuses to load, so it can be loaded again and again. */
static int read_clock_by_export(void)
{
	int fd = open("/lib/modules/clock_reader.ko", O_RDONLY | O_CLOEXEC);

	if (fd < 0)
		return 0; /* not in this guest */
	long rc = syscall(SYS_finit_module, fd, "", 0);
	int err = errno;
	close(fd);
	if (rc == 0 || err != ECANCELED) {
		printf("fp-guest: load: clock_reader gave %ld (%s)\n", rc, strerror(err));
		return 1;
	}
	return 0;
}

static int run_load(double seconds, unsigned seed)
{
	static const char *const led_texts[] = { "0\n", "1\n", "2\n", "3\n", "7\n", "-1\n", "x\n", "\n", "2" };
	int input = open_remote();
	unsigned long ops = 0, events = 0;
	int failed = 0;
	char text[160];

	rng_seed(seed);
	for (double end = now_s() + seconds; now_s() < end && failed < 5; ops++) {
		switch (rng() % 12) {
		case 0:
		case 1:
			failed += read_entry("/proc/model");
			break;
		case 2:
		case 3:
			failed += read_entry("/proc/led");
			break;
		case 4: {
			const char *t = led_texts[rng() % (sizeof led_texts / sizeof led_texts[0])];
			failed += write_entry("/proc/led", t, strlen(t));
			break;
		}
		case 5: /* a good time, or junk of any length up to 128 bytes */
			if (rng() % 2) {
				snprintf(text, sizeof text, "20%02u%02u%02u%02u%02u%02u+%u\n", rng() % 100, 1 + rng() % 12,
					 1 + rng() % 28, rng() % 24, rng() % 60, rng() % 60, rng() % 10);
				failed += write_entry("/proc/settime", text, strlen(text));
			} else {
				size_t n = rng() % 129;
				for (size_t i = 0; i < n; i++)
					text[i] = (char)rng();
				failed += write_entry("/proc/settime", text, n);
			}
			break;
		case 6:
			failed += write_entry(rng() % 2 ? "/proc/vfdclock" : "/proc/vfd", "1\n", 2);
			break;
		case 7:
			if (rng() % 8 == 0)
				failed += write_entry("/proc/startrescue", "1\n", 2);
			break;
		case 8:
			if (rng() % 16 == 0)
				failed += read_entry("/proc/rescue");
			break;
		case 9:
			if (rng() % 4 == 0)
				failed += read_clock_by_export();
			break;
		default:
			usleep(1000 * (rng() % 20));
			break;
		}
		if (input >= 0) {
			struct input_event ev[32];
			ssize_t got;
			while ((got = read(input, ev, sizeof ev)) > 0)
				events += (unsigned long)got / sizeof ev[0];
		}
	}
	if (input >= 0)
		close(input);
	printf("fp-guest: load: %lu operations, %lu input events read, %d failed\n", ops, events, failed);
	return failed ? 1 : 0;
}

/* The device's own ioctls, numbers 1 to 27 in order. */
static const uint32_t isp_ioctls[27] = {
	MICOM_ISP_SYNC, MICOM_ISP_GET_SYNC, MICOM_ISP_CHECKSUM, MICOM_ISP_CHECKSUM_STATUS,
	MICOM_ISP_CHECKSUM_VALUE, MICOM_ISP_CHIP_ERASE, MICOM_ISP_CHIP_ERASE_STATUS,
	MICOM_ISP_ERASE_VERIFY, MICOM_ISP_ERASE_VERIFY_STATUS, MICOM_ISP_BLOCK_PROGRAM,
	MICOM_ISP_BLOCK_PROGRAM_STATUS, MICOM_ISP_BYTE_STATUS, MICOM_ISP_BLOCK_VERIFY,
	MICOM_ISP_BLOCK_VERIFY_STATUS, MICOM_ISP_STD_RESET, MICOM_ISP_STD_RESET_STATUS,
	MICOM_ISP_UART_CLKDIV, MICOM_ISP_STD_FREQ_SET, MICOM_ISP_STD_CHECKSUM,
	MICOM_ISP_STD_CHECKSUM_STATUS, MICOM_ISP_STD_CHECKSUM_VALUE, MICOM_ISP_STD_CHIP_ERASE,
	MICOM_ISP_STD_CHIP_ERASE_STATUS, MICOM_ISP_STD_PROGRAM, MICOM_ISP_STD_PROGRAM_STATUS,
	MICOM_ISP_STD_FREQ_SET_STATUS, MICOM_ISP_STD_REPLY,
};

static int run_ispnoise(double seconds, unsigned seed)
{
	int fd = open("/dev/micom", O_RDWR);
	unsigned long ioctls = 0, writes = 0, bad = 0;
	uint8_t buf[600];

	if (fd < 0) {
		printf("fp-guest: ispnoise: open /dev/micom: %s\n", strerror(errno));
		return 1;
	}
	rng_seed(seed);
	for (double end = now_s() + seconds; now_s() < end && bad < 5;) {
		uint32_t r = rng();
		if (r % 4 == 0) {
			size_t n = 1 + rng() % (r % 16 == 0 ? 600 : 8);
			for (size_t i = 0; i < n; i++)
				buf[i] = (uint8_t)rng();
			ssize_t got = write(fd, buf, n);
			writes++;
			if (n <= 512 ? got != (ssize_t)n : !(got < 0 && errno == EFAULT)) {
				printf("fp-guest: ispnoise: write of %zu bytes gave %zd (%s)\n", n, got,
				       got < 0 ? strerror(errno) : "");
				bad++;
			}
			continue;
		}
		const unsigned n = 1 + rng() % 27;
		uint32_t cmd;
		switch (rng() % 8) {
		case 0:
			cmd = rng(); /* any number: an unknown one does nothing */
			break;
		case 1:
			cmd = 0x40046F00u + n; /* the word-giving encoding for any number */
			break;
		default:
			cmd = isp_ioctls[n - 1];
			break;
		}
		const int known = cmd == isp_ioctls[n - 1];
		const int copies = known && (cmd >> 28) != 2; /* reads or writes the int */
		int32_t word = (int32_t)(rng() % 32);         /* a block number for those that take one */
		const int32_t before = word;
		const int bad_pointer = rng() % 16 == 0;
		long rc = ioctl(fd, cmd, bad_pointer ? (void *)8 : (void *)&word);
		const int err = errno;
		ioctls++;
		if (rc != 0 && !(copies && bad_pointer && err == EFAULT)) {
			printf("fp-guest: ispnoise: ioctl %08X gave %ld (%s)\n", cmd, rc, strerror(err));
			bad++;
		} else if (rc == 0 && copies && bad_pointer) {
			printf("fp-guest: ispnoise: ioctl %08X took a bad pointer\n", cmd);
			bad++;
		} else if (rc == 0 && known && (cmd >> 28) == 4 && cmd != MICOM_ISP_CHECKSUM_VALUE && word != 0 && word != 1 && word != 6) {
			printf("fp-guest: ispnoise: ioctl %08X gave status %d\n", cmd, word);
			bad++;
		} else if (rc == 0 && !known && word != before) {
			printf("fp-guest: ispnoise: unknown ioctl %08X wrote %d\n", cmd, word);
			bad++;
		}
	}
	if (close(fd) != 0)
		bad++;
	printf("fp-guest: ispnoise: %lu ioctls, %lu writes, %lu unexpected results\n", ioctls, writes, bad);
	return bad ? 1 : 0;
}

static int run_date(void)
{
	struct timespec ts;
	struct tm tm;
	char text[32];

	if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || !gmtime_r(&ts.tv_sec, &tm) ||
	    !strftime(text, sizeof text, "%Y-%m-%dT%H:%M", &tm))
		return 1;
	printf("%s\n", text);
	return 0;
}

int main(int argc, char **argv)
{
	setvbuf(stdout, NULL, _IOLBF, 0);
	if (argc == 5 && strcmp(argv[1], "key") == 0)
		return run_key(atoi(argv[2]), atof(argv[3]), argv[4]);
	if (argc == 3 && strcmp(argv[1], "isp") == 0)
		return run_isp(atoi(argv[2]));
	if (argc == 3 && strcmp(argv[1], "contract") == 0)
		return run_contract(argv[2]);
	if (argc == 2 && strcmp(argv[1], "date") == 0)
		return run_date();
	if (argc == 4 && strcmp(argv[1], "load") == 0)
		return run_load(atof(argv[2]), (unsigned)atoi(argv[3]));
	if (argc == 4 && strcmp(argv[1], "ispnoise") == 0)
		return run_ispnoise(atof(argv[2]), (unsigned)atoi(argv[3]));
	fprintf(stderr, "usage: guest_tool key CODE SECONDS HOST-REQUEST | isp BLOCK | contract SCENARIO | date | load SECONDS SEED | ispnoise SECONDS SEED\n");
	return 2;
}
