// SPDX-License-Identifier: MIT
// The answer rules of the ISP link, fed byte by byte from the micom's side
// while a process uses /dev/micom.  The micom runs its normal firmware here,
// so the bytes injected on the ISP link are the only ones coming back.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "micom_ioctl.h"
#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

/// A booted box with /dev/micom open.
struct OpenIsp {
    Box box;
    fp_priv_t* p = nullptr;
    long fd = -1;

    OpenIsp() {
        EXPECT_EQ(box.boot(), 0);
        p = priv(box);
        run([&] {
            fd = box.kernel().sys_open("/dev/micom");
            return 0;
        });
        EXPECT_GE(fd, 0);
    }
    ~OpenIsp() {
        run([&] { return int(box.kernel().sys_close(fd)); });
        EXPECT_TRUE(box.kernel().bugs().empty());
    }
    int run(std::function<int()> body) { return box.kernel().run_process("isp", std::move(body)); }

    // ---- from inside run() ----
    void send(unsigned cmd, int32_t block = 0) { EXPECT_EQ(box.kernel().sys_ioctl(fd, cmd, (unsigned long)&block), 0); }
    void write_byte(uint8_t b) { EXPECT_EQ(box.kernel().sys_write(fd, &b, 1), 1); }
    int status(unsigned cmd) {
        int32_t w = -1;
        EXPECT_EQ(box.kernel().sys_ioctl(fd, cmd, (unsigned long)&w), 0);
        return w;
    }
    /// The micom starts sending @bytes @after from now, back to back.
    void answer_later(std::vector<uint8_t> bytes, Nanos after = 1_ms) {
        box.machine().events().at(box.machine().now() + after, [this, bytes] {
            for (uint8_t c : bytes)
                box.soc().isp().micom_send(c);
        });
    }

    // ---- from the world ----
    /// The micom sends @bytes now; returns when they have arrived.
    void inject(const std::vector<uint8_t>& bytes) {
        for (uint8_t c : bytes)
            box.soc().isp().micom_send(c);
        box.machine().run_for(Nanos(bytes.size() + 2) * box.soc().isp().micom_format.char_time());
    }
    /// End of the @n-th byte (from 1) that the micom sent.
    Nanos micom_byte_end(size_t n) const {
        size_t k = 0;
        for (auto& w : const_cast<Box&>(box).soc().isp().log())
            if (w.dir == Direction::MicomToHost && ++k == n)
                return w.end;
        return 0;
    }
};

}  // namespace

TEST(IspRules, ChecksumAnswerWakesTheWaiterAtItsSeventhByte) {
    OpenIsp s;
    Nanos woke = 0;
    int st = 0;
    s.run([&] {
        s.send(MICOM_ISP_CHECKSUM);
        s.answer_later({0xB0, 0x1F, 0x00, 0xFF, 0x06, 0x34, 0x12});
        st = s.status(MICOM_ISP_CHECKSUM_STATUS);
        woke = s.box.machine().now();
        return 0;
    });
    EXPECT_EQ(st, 6);
    EXPECT_EQ(s.p->isp_checksum_value, 0x1234);
    EXPECT_GE(woke, s.micom_byte_end(7));
    EXPECT_LT(woke, s.micom_byte_end(7) + 50_us);
    EXPECT_EQ(s.p->isp_rx_count, 7);
    EXPECT_EQ(s.p->isp_event, 0);  // taken by the wait

    // bytes after the acknowledged answer are dropped
    s.inject({0x99});
    EXPECT_EQ(s.p->isp_rx_count, 7);
    EXPECT_EQ(s.p->isp_event, 0);
}

TEST(IspRules, RefusedChecksumKeepsTheValueAndTakesLaterBytesWithoutCompleting) {
    OpenIsp s;
    s.p->isp_checksum_value = 0x1234;
    Nanos woke = 0;
    int st = 0;
    s.run([&] {
        s.send(MICOM_ISP_CHECKSUM);
        s.answer_later({0xB0, 0x1F, 0x00, 0xFF, 0x15, 0x00, 0x00});
        st = s.status(MICOM_ISP_CHECKSUM_STATUS);
        woke = s.box.machine().now();
        return 0;
    });
    EXPECT_EQ(st, 1);
    EXPECT_EQ(s.p->isp_checksum_value, 0x1234);
    EXPECT_GE(woke, s.micom_byte_end(7));
    EXPECT_LT(woke, s.micom_byte_end(7) + 50_us);

    s.inject({0x06, 0x78, 0x56});
    EXPECT_EQ(s.p->isp_rx_count, 10);
    EXPECT_EQ(s.p->isp_checksum_state, 1);
    EXPECT_EQ(s.p->isp_event, 0);
    EXPECT_EQ(s.p->isp_checksum_value, 0x1234);
}

