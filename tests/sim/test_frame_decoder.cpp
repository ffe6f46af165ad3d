// SPDX-License-Identifier: MIT
// The decoder behind `wire`, on what a script cannot make fpsim send: frames
// with a wrong checksum, noise, frames cut short, the long form, and a micom
// that echoes wrongly, refuses and says more than it was asked.  Scripts and
// the sigrok test cover the frames of a normal run.
#include <gtest/gtest.h>

#include <vector>

#include "frame_decoder.h"
#include "wire_format.h"

using namespace sim;
using fpsim::DecodedLine;

namespace {

/// A log of bytes sent one after the other; a gap of @pause before each
/// group of @bytes.
struct LogBuilder {
    std::vector<WireByte> log;
    Nanos t = 0;
    LineFormat f{115200, 8, 'N', 1};
    void send(Direction d, std::vector<uint8_t> bytes, Nanos pause = 1'000'000) {
        t += pause;
        for (uint8_t b : bytes) {
            log.push_back(WireByte{t, t + f.char_time(), d, b, false, f});
            t += f.char_time();
        }
    }
};

std::vector<std::string> meanings(const std::vector<DecodedLine>& lines) {
    std::vector<std::string> out;
    for (const auto& l : lines)
        out.push_back(l.meaning);
    return out;
}

constexpr auto H = Direction::HostToMicom;
constexpr auto M = Direction::MicomToHost;

}  // namespace

TEST(FrameDecoder, PrimaryMarksWrongChecksumsNoiseAndFramesCutShort) {
    LogBuilder b;
    b.send(H, {0xAA, 0x20, 0x42, 0x00, 0x06, 0x65});  // LED frame, checksum 0x64
    b.send(M, {0x12, 0x34});                           // noise
    b.send(M, {0xAA, 0xDF, 0xD8, 0x00});               // time answer cut short
    std::vector<uint8_t> longform = {0xAA, 0x20, 0x50, 0x10};
    uint8_t sum = 0x20 ^ 0x50 ^ 0x10;
    for (uint8_t i = 0; i < 16; ++i) {
        longform.push_back(i);
        sum ^= i;
    }
    longform.push_back(sum);
    b.send(H, longform);
    b.send(M, {0xAA, 0xDF, 0xE5, 0x01, 0x00, 0x34, 0x49, 0xB6, 0xF0});  // address the driver drops
    const auto lines = fpsim::decode_primary(b.log);
    EXPECT_EQ(meanings(lines),
              (std::vector<std::string>{"led 6, wrong checksum", "no frame", "frame cut short",
                                        "command 0x5 length 16", "key 0x49 address 0x34"}));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[3].bytes, longform);
}

TEST(FrameDecoder, IspNamesWrongEchoesRefusalsAndUnaskedBytes) {
    LogBuilder b;
    b.send(H, {0x20, 0x1F, 0x00, 0xFF});
    b.send(M, {0x20, 0x1F, 0x00, 0xFE, 0x15}, 0);  // a bit lost in the echo, then NAK
    b.send(M, {0x99});                               // nothing was asked
    b.send(H, {0xB0, 0x1F, 0x00, 0xFF});
    b.send(M, {0xB0, 0x1F, 0x00, 0xFF, 0x06, 0x34}, 0);  // the value's high byte comes late
    b.send(M, {0x12});
    b.send(H, {0x01, 0x01, 0x00, 0xFE, 0x03});  // standard reset, checksum should be FF
    EXPECT_EQ(meanings(fpsim::decode_isp(b.log)),
              (std::vector<std::string>{"erase", "erase echo differs, NAK", "unexpected", "checksum",
                                        "checksum echo, ACK, value low byte 0x34",
                                        "checksum value high byte 0x12",
                                        "standard reset, wrong checksum"}));
}

TEST(FrameDecoder, ARecordThatLostItsStartGoesOnFromTheFirstWholeFrame) {
    LogBuilder b;
    b.send(M, {0x5F, 0xB6, 0x49, 0x9B}, 0);                          // the end of a release
    b.send(M, {0xAA, 0xDF, 0xE5, 0x01, 0x00, 0x5F, 0xB6, 0x49, 0x9B});  // a release of a lost press
    b.send(M, {0xAA, 0xDF, 0xE5, 0x01, 0x00, 0x5F, 0x4A, 0xB5, 0x9B});
    b.send(M, {0xAA, 0xDF, 0xE5, 0x01, 0x00, 0x5F, 0xB5, 0x4A, 0x9B});
    EXPECT_EQ(meanings(fpsim::decode_primary(b.log, true)),
              (std::vector<std::string>{"key 0x4A remote", "key 0x4A remote release"}));
    const std::vector<WireByte> none;
    const std::string shown = fpsim::format_wire({b.log, 0, 1200, true}, {none, 0});
    EXPECT_EQ(shown.substr(0, shown.find('\n')),
              "1200 earlier bytes of the primary link were dropped from the record unseen; it goes on "
              "from the first whole frame");
    EXPECT_NE(shown.find("key 0x4A remote release\n"), std::string::npos);
}
