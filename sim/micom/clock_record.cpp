// SPDX-License-Identifier: MIT
#include "clock_record.h"

namespace micom::detail {
namespace {

constexpr int64_t kNanosPerSecond = 1'000'000'000;

// Days since 1970-01-01 of a civil date (valid for any year).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

uint8_t to_bcd(int v) { return static_cast<uint8_t>(((v / 10) % 10) << 4 | (v % 10)); }

// Two BCD digits after masking; -1 when a digit is above 9.
int from_bcd(uint8_t b) {
    const int hi = b >> 4, lo = b & 0x0F;
    if (hi > 9 || lo > 9) return -1;
    return hi * 10 + lo;
}

}  // namespace

int64_t to_epoch(const DateTime& t) {
    return days_from_civil(t.year, t.mon, t.day) * 86400 + t.hour * 3600 + t.min * 60 + t.sec;
}

DateTime from_epoch(int64_t s) {
    int64_t z = (s >= 0 ? s : s - 86399) / 86400;
    const int64_t secs = s - z * 86400;
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp < 10 ? mp + 3 : mp - 9;
    DateTime t;
    t.year = static_cast<int>(yoe + era * 400 + (m <= 2));
    t.mon = static_cast<int>(m);
    t.day = static_cast<int>(d);
    t.hour = static_cast<int>(secs / 3600);
    t.min = static_cast<int>(secs / 60 % 60);
    t.sec = static_cast<int>(secs % 60);
    return t;
}

std::array<uint8_t, 8> encode_record(const DateTime& t, uint8_t byte7) {
    return {to_bcd(t.sec),
            to_bcd(t.min),
            static_cast<uint8_t>(to_bcd(t.hour) | (t.year >= 2000 ? 0xC0 : 0x00)),
            0x00,
            to_bcd(t.day),
            to_bcd(t.mon),
            to_bcd(t.year % 100),
            byte7};
}

std::optional<DateTime> decode_record(const uint8_t* rec) {
    DateTime t;
    t.sec = from_bcd(rec[0] & 0x7F);
    t.min = from_bcd(rec[1] & 0x7F);
    t.hour = from_bcd(rec[2] & 0x3F);
    t.day = from_bcd(rec[4] & 0x3F);
    t.mon = from_bcd(rec[5] & 0x1F);
    const int yy = from_bcd(rec[6]);
    if (t.sec < 0 || t.sec > 59 || t.min < 0 || t.min > 59 || t.hour < 0 || t.hour > 23 || yy < 0 ||
        t.mon < 1 || t.mon > 12 || t.day < 1)
        return std::nullopt;
    t.year = ((rec[2] & 0x40) ? 2000 : 1900) + yy;
    // Reject days past the end of the month (31 February would silently become March).
    if (from_epoch(to_epoch(t)).day != t.day) return std::nullopt;
    return t;
}

RealTimeClock::RealTimeClock(MicomEnv& env)
    : env_(env), base_epoch_(to_epoch(DateTime{})), base_at_(env.now()) {}

void RealTimeClock::set(const DateTime& t) {
    base_epoch_ = to_epoch(t);
    base_at_ = env_.now();
}

int64_t RealTimeClock::epoch_now() const {
    const int64_t t = base_epoch_ + static_cast<int64_t>((env_.now() - base_at_) / kNanosPerSecond);
    // The record's two year digits and century bit hold 1900 to 2099: after
    // 2099-12-31 23:59:59 the clock shows 2000-01-01 00:00:00 again, as the
    // clock record it sends says.
    static const int64_t y2000 = to_epoch(DateTime{2000, 1, 1, 0, 0, 0});
    static const int64_t y2100 = to_epoch(DateTime{2100, 1, 1, 0, 0, 0});
    return t < y2100 ? t : y2000 + (t - y2100) % (y2100 - y2000);
}

DateTime RealTimeClock::now() const { return from_epoch(epoch_now()); }

Nanos RealTimeClock::instant_of(int64_t epoch) const {
    if (epoch <= base_epoch_) return base_at_;
    return base_at_ + static_cast<Nanos>(epoch - base_epoch_) * kNanosPerSecond;
}

}  // namespace micom::detail