TEST(IspRules, FourByteCommandsCompleteAtTheFifthByteAndARefusalAtEveryByteAfter) {
    struct Case {
        unsigned send, status;
        uint8_t code;
        int32_t fp_priv_t::*word;
    };
    const Case cases[] = {
        {MICOM_ISP_CHIP_ERASE, MICOM_ISP_CHIP_ERASE_STATUS, 0x20, &fp_priv_t::isp_erase_state},
        {MICOM_ISP_ERASE_VERIFY, MICOM_ISP_ERASE_VERIFY_STATUS, 0x30, &fp_priv_t::isp_erase_verify_state},
        {MICOM_ISP_BLOCK_PROGRAM, MICOM_ISP_BLOCK_PROGRAM_STATUS, 0x40, &fp_priv_t::isp_program_state},
        {MICOM_ISP_BLOCK_VERIFY, MICOM_ISP_BLOCK_VERIFY_STATUS, 0x19, &fp_priv_t::isp_verify_state},
    };
    for (const Case& c : cases) {
        OpenIsp s;
        for (uint8_t answer : {uint8_t(0x06), uint8_t(0x15)}) {
            s.box.soc().isp().clear_log();
            Nanos woke = 0;
            int st = 0;
            s.run([&] {
                s.send(c.send, 0x1F);
                s.answer_later({c.code, 0x1F, 0x00, 0xFF, answer});
                st = s.status(c.status);
                woke = s.box.machine().now();
                return 0;
            });
            EXPECT_EQ(st, answer == 0x06 ? 6 : 1) << std::hex << int(c.code);
            EXPECT_GE(woke, s.micom_byte_end(5));
            EXPECT_LT(woke, s.micom_byte_end(5) + 50_us);
        }
        // the refused rule stays armed: every further byte completes it again
        for (int i = 0; i < 3; ++i) {
            s.inject({0x06});
            EXPECT_EQ(s.p->isp_event, 1) << std::hex << int(c.code);
            EXPECT_EQ(s.p->*c.word, 1);
            s.p->isp_event = 0;
        }
        EXPECT_EQ(s.p->isp_rx_count, 8);
    }
}

TEST(IspRules, OneByteWriteIsAnsweredByItsEchoAndStatus) {
    OpenIsp s;
    for (uint8_t answer : {uint8_t(0x06), uint8_t(0x15)}) {
        int st = 0;
        s.run([&] {
            s.write_byte(0x5A);
            s.answer_later({0x5A, answer}, 150_us);
            st = s.status(MICOM_ISP_BYTE_STATUS);
            return 0;
        });
        EXPECT_EQ(st, answer == 0x06 ? 6 : 1);
        EXPECT_EQ(s.p->isp_rx_count, 2);
    }
    // a refused byte does not complete again
    s.inject({0x06});
    EXPECT_EQ(s.p->isp_rx_count, 3);
    EXPECT_EQ(s.p->isp_event, 0);
    EXPECT_EQ(s.p->isp_byte_state, 1);
}

TEST(IspRules, SyncAnswerIsConsumedWhileAnotherRuleIsArmed) {
    OpenIsp s;
    s.run([&] {
        s.send(MICOM_ISP_SYNC);
        s.send(MICOM_ISP_CHIP_ERASE);
        return 0;
    });
    EXPECT_EQ(s.p->isp_sync_pending, 1);
    s.inject({0xAA});
    EXPECT_EQ(s.p->isp_sync_pending, 0);
    EXPECT_EQ(s.p->isp_rx_count, 0);
    EXPECT_EQ(s.p->isp_event, 0);
    // another byte while the sync is awaited is the armed rule's byte 0
    s.run([&] {
        s.send(MICOM_ISP_SYNC);
        return 0;
    });
    s.inject({0x55});
    EXPECT_EQ(s.p->isp_sync_pending, 1);
    EXPECT_EQ(s.p->isp_rx_count, 1);
    EXPECT_EQ(s.p->isp_rx_buf[0], 0x55);
    // once the sync came, a 0xAA is an answer byte like any other
    s.inject({0xAA, 0xAA});
    EXPECT_EQ(s.p->isp_sync_pending, 0);
    EXPECT_EQ(s.p->isp_rx_count, 2);
    EXPECT_EQ(s.p->isp_rx_buf[1], 0xAA);
    EXPECT_EQ(s.p->isp_erase_state, 1);
}

