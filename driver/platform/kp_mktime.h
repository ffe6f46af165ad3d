/* SPDX-License-Identifier: MIT */
/*
 * The box kernel's mktime(), shared by the back-ends (not by the core, which
 * calls kp_mktime()).  Months are shifted so that February comes last and its
 * leap day falls at the end of the year; everything is computed in unsigned
 * int and widened to unsigned long only for the final products, which is what
 * makes out-of-range dates wrap the way they do on the box.
 */
#ifndef FP_KERNEL_KP_MKTIME_H
#define FP_KERNEL_KP_MKTIME_H

static inline unsigned long kp_mktime_box(unsigned int year0, unsigned int mon0,
					  unsigned int day, unsigned int hour,
					  unsigned int min, unsigned int sec)
{
	unsigned int mon = mon0, year = year0;

	/* 1..12 -> 11,12,1..10 */
	if (0 >= (int)(mon -= 2)) {
		mon += 12; /* Puts Feb last since it has leap day */
		year -= 1;
	}

	return ((((unsigned long)(year / 4 - year / 100 + year / 400 +
				  367 * mon / 12 + day) +
		  year * 365 - 719499) * 24 + hour) * 60 + min) * 60 + sec;
}

#endif
