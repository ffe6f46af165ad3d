// SPDX-License-Identifier: MIT
// The clock record, both ways (clock_record.h).
#include "clock_record.h"
#include "platform/kp_time.h"

void clock_record_build(const char *s, uint8_t rec[7])
{
	int d[14];

	/* Character 1 is not used: the century comes from character 0 alone. */
	for (int i = 0; i < 14; i++)
		d[i] = (int)(unsigned char)s[i] - 0x30;
	rec[0] = (uint8_t)(((unsigned)d[12] << 4 | (unsigned)d[13]) & 0x7F);
	rec[1] = (uint8_t)(((unsigned)d[10] << 4 | (unsigned)d[11]) & 0x7F);
	rec[2] = (uint8_t)(((unsigned)d[8] << 4 | (unsigned)d[9]) & 0x3F);
	if (d[0] >= 2)
		rec[2] |= 0xC0; /* both century flags: 2000 and later */
	rec[3] = 0x00;          /* weekday */
	rec[4] = (uint8_t)(((unsigned)d[6] << 4 | (unsigned)d[7]) & 0x3F);
	rec[5] = (uint8_t)(((unsigned)d[4] << 4 | (unsigned)d[5]) & 0x1F);
	rec[6] = (uint8_t)((unsigned)d[2] << 4 | (unsigned)d[3]);
}

/* A packed-BCD field as the micom sends it: a digit above 9 ends the number. */
static int bcd_field(uint8_t v)
{
	unsigned int hi = v >> 4, lo = v & 0x0F;

	if (hi == 0)
		return lo > 9 ? 0 : (int)lo;
	if (hi > 9)
		return 0;
	if (lo > 9)
		return (int)hi;
	return (int)(hi * 10 + lo);
}

clock_fields clock_record_decode(const uint8_t p[7])
{
	clock_fields c;

	c.sec = bcd_field(p[0] & 0x7F);
	c.min = bcd_field(p[1] & 0x7F);
	c.hour = bcd_field(p[2] & 0x3F);
	/* p[3], the weekday, means nothing here */
	c.day = bcd_field(p[4] & 0x3F);
	c.mon = bcd_field(p[5] & 0x1F);
	c.year = ((p[2] & 0x40) ? 2000 : 1900) + bcd_field(p[6]);
	return c;
}

unsigned long clock_fields_seconds(const clock_fields &c)
{
	return kp_mktime((unsigned int)c.year, (unsigned int)c.mon, (unsigned int)c.day,
			 (unsigned int)c.hour, (unsigned int)c.min, (unsigned int)c.sec);
}
