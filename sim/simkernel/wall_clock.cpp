// SPDX-License-Identifier: MIT
#include "simkernel/wall_clock.h"

#include <cerrno>
#include <cstdio>

namespace sim {

bool RateLimit::allow(unsigned long jiffies, Nanos now, KernelLog& log) {
    if (!interval_)
        return true;
    if (!begin_)
        begin_ = jiffies;
    if (long(begin_ + interval_ - jiffies) < 0) {  // time_is_before_jiffies(begin + interval)
        if (missed_) {
            char line[128];
            std::snprintf(line, sizeof line, "\x01" "4%s: %d callbacks suppressed", func_, missed_);
            log.add(now, line);
        }
        begin_ = 0;  // the next call starts the next interval
        printed_ = 0;
        missed_ = 0;
    }
    if (burst_ && burst_ > printed_) {
        ++printed_;
        return true;
    }
    ++missed_;
    return false;
}

int64_t date_seconds(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec) {
    int64_t y = year, m = int64_t(mon) - 2;
    if (m <= 0) {
        m += 12;
        y -= 1;
    }
    return ((((y / 4 - y / 100 + y / 400 + 367 * m / 12 + day + y * 365 - 719499) * 24 + hour) * 60 + min) * 60 +
            sec);
}

int set_wall_clock(unsigned year, unsigned mon, unsigned day, unsigned hour, unsigned min, unsigned sec,
                   long nsec, int64_t& wall_ns, RateLimit& beyond, unsigned long jiffies, Nanos now,
                   KernelLog& log) {
    const int64_t seconds = date_seconds(year, mon, day, hour, min, sec);
    if (seconds < 0)
        return -EINVAL;
    if (seconds > kBoxLastClockSecond) {
        if (beyond.allow(jiffies, now, log)) {
            char line[128];
            std::snprintf(line, sizeof line, "\x01" "4fp_micom: time %04u-%02u-%02u beyond this kernel's clock, not set",
                          year, mon, day);
            log.add(now, line);
        }
        return -EOVERFLOW;
    }
    if (nsec < 0 || nsec >= 1'000'000'000)
        return -EINVAL;
    wall_ns = seconds * 1'000'000'000 + nsec;
    return 0;
}

}  // namespace sim
