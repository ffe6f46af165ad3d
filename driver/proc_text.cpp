// SPDX-License-Identifier: MIT
#include "proc_text.h"

int fp_proc_copy_text(char buf[FP_PROC_TEXT_MAX], const char *ubuf, unsigned long count)
{
	if (count > FP_PROC_TEXT_MAX)
		return -KP_EFAULT;
	memset(buf, 0, FP_PROC_TEXT_MAX);
	if (kp_copy_from_user(buf, ubuf, count))
		return -KP_EFAULT;
	if (count > 0)
		buf[count - 1] = '\0';
	return 0;
}

size_t fp_strnlen(const char *s, size_t max)
{
	size_t n = 0;

	if (!s)
		return 0;
	while (n < max && s[n])
		n++;
	return n;
}
