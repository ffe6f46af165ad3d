// SPDX-License-Identifier: MIT
// The flash programmer on the ISP link, reached through the hand-over frame.
#include <gtest/gtest.h>

#include <array>

#include "fake_env.h"

namespace micom::test {
namespace {

constexpr Link P = Link::Primary;
constexpr Link I = Link::Isp;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t NAK = 0x15;

using Flash = std::array<uint8_t, 8192>;

class FlashProgrammer : public ::testing::Test {
protected:
    FakeEnv env;
    MicomConfig cfg;
    MicomModel m{env, cfg};

    void SetUp() override {
        env.host_send(m, P, {0xAA, 0x20, 0x42, 0x0F, 0x00, 0x6D});
        env.run();
        ASSERT_EQ(m.mode(), Mode::Programmer);
    }

    // Sends @bytes on the ISP link and returns everything the micom answers.
    std::vector<uint8_t> isp(const std::vector<uint8_t>& bytes) {
        const size_t before = env.count(I);
        env.host_send(m, I, bytes);
        env.run();
        return env.bytes(I, before);
    }
    std::vector<uint8_t> cmd(uint8_t code, uint8_t block = 0x1F) { return isp({code, block, 0x00, 0xFF}); }
    static std::vector<uint8_t> echo_then(uint8_t code, uint8_t block, std::vector<uint8_t> tail) {
        std::vector<uint8_t> v{code, block, 0x00, 0xFF};
        v.insert(v.end(), tail.begin(), tail.end());
        return v;
    }

    // Block programming as the host does it: command, then one byte at a time.
    // Returns the statuses: the command's, then each byte's.
    std::vector<uint8_t> program_block(uint8_t block, const uint8_t* data) {
        std::vector<uint8_t> statuses;
        const auto a = cmd(0x40, block);
        statuses.push_back(a.size() == 5 ? a[4] : 0);
        for (size_t i = 0; i < 256; ++i) {
            const auto r = isp({data[i]});
            EXPECT_EQ(r.size(), 2u);
            EXPECT_EQ(r[0], data[i]);  // echo first
            statuses.push_back(r.size() == 2 ? r[1] : 0);
        }
        return statuses;
    }
    uint8_t verify(uint8_t block) { return cmd(0x19, block).at(4); }

