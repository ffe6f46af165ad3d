/* SPDX-License-Identifier: MIT */
/*
 * micomflash: re-programs the front-panel micom's 8 KiB flash through
 * /dev/micom. The micom is powered into its in-system programming mode and
 * back through SoC GPIOs 2 to 6, and gets its 8 MHz clock from an SoC clock
 * divider.
 *
 * One source, two builds, chosen by MICOMFLASH_BUILD_A (1 = build A,
 * 0 = build B). Build A asks the driver to have the micom hand over to its
 * flash programmer (/proc/enableisp), waits 6 s after entering ISP mode and
 * drives the ISP-enable pin; build B does none of the three.
 */
#ifndef MICOMFLASH_PROGRAMMER_H
#define MICOMFLASH_PROGRAMMER_H

#include <stdint.h>

#include "vendor/gbus.h"
#include "vendor/rmdef.h"
#include "vendor/rua.h"

#ifdef __cplusplus
extern "C" {
#endif

enum {
    IMAGE_SIZE = 8192,   /* bytes of the micom's flash and of an image */
    BLOCK_SIZE = 256,
    BLOCK_COUNT = 32,
};

/* SoC GPIO pins wired to the micom. */
extern int32_t ISP_CLKGPIO;   /* the micom's ISP clock line */
extern int32_t ISP_8MHZ_NEN;  /* 8 MHz clock enable, low = clock on */
extern int32_t MCU_PWR_NEN;   /* micom power, low = powered */
extern int32_t ISP_RST;       /* micom reset, low = held in reset */
extern int32_t ISP_NEN;       /* ISP enable, low while programming */
extern int32_t ACTIVE_ISPEN;  /* non-zero: the sequences drive ISP_NEN */

/* Descriptor of /dev/micom, -1 until open_tty. */
extern int32_t fd;

/* Prints "CHECKSUM", asks the micom for its flash checksum and stores it
 * through result (also when the micom did not acknowledge). Returns 0. */
int32_t checksum(int32_t *result);
/* Erases the flash and checks that it is blank. Returns 0. */
int32_t chip_erase(void);
/* Reads the image file at path into image: at most IMAGE_SIZE bytes, the
 * rest left at 0x00. Prints "file NULL" and returns -1 when the file cannot
 * be opened; 0 otherwise. */
int32_t read_image(const char *path, uint8_t *image);
/* The 16-bit checksum of an image, printed as "FILE CHECKSUM". */
uint16_t file_checksum(const uint8_t *image);
/* Writes and verifies the image in 32 blocks. Returns -1 when a byte could
 * not be written, otherwise the last status word read. */
int32_t programming(const uint8_t *image);

/* Opens /dev/micom into fd, prints "OPEN MICOM" or "micom open error";
 * returns fd. */
int open_tty(void);
/* Prints "CLOSE MICOM" and closes fd. */
void close_tty(void);
/* Gives the micom's clock output frequency Hz. Returns the status of the
 * last request. */
RMstatus cd_set_clock(struct RUA *rua, RMuint32 frequency);
/* Powers the micom into ISP mode, sending the sync byte on the way.
 * Returns 0. */
int32_t programming_mode_init(struct gbus *bus);
/* Powers the micom back into its normal firmware. Returns 0. */
int32_t programming_mode_exit(struct gbus *bus);

#ifdef __cplusplus
}
#endif

#endif
