// SPDX-License-Identifier: MIT
#include "dates.h"

namespace fptest {

int64_t epoch_of(int year, int mon, int day, int hour, int min, int sec) {
    static const int mdays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    int64_t days = 0;
    for (int y = 1970; y < year; ++y)
        days += leap(y) ? 366 : 365;
    for (int m = 1; m < mon; ++m)
        days += mdays[m - 1] + (m == 2 && leap(year) ? 1 : 0);
    days += day - 1;
    return ((days * 24 + hour) * 60 + min) * 60 + sec;
}

int64_t epoch_of(const micom::DateTime& t) { return epoch_of(t.year, t.mon, t.day, t.hour, t.min, t.sec); }

}  // namespace fptest
