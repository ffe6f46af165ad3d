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
#include <time.h>
#include <unistd.h>

#include "micom_ioctl.h"

#define REMOTE_NAME "marlowen remote control (native)"

/* Byte @i of the block the test programs: a permutation of 0..255, so every
 * value (the sync byte 0xAA and the status bytes 06 and 15 among them)
 * passes the link once.  The host harness checks the micom's flash with the
 * same formula. */
static uint8_t pattern_byte(unsigned i)
{
	return (uint8_t)(i * 151u + 0x5Au);
}

static int open_remote(void)
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
	if (argc == 2 && strcmp(argv[1], "date") == 0)
		return run_date();
	fprintf(stderr, "usage: guest_tool key CODE SECONDS HOST-REQUEST | guest_tool isp BLOCK | guest_tool date\n");
	return 2;
}
