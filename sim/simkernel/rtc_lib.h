// SPDX-License-Identifier: MIT
// The box kernel's RTC arithmetic (Linux 3.9, 32-bit MIPS): a struct
// rtc_time checked and converted to and from seconds since 1970.  On the
// box unsigned long and time_t are 32 bits wide: seconds are kept as the
// kernel keeps them, unsigned where it computes in unsigned long, and the
// alarm timer's expiry as a ktime made from a 32-bit time_t.
#pragma once

#include <cstdint>

#include "platform/kp_rtc.h"

namespace sim::rtc {

/// The box's unsigned long.
using BoxULong = uint32_t;

int month_days(unsigned month, unsigned year);
/// 0, or -EINVAL for a time the class refuses (before 1970, a field out of range).
int valid_tm(const kp_rtc_time& tm);
/// rtc_tm_to_time(): the box kernel's mktime() of the fields, in an unsigned long.
BoxULong tm_to_time(const kp_rtc_time& tm);
/// rtc_time_to_tm(); as on 3.9, tm_yday counts from 1 and tm_isdst is 0.
kp_rtc_time time_to_tm(BoxULong t);
/// rtc_tm_to_ktime() in whole seconds: the seconds through a 32-bit time_t.
inline int64_t tm_to_ktime(const kp_rtc_time& tm) { return int32_t(tm_to_time(tm)); }
/// rtc_ktime_to_tm() of whole seconds.
inline kp_rtc_time ktime_to_tm(int64_t secs) { return time_to_tm(BoxULong(secs)); }

}  // namespace sim::rtc
