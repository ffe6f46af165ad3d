/* SPDX-License-Identifier: MIT */
/*
 * The clock record: the micom's packed-BCD date and time, built from text
 * for the frames the driver sends and decoded from the answers it
 * receives, side by side.
 *
 *   byte 0 second   1 minute   2 hour (bits 6, 7: the century flags)
 *        3 weekday  4 day      5 month   6 year within the century
 *        7 a flags or status byte
 */
#ifndef FP_CLOCK_RECORD_H
#define FP_CLOCK_RECORD_H

#include "platform/kp_types.h"

/** struct clock_fields - a decoded clock record: full year, month 1-12. */
struct clock_fields {
	int year, mon, day, hour, min, sec;
};

/*
 * Bytes 0-6 of a clock record from the 14 characters YYYYMMDDhhmmss, each
 * taken as its value minus '0' without a check; both century flags when
 * the first character is 2 or more.
 */
void clock_record_build(const char *digits, uint8_t rec[7]);
/* Bytes 0-6 of a record as the micom sends them; bit 6 of the hour gives 2000. */
clock_fields clock_record_decode(const uint8_t rec[7]);
/* Seconds since 1970 of decoded fields, as the kernel's mktime() gives them. */
unsigned long clock_fields_seconds(const clock_fields &c);

#endif
