// SPDX-License-Identifier: MIT
// Calendar arithmetic and the packed-BCD clock record.
#include <gtest/gtest.h>

#include "clock_record.h"

namespace micom::detail {
namespace {

TEST(ClockRecord, EpochMatchesKnownDatesAndRoundTrips) {
    EXPECT_EQ(to_epoch({1970, 1, 1, 0, 0, 0}), 0);
    EXPECT_EQ(to_epoch({2013, 5, 1, 12, 0, 0}), 1367409600);
    EXPECT_EQ(to_epoch({2000, 2, 29, 23, 59, 59}), 951868799);
    EXPECT_EQ(to_epoch({1901, 1, 1, 0, 0, 0}), -2177452800);
    for (int64_t s = to_epoch({1900, 1, 1, 0, 0, 0}); s < to_epoch({2100, 1, 1, 0, 0, 0}); s += 86400 * 37 + 3671) {
        const DateTime t = from_epoch(s);
        ASSERT_EQ(to_epoch(t), s);
        ASSERT_GE(t.mon, 1);
        ASSERT_LE(t.mon, 12);
        ASSERT_GE(t.day, 1);
        ASSERT_LE(t.day, 31);
    }
}

TEST(ClockRecord, EncodeAndDecode) {
    const auto r = encode_record({2013, 12, 6, 15, 30, 0}, 0x81);
    EXPECT_EQ(r, (std::array<uint8_t, 8>{0x00, 0x30, 0xD5, 0x00, 0x06, 0x12, 0x13, 0x81}));
    EXPECT_EQ(encode_record({1999, 12, 31, 23, 59, 59}, 0)[2], 0x23);  // no century bits
    EXPECT_EQ(encode_record({2005, 1, 1, 0, 0, 0}, 0)[6], 0x05);

    auto t = decode_record(r.data());
    ASSERT_TRUE(t);
    EXPECT_EQ(to_epoch(*t), to_epoch({2013, 12, 6, 15, 30, 0}));
    // Only bit 6 of the hour byte decides the century; masks drop the rest.
    const uint8_t only_bit6[7] = {0xD9, 0x80, 0x45, 0x07, 0xC1, 0xE2, 0x05};
    t = decode_record(only_bit6);
    ASSERT_TRUE(t);
    EXPECT_EQ(t->year, 2005);
    EXPECT_EQ(t->hour, 5);
    EXPECT_EQ(t->sec, 59);
    EXPECT_EQ(t->day, 1);
    EXPECT_EQ(t->mon, 2);

    const uint8_t bad[][7] = {
        {0x60, 0, 0xC0, 0, 1, 1, 0x13},  // second 60
        {0, 0, 0xE4, 0, 1, 1, 0x13},     // hour 24
        {0, 0, 0xC0, 0, 0, 1, 0x13},     // day 0
        {0, 0, 0xC0, 0, 0x29, 2, 0x13},  // 29 February 2013
        {0, 0, 0xC0, 0, 1, 0, 0x13},     // month 0
        {0, 0, 0xC0, 0, 1, 1, 0x1A},     // year digit above 9
    };
    for (const auto& b : bad) EXPECT_FALSE(decode_record(b)) << int(b[2]) << " " << int(b[4]);
    const uint8_t leap[7] = {0, 0, 0xC0, 0, 0x29, 2, 0x12};
    EXPECT_TRUE(decode_record(leap));
}

}  // namespace
}  // namespace micom::detail