// The micom's bytes belong to the answer to the last command sent: a
// command left unanswered or refused before it does not take them.
TEST(IspRules, BytesGoToTheAnswerOfTheLastCommandSent) {
    OpenIsp s;
    int erase = 0, verify = 0, sum = 0;
    s.run([&] {
        s.send(MICOM_ISP_CHECKSUM);  // never answered
        s.send(MICOM_ISP_CHIP_ERASE);
        s.answer_later({0x20, 0x1F, 0x00, 0xFF, 0x15});
        erase = s.status(MICOM_ISP_CHIP_ERASE_STATUS);
        s.send(MICOM_ISP_ERASE_VERIFY);
        s.answer_later({0x30, 0x1F, 0x00, 0xFF, 0x06});
        verify = s.status(MICOM_ISP_ERASE_VERIFY_STATUS);
        sum = s.status(MICOM_ISP_CHECKSUM_STATUS);  // times out: nothing completes
        return 0;
    });
    EXPECT_EQ(erase, 1);
    EXPECT_EQ(verify, 6);
    EXPECT_EQ(sum, 1);
    EXPECT_EQ(s.p->isp_erase_state, 1);
    EXPECT_EQ(s.p->isp_checksum_state, 1);
    EXPECT_EQ(s.p->isp_checksum_value, 0);

    // a standard frame has no answer rule and leaves the last one armed
    s.run([&] {
        s.send(MICOM_ISP_BLOCK_PROGRAM, 2);
        s.send(MICOM_ISP_STD_RESET);
        return 0;
    });
    s.inject({0x40, 0x02, 0x00, 0xFF, 0x06});
    EXPECT_EQ(s.p->isp_program_state, 6);
    EXPECT_EQ(s.p->isp_std_reset_state, 1);
}

TEST(IspRules, BytesWithNoAnswerAwaitedAreDropped) {
    OpenIsp s;
    s.p->isp_rx_count = 0;
    s.inject({0x01, 0x06, 0x02});  // nothing armed since the open
    EXPECT_EQ(s.p->isp_rx_count, 0);
    EXPECT_EQ(s.p->isp_event, 0);

    // close and open again: the words are cleared, a rule armed before the open takes nothing
    s.run([&] {
        s.send(MICOM_ISP_CHIP_ERASE);
        s.box.kernel().sys_close(s.fd);
        s.fd = s.box.kernel().sys_open("/dev/micom");
        return 0;
    });
    s.inject({0x20, 0x1F, 0x00, 0xFF, 0x06});
    EXPECT_EQ(s.p->isp_erase_state, 0);
    EXPECT_EQ(s.p->isp_rx_count, 0);
    EXPECT_EQ(s.p->isp_event, 0);
}

TEST(IspRules, BytesPastAFullAnswerBufferAreDropped) {
    OpenIsp s;
    s.run([&] {
        s.send(MICOM_ISP_CHIP_ERASE);
        return 0;
    });
    std::vector<uint8_t> stream = {0x20, 0x1F, 0x00, 0xFF, 0x15};
    while (stream.size() < 600)
        stream.push_back(uint8_t(stream.size()));
    s.inject(std::vector<uint8_t>(stream.begin(), stream.begin() + 512));
    EXPECT_EQ(s.p->isp_rx_count, 512);
    EXPECT_EQ(s.p->isp_rx_buf[511], stream[511]);
    s.p->isp_event = 0;
    s.inject(std::vector<uint8_t>(stream.begin() + 512, stream.end()));
    EXPECT_EQ(s.p->isp_rx_count, 512);  // not written past the buffer
    EXPECT_EQ(s.p->isp_event, 0);       // and nothing completed
    EXPECT_EQ(s.p->isp_erase_state, 1);
    EXPECT_EQ(s.p->isp_rx_buf[511], stream[511]);

    // a new arming starts counting from byte 0 again
    s.run([&] {
        s.send(MICOM_ISP_ERASE_VERIFY);
        return 0;
    });
    s.inject({0x30, 0x1F, 0x00, 0xFF, 0x06});
    EXPECT_EQ(s.p->isp_erase_verify_state, 6);
    EXPECT_EQ(s.p->isp_rx_count, 5);
}
