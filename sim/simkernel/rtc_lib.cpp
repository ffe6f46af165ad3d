// SPDX-License-Identifier: MIT
#include "simkernel/rtc_lib.h"

#include <cerrno>

#include "platform/kp_mktime.h"

namespace sim::rtc {

namespace {

bool leap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

constexpr unsigned char kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

}  // namespace

int month_days(unsigned month, unsigned year) { return kDays[month] + (leap(year) && month == 1); }

int valid_tm(const kp_rtc_time& tm) {
    if (tm.tm_year < 70 || unsigned(tm.tm_mon) >= 12 || tm.tm_mday < 1 ||
        tm.tm_mday > month_days(unsigned(tm.tm_mon), unsigned(tm.tm_year + 1900)) ||
        unsigned(tm.tm_hour) >= 24 || unsigned(tm.tm_min) >= 60 || unsigned(tm.tm_sec) >= 60)
        return -EINVAL;
    return 0;
}

BoxULong tm_to_time(const kp_rtc_time& tm) {
    // (the 64-bit result wraps to the 32-bit one: the arithmetic is modular)
    return BoxULong(kp_mktime_box(unsigned(tm.tm_year + 1900), unsigned(tm.tm_mon + 1), unsigned(tm.tm_mday),
                                  unsigned(tm.tm_hour), unsigned(tm.tm_min), unsigned(tm.tm_sec)));
}

kp_rtc_time time_to_tm(BoxULong t) {
    kp_rtc_time tm{};
    unsigned days = t / 86400, secs = t % 86400;
    tm.tm_wday = int((days + 4) % 7);  // 1970-01-01 was a Thursday
    unsigned year = 1970;
    for (;;) {
        const unsigned in_year = leap(year) ? 366 : 365;
        if (days < in_year)
            break;
        days -= in_year;
        ++year;
    }
    tm.tm_year = int(year - 1900);
    tm.tm_yday = int(days + 1);
    unsigned month = 0;
    while (month < 11 && days >= unsigned(month_days(month, year)))
        days -= unsigned(month_days(month++, year));
    tm.tm_mon = int(month);
    tm.tm_mday = int(days + 1);
    tm.tm_hour = int(secs / 3600);
    tm.tm_min = int(secs / 60 % 60);
    tm.tm_sec = int(secs % 60);
    tm.tm_isdst = 0;
    return tm;
}

}  // namespace sim::rtc