    static Flash pattern(unsigned seed) {
        Flash f;
        for (size_t i = 0; i < f.size(); ++i) f[i] = static_cast<uint8_t>((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
        return f;
    }
};

TEST(FlashChecksum, SameValuesAsTheImageFile) {
    Flash image{};
    EXPECT_EQ(flash_checksum(image.data(), image.size()), 0x0000);
    image[0] = 'a';
    image[1] = 'b';
    image[2] = 'c';
    EXPECT_EQ(flash_checksum(image.data(), image.size()), 0x0129);
}

TEST_F(FlashProgrammer, WholeSessionLeavesTheImageInFlash) {
    const Flash image = pattern(1);
    m.set_flash(pattern(2));

    EXPECT_EQ(isp({0xAA}), (std::vector<uint8_t>{0xAA}));  // sync answered once, not echoed twice
    const uint16_t old_sum = m.flash_checksum();
    EXPECT_EQ(cmd(0xB0), echo_then(0xB0, 0x1F, {ACK, static_cast<uint8_t>(old_sum & 0xFF),
                                                static_cast<uint8_t>(old_sum >> 8)}));

    const Nanos erase_start = env.now();
    EXPECT_EQ(cmd(0x20), echo_then(0x20, 0x1F, {ACK}));
    const auto status = env.sent_on(I).back();
    EXPECT_GE(status.start - erase_start, cfg.erase_time);
    EXPECT_EQ(cmd(0x30), echo_then(0x30, 0x1F, {ACK}));

    for (uint8_t b = 0; b < 32; ++b) {
        const auto st = program_block(b, &image[b * 256]);
        EXPECT_EQ(std::count(st.begin(), st.end(), ACK), 257) << "block " << int(b);
        EXPECT_EQ(verify(b), ACK) << "block " << int(b);
    }
    EXPECT_EQ(m.flash(), image);
    const uint16_t sum = flash_checksum(image.data(), image.size());
    EXPECT_EQ(cmd(0xB0), echo_then(0xB0, 0x1F, {ACK, static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)}));
    EXPECT_EQ(m.flash_checksum(), sum);
    EXPECT_TRUE(m.frames().size() == 1);  // only the hand-over: nothing read as a frame since
}

TEST_F(FlashProgrammer, NorSemanticsAndBlockVerify) {
    Flash image = pattern(3);
    // Nothing programmed since the last erase: verify fails even on an erased chip.
    Flash blank;
    blank.fill(0xFF);
    m.set_flash(blank);
    EXPECT_EQ(verify(0), NAK);

    // Programming over unerased flash clears bits only and fails verify.
    Flash old = pattern(4);
    m.set_flash(old);
    program_block(1, &image[256]);
    for (size_t i = 256; i < 512; ++i) ASSERT_EQ(m.flash()[i], old[i] & image[i]);
    EXPECT_EQ(m.flash()[0], old[0]);  // other blocks untouched
    EXPECT_EQ(verify(1), NAK);

    // After an erase: a block verifies only when all 256 bytes were programmed.
    cmd(0x20);
    EXPECT_EQ(cmd(0x30).at(4), ACK);
    program_block(2, &image[512]);
    EXPECT_EQ(verify(2), ACK);
    EXPECT_EQ(verify(3), NAK);
    EXPECT_EQ(cmd(0x30).at(4), NAK);  // no longer blank

    // A block cut short (the host stops after 100 bytes, the micom is power
    // cycled) does not verify; the bytes programmed stay.
    cmd(0x40, 4);
    for (size_t i = 0; i < 100; ++i) isp({image[1024 + i]});
    // Still taking data bytes: this "command" is four more data bytes.
    EXPECT_EQ(isp({0x19, 0x04, 0x00, 0xFF}).size(), 8u);
    m.set_pin(Pin::PowerN, true);
    m.set_pin(Pin::PowerN, false);
    env.host_send(m, P, {0xAA, 0x20, 0x42, 0x0F, 0x00, 0x6D});
    env.run();
    ASSERT_EQ(m.mode(), Mode::Programmer);
    EXPECT_EQ(verify(4), NAK);
    EXPECT_EQ(m.flash()[1024 + 99], image[1024 + 99]);
    EXPECT_EQ(m.flash()[1024 + 100], 0x19);
    EXPECT_EQ(m.flash()[1024 + 104], 0xFF);
    // ... and the erased-and-rewritten-with-the-same-data case verifies.
    cmd(0x20);
    program_block(5, &image[1280]);
    program_block(5, &image[1280]);  // the same data twice: nothing changes
    EXPECT_EQ(verify(5), ACK);
}

TEST_F(FlashProgrammer, RefusedStepsAnswerNakButStillEcho) {
    const Flash image = pattern(5);
    m.set_nak(IspStep::Checksum, true);
    EXPECT_EQ(cmd(0xB0), echo_then(0xB0, 0x1F, {NAK, 0x00, 0x00}));  // the host counts 7 bytes
    m.set_nak(IspStep::Erase, true);
    m.set_flash(image);
    EXPECT_EQ(cmd(0x20), echo_then(0x20, 0x1F, {NAK}));
    EXPECT_EQ(m.flash(), image);  // not erased
    m.set_nak(IspStep::Erase, false);
    EXPECT_EQ(cmd(0x20).at(4), ACK);
    m.set_nak(IspStep::EraseVerify, true);
    EXPECT_EQ(cmd(0x30).at(4), NAK);

    // A refused block takes its 256 bytes, each echoed and refused, and programs none.
    m.set_nak(IspStep::BlockProgram, true);
    auto st = program_block(0, &image[0]);
    EXPECT_EQ(std::count(st.begin(), st.end(), NAK), 257);
    EXPECT_EQ(m.flash()[0], 0xFF);
    m.set_nak(IspStep::BlockProgram, false);

    // Refused bytes are not programmed; the next block still works.
    m.set_nak(IspStep::Byte, true);
    st = program_block(1, &image[256]);
    EXPECT_EQ(st[0], ACK);
    EXPECT_EQ(std::count(st.begin(), st.end(), NAK), 256);
    EXPECT_EQ(verify(1), NAK);
    m.set_nak(IspStep::Byte, false);
    st = program_block(2, &image[512]);
    EXPECT_EQ(std::count(st.begin(), st.end(), ACK), 257);
    EXPECT_EQ(verify(2), ACK);
    m.set_nak(IspStep::BlockVerify, true);
    EXPECT_EQ(verify(2), NAK);
}

TEST_F(FlashProgrammer, UnknownMalformedAndOutOfRangeCommands) {
    EXPECT_EQ(isp({0x77, 0x00, 0x00, 0xFF}), (std::vector<uint8_t>{0x77, 0x00, 0x00, 0xFF, NAK}));
    EXPECT_EQ(isp({0xB0, 0x1F, 0x01, 0xFF}), (std::vector<uint8_t>{0xB0, 0x1F, 0x01, 0xFF, NAK}));
    EXPECT_EQ(verify(32), NAK);
    // Block 32 does not exist: its data bytes are taken and refused.
    const Flash image = pattern(6);
    auto st = program_block(0x20, &image[0]);
    EXPECT_EQ(std::count(st.begin(), st.end(), NAK), 257);
    // Back in step: a sync and a checksum work.
    EXPECT_EQ(isp({0xAA}), (std::vector<uint8_t>{0xAA}));
    EXPECT_EQ(cmd(0xB0).at(4), ACK);
    // Bytes with a parity error are ignored altogether.
    env.host_send(m, I, {0xB0, 0x1F, 0x00, 0xFF}, 0, false);
    env.run();
    EXPECT_EQ(isp({0xAA}), (std::vector<uint8_t>{0xAA}));
}

TEST_F(FlashProgrammer, BytesArrivingWhileBusyAreLost) {
    env.host_send(m, I, {0x20, 0x1F, 0x00, 0xFF});
    env.run_for(4 * env.char_time(I) + kMs);  // erasing
    const size_t before = env.count(I);
    env.host_send(m, I, {0x30, 0x1F, 0x00, 0xFF});
    env.run();
    EXPECT_EQ(env.bytes(I, before), (std::vector<uint8_t>{ACK}));  // only the erase status
}

TEST_F(FlashProgrammer, NormalFramesAreNotAnsweredInProgrammingMode) {
    env.host_send(m, P, host_frame(0xA, {0x0A, 0x0A}));
    env.run();
    EXPECT_EQ(env.count(P), 0u);
    m.press_key(0x49, 100 * kMs);
    env.run();
    EXPECT_EQ(env.count(P), 0u);
}

TEST_F(FlashProgrammer, PowerLossDuringEraseOrProgrammingKeepsWhatWasDone) {
    const Flash image = pattern(7);
    m.set_flash(image);
    env.host_send(m, I, {0x20, 0x1F, 0x00, 0xFF});
    env.run_for(4 * env.char_time(I) + cfg.erase_time / 2);
    const size_t sent = env.count(I);
    m.power_loss();
    env.run();
    EXPECT_EQ(m.mode(), Mode::Off);
    EXPECT_EQ(env.count(I), sent);  // no status after the loss
    EXPECT_EQ(m.flash(), image);

    // Power stays off until the SoC switches it off and on again.
    m.set_pin(Pin::PowerN, false);
    EXPECT_EQ(m.mode(), Mode::Off);
    m.set_pin(Pin::PowerN, true);
    m.set_pin(Pin::PowerN, false);
    EXPECT_EQ(m.mode(), Mode::Normal);
    env.host_send(m, P, host_frame(0xD, {0x0D, 0x0D}));
    env.run();
    EXPECT_EQ(env.count(P), 12u);
    EXPECT_EQ(m.flash(), image);
}

TEST(FlashProgrammerIdle, NothingOnTheIspLinkOutsideProgrammingMode) {
    FakeEnv env;
    MicomModel m{env};
    env.host_send(m, Link::Isp, {0xAA, 0xB0, 0x1F, 0x00, 0xFF, 0x20, 0x1F, 0x00, 0xFF});
    env.run();
    EXPECT_EQ(env.count(Link::Isp), 0u);
    EXPECT_EQ(m.mode(), Mode::Normal);
}

}  // namespace
}  // namespace micom::test
