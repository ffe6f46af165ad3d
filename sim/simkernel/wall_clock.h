// SPDX-License-Identifier: MIT
// The kernel's wall clock as the driver may set it: the box's Linux 3.9,
// whose time_t is 32 bits wide, and the Linux back-end's rules in front of
// it (driver/linux/kp_time.c).  A date before 1970 is refused (-EINVAL), as
// is a nanosecond part outside 0 to 999999999; a date from
// 2038-01-19 03:14:07 on, which the 32-bit clock cannot hold, leaves the
// clock as it is (-EOVERFLOW) with a warning at most once a minute, the
// kernel's rate limit counting the ones it held back.  (6.x kernels keep
// 64-bit time and take every date of the micom's clock; the simulator is
// the box.)
#pragma once

#include <cstdint>

#include "machine/sim_time.h"

#include "simkernel/klog.h"

namespace sim {

/// The kernel's ___ratelimit() of 3.9: at most @burst calls in @interval
/// jiffies; when a new interval starts after calls were held back, it logs
/// "FUNC: N callbacks suppressed".
class RateLimit {
public:
    RateLimit(unsigned long interval, int burst, const char* func) : interval_(interval), burst_(burst), func_(func) {}
    bool allow(unsigned long jiffies, Nanos now, KernelLog& log);

private:
    unsigned long interval_;
    int burst_;
    const char* func_;
    unsigned long begin_ = 0;
    int printed_ = 0;
    int missed_ = 0;
};

/// The last second the box's clock takes: 2038-01-19 03:14:06.  A 32-bit
/// time_t holds one more, but 3.9's clock of a 32-bit machine ends at
/// KTIME_SEC_MAX, LONG_MAX there, and refuses that second itself.
constexpr int64_t kBoxLastClockSecond = INT32_MAX - 1;

/// Seconds since 1970 of a date of the micom's clock, in 64 bits (negative
/// before 1970), with the box's mktime() arithmetic.
int64_t date_seconds(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec);

/// What the kernel answers to a set of the wall clock to the date plus
/// @nsec: 0 with @wall_ns set, or the error with the clock left as it is.
/// @beyond is the back-end's rate limit of the warning (60 s, one message).
int set_wall_clock(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec,
                   long nsec, int64_t& wall_ns, RateLimit& beyond, unsigned long jiffies, Nanos now,
                   KernelLog& log);

}  // namespace sim
