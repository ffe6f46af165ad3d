// SPDX-License-Identifier: MIT
// The QEMU board's pin channel: what the guest's library encodes, micom_host
// decodes, and back.
#include <gtest/gtest.h>

#include "qemu_board/pin_channel.h"

namespace {

using namespace pin_channel;

std::vector<Frame> decode_all(Decoder& d, const std::vector<uint8_t>& bytes) {
    std::vector<Frame> frames;
    for (uint8_t b : bytes)
        if (auto f = d.feed(b)) frames.push_back(*f);
    return frames;
}

TEST(PinChannel, EachRequestAndAnswerComesBackAsSent) {
    const uint32_t record[3] = {9, 2, 4};
    const uint32_t query = 9;
    std::vector<uint8_t> line;
    for (const Frame& f : {gbus_write(0x0123456789ABCDEFull, 0x10504, 0x00200020),
                           set_property(43, 4417, record, sizeof record),
                           exchange_property(43, 4411, &query, sizeof query, 4),
                           answer(6, {0x00, 0x48, 0xE8, 0x01}), Frame{kHello, {}}}) {
        auto bytes = encode(f);
        line.insert(line.end(), bytes.begin(), bytes.end());
    }
    Decoder d;
    auto frames = decode_all(d, line);
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(d.errors(), 0u);

    auto w = read_gbus_write(frames[0]);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->guest_us, 0x0123456789ABCDEFull);
    EXPECT_EQ(w->addr, 0x10504u);
    EXPECT_EQ(w->value, 0x00200020u);

    auto set = read_property(frames[1]);
    ASSERT_TRUE(set);
    EXPECT_EQ(frames[1].kind, kSet);
    EXPECT_EQ(set->module, 43u);
    EXPECT_EQ(set->property, 4417u);
    ASSERT_EQ(set->record.size(), 12u);
    EXPECT_EQ(get32(&set->record[4]), 2u);
    EXPECT_EQ(get32(&set->record[8]), 4u);

    auto x = read_property(frames[2]);
    ASSERT_TRUE(x);
    EXPECT_EQ(frames[2].kind, kExchange);
    EXPECT_EQ(x->out_size, 4u);
    ASSERT_EQ(x->record.size(), 4u);
    EXPECT_EQ(get32(x->record.data()), 9u);

    auto a = read_answer(frames[3]);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->status, 6);
    EXPECT_EQ(get32(a->out.data()), 32'000'000u);
    EXPECT_EQ(frames[4].kind, kHello);
    EXPECT_FALSE(read_gbus_write(frames[4]));  // a request is read only as its own kind
}

TEST(PinChannel, ACorruptFrameIsDroppedAndTheNextOneStillArrives) {
    auto bad = encode(gbus_write(1, 0x10500, 0x00040004));
    bad[7] ^= 0x10;  // a payload bit flipped: the check no longer matches
    auto good = encode(gbus_write(2, 0x10504, 0x00040000));
    std::vector<uint8_t> line = {0x00, 0x55};  // noise before any frame
    line.insert(line.end(), bad.begin(), bad.end());
    line.insert(line.end(), good.begin(), good.end());
    Decoder d;
    auto frames = decode_all(d, line);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(read_gbus_write(frames[0])->guest_us, 2u);
    EXPECT_EQ(d.errors(), 3u);  // two noise bytes, one bad frame

    // a length beyond the largest payload is refused at once
    Decoder d2;
    EXPECT_TRUE(decode_all(d2, {kStart, kAnswer, uint8_t(kMaxPayload + 1)}).empty());
    EXPECT_EQ(d2.errors(), 1u);
}

}  // namespace
