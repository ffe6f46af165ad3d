// SPDX-License-Identifier: MIT
// /dev/micom on the simulated box, driven as user programs drive it: open,
// ioctl, write and close from a process, /proc/enableisp for the hand-over;
// the answer rules fed byte by byte from the micom's side of the ISP link;
// whole programming sessions against the micom's flash programmer.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "micom_ioctl.h"
#include "sim_helpers.h"

using namespace sim;
using namespace simtest;

namespace {

constexpr uint32_t kUart0 = FP_UART_BASE, kUart1 = FP_UART_ALT_BASE;
constexpr uint32_t kIer = 0x08, kFcr = 0x10, kLcr = 0x14;

/// A booted box and the driver state of its module.
struct IspBox {
    Box box;
    fp_priv_t* p = nullptr;

    explicit IspBox(BoxConfig cfg = {}) : box(cfg) {
        EXPECT_EQ(box.boot(), 0);
        p = priv(box);
    }
    int in_process(std::function<int()> body) { return box.kernel().run_process("micomflash", std::move(body)); }
    long open() {
        long fd = 0;
        in_process([&] {
            fd = box.kernel().sys_open("/dev/micom");
            return 0;
        });
        return fd;
    }
    void close(long fd) {
        in_process([&] { return int(box.kernel().sys_close(fd)); });
    }
    /// The normal firmware hands over to its flash programmer (device closed).
    void handover() {
        EXPECT_EQ(box.kernel().proc_write("enableisp", "1\n"), 2);
        box.machine().run_for(5_ms);
        EXPECT_EQ(box.micom().mode(), micom::Mode::Programmer);
    }
};

/// The calling process sleeps for @d of virtual time.
void pause(Box& box, Nanos d) { box.machine().sleep(false, box.machine().now() + d); }

/// A status operation (in a process): the word it wrote, or -1000 - error.
int status(Box& box, long fd, unsigned cmd) {
    int32_t w = -1;
    const long r = box.kernel().sys_ioctl(fd, cmd, (unsigned long)&w);
    return r == 0 ? w : int(-1000 + r);
}
/// Same, for the operations that do not wait.
int status_now(Box& box, long fd, unsigned cmd) {
    const Nanos t0 = box.machine().now();
    const int w = status(box, fd, cmd);
    EXPECT_LT(box.machine().now() - t0, 100_us) << "operation waited";
    return w;
}

/// The micom side sends @bytes on the ISP link (from the world), and they arrive.
void inject(Box& box, const std::vector<uint8_t>& bytes) {
    for (uint8_t c : bytes)
        box.soc().isp().micom_send(c);
    box.machine().run_for(Nanos(bytes.size() + 2) * box.soc().isp().micom_format.char_time());
}

struct SessionResult {
    int sync = -1, sum1 = -1, sum1_value = -1, erase = -1, erase_verify = -1;
    std::array<int, 32> program{}, verify{};
    std::vector<int> bytes = std::vector<int>(8192, -1);
    int sum2 = -1, sum2_value = -1;
    int micom_link_errors = 0;
};

struct Hooks {
    std::function<void(int block)> before_block;
    std::function<void(int block, int index)> before_byte;
};

/// What micomflash does (build with hand-over), through the device.
SessionResult run_session(IspBox& b, const std::array<uint8_t, 8192>& image, const Hooks& hooks = {}) {
    Box& box = b.box;
    SessionResult r;
    b.in_process([&] {
        const long pfd = box.kernel().sys_open("/proc/enableisp");
        EXPECT_EQ(box.kernel().sys_write(pfd, "1\n", 2), 2);
        box.kernel().sys_close(pfd);
        pause(box, 5_ms);
        const long fd = box.kernel().sys_open("/dev/micom");
        EXPECT_GE(fd, 0);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_SYNC, 0), 0);
        pause(box, 1_ms);
        r.sync = status(box, fd, MICOM_ISP_GET_SYNC);

        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM, 0), 0);
        r.sum1 = status(box, fd, MICOM_ISP_CHECKSUM_STATUS);
        r.sum1_value = status(box, fd, MICOM_ISP_CHECKSUM_VALUE);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHIP_ERASE, 0), 0);
        r.erase = status(box, fd, MICOM_ISP_CHIP_ERASE_STATUS);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_ERASE_VERIFY, 0), 0);
        r.erase_verify = status(box, fd, MICOM_ISP_ERASE_VERIFY_STATUS);

        for (int32_t blk = 0; blk < 32; ++blk) {
            if (hooks.before_block)
                hooks.before_block(blk);
            EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_BLOCK_PROGRAM, (unsigned long)&blk), 0);
            r.program[blk] = status(box, fd, MICOM_ISP_BLOCK_PROGRAM_STATUS);
            for (int i = 0; i < 256; ++i) {
                if (hooks.before_byte)
                    hooks.before_byte(blk, i);
                EXPECT_EQ(box.kernel().sys_write(fd, &image[blk * 256 + i], 1), 1);
                pause(box, 150_us);
                r.bytes[blk * 256 + i] = status(box, fd, MICOM_ISP_BYTE_STATUS);
            }
            EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_BLOCK_VERIFY, (unsigned long)&blk), 0);
            r.verify[blk] = status(box, fd, MICOM_ISP_BLOCK_VERIFY_STATUS);
        }

        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM, 0), 0);
        r.sum2 = status(box, fd, MICOM_ISP_CHECKSUM_STATUS);
        r.sum2_value = status(box, fd, MICOM_ISP_CHECKSUM_VALUE);
        EXPECT_EQ(box.kernel().sys_close(fd), 0);
        return 0;
    });
    for (auto& w : box.soc().isp().log())
        r.micom_link_errors += w.error;
    return r;
}

}  // namespace

// ---------------------------------------------------------------- opening and closing

TEST(IspDevice, OpenSetsTheIspLineAndSwitchesTheReceiveInterrupts) {
    IspBox b;
    Box& box = b.box;
    box.soc().clear_reg_writes();
    const long fd = b.open();
    ASSERT_GE(fd, 0);

    const std::vector<std::pair<uint32_t, uint32_t>> at_open = {
        {kUart0 + kIer, 0x00}, {kUart1 + kLcr, 0x1B}, {kUart1 + kFcr, 0x06},
        {kUart1 + kFcr, 0x01}, {kUart1 + kIer, 0x01},
    };
    EXPECT_EQ(config_writes(box), at_open);
    EXPECT_TRUE(box.machine().irq_installed(FP_ISP_IRQ));
    EXPECT_EQ(b.p->isp_mode, 1);

    // the micom's normal frames are not received while the device is open
    box.micom().press_key(0x49, 20_ms);
    box.machine().run_for(200_ms);
    EXPECT_TRUE(box.kernel().input().registered()[0]->received().empty());

    // bytes on the ISP link reach the answer rules (a one-byte write answered)
    b.in_process([&] {
        const uint8_t d = 0x5A;
        EXPECT_EQ(box.kernel().sys_write(fd, &d, 1), 1);
        return 0;
    });
    inject(box, {0x5A, 0x06});
    EXPECT_EQ(b.p->isp_byte_state, 6);

    box.soc().clear_reg_writes();
    b.close(fd);
    const std::vector<std::pair<uint32_t, uint32_t>> at_close = {
        {kUart1 + kIer, 0x00}, {kUart0 + kIer, 0x01},
    };
    EXPECT_EQ(config_writes(box), at_close);
    EXPECT_FALSE(box.machine().irq_installed(FP_ISP_IRQ));
    EXPECT_EQ(b.p->isp_mode, 0);
    // what was received stays; closing clears nothing
    EXPECT_EQ(b.p->isp_byte_state, 6);

    // closed: bytes on the ISP link are no longer read, even for an armed rule
    b.p->isp_byte_state = 1;
    b.p->isp_rx_count = 0;
    inject(box, {0x5A, 0x06});
    EXPECT_EQ(b.p->isp_rx_count, 0);
    EXPECT_EQ(b.p->isp_byte_state, 1);
    EXPECT_TRUE(box.kernel().bugs().empty());
}

TEST(IspDevice, OpenClearsTheCommandWordsAndNothingElse) {
    IspBox b;
    fp_priv_t* p = b.p;
    p->isp_sync_pending = 1;
    p->isp_checksum_state = p->isp_erase_state = p->isp_erase_verify_state = 6;
    p->isp_program_state = p->isp_byte_state = p->isp_verify_state = 1;
    p->isp_checksum_value = 0x1234;
    p->isp_event = 1;
    p->isp_rx_count = 3;
    p->isp_std_reset_state = p->isp_std_freq_state = p->isp_std_checksum_state = 1;
    p->isp_std_erase_state = p->isp_std_program_state = 1;
    const long fd = b.open();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(p->isp_sync_pending, 0);
    for (int32_t w : {p->isp_checksum_state, p->isp_erase_state, p->isp_erase_verify_state, p->isp_program_state,
                      p->isp_byte_state, p->isp_verify_state})
        EXPECT_EQ(w, 0);
    EXPECT_EQ(p->isp_checksum_value, 0x1234);
    EXPECT_EQ(p->isp_rx_count, 3);
    for (int32_t w : {p->isp_std_reset_state, p->isp_std_freq_state, p->isp_std_checksum_state,
                      p->isp_std_erase_state, p->isp_std_program_state})
        EXPECT_EQ(w, 1);

    // an answer completed before the open ends the first wait at once
    EXPECT_EQ(p->isp_event, 1);
    b.in_process([&] {
        const Nanos t0 = b.box.machine().now();
        EXPECT_EQ(status(b.box, fd, MICOM_ISP_CHIP_ERASE_STATUS), 0);
        EXPECT_LT(b.box.machine().now() - t0, 1_ms);
        return 0;
    });
    EXPECT_EQ(p->isp_event, 0);
    b.close(fd);
}

TEST(IspDevice, SecondOpenIsBusyAndLeavesTheFirstSessionAlone) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();
    ASSERT_GE(fd, 0);
    box.soc().clear_reg_writes();
    const size_t log_before = box.kernel().log().lines().size();
    long second = 0;
    b.in_process([&] {
        second = box.kernel().sys_open("/dev/micom");
        return 0;
    });
    EXPECT_EQ(second, -16);
    EXPECT_TRUE(config_writes(box).empty());  // no register touched by the refused open
    EXPECT_EQ(box.kernel().log().lines().size(), log_before);
    EXPECT_EQ(b.p->isp_mode, 1);
    EXPECT_TRUE(box.machine().irq_installed(FP_ISP_IRQ));

    // the first session still works: a one-byte write is answered
    b.in_process([&] {
        const uint8_t d = 0x33;
        EXPECT_EQ(box.kernel().sys_write(fd, &d, 1), 1);
        box.soc().isp().micom_send(0x33);
        box.soc().isp().micom_send(0x06);
        EXPECT_EQ(status(box, fd, MICOM_ISP_BYTE_STATUS), 6);
        return 0;
    });

    // the module is held by the open file, and only by it
    EXPECT_EQ(box.kernel().unload_module(), -16);
    EXPECT_TRUE(box.kernel().module_loaded());
    b.close(fd);
    EXPECT_FALSE(box.machine().irq_installed(FP_ISP_IRQ));
    EXPECT_TRUE(box.kernel().bugs().empty());  // interrupt 71 freed once
    const long again = b.open();
    EXPECT_GE(again, 0);
    b.close(again);
    EXPECT_EQ(box.kernel().unload_module(), 0);
    EXPECT_TRUE(box.kernel().leftovers().empty());
    EXPECT_TRUE(box.kernel().bugs().empty());
}

static int other_isr(int, void*) { return 0; }

TEST(IspDevice, OpenWithoutInterrupt71SucceedsAndEveryAwaitTimesOut) {
    IspBox b;
    Box& box = b.box;
    int other_cookie = 0;
    ASSERT_EQ(box.machine().request_irq(71, other_isr, &other_cookie, "other"), 0);
    b.handover();
    box.soc().clear_reg_writes();
    const size_t log_before = box.kernel().log().lines().size();
    const long fd = b.open();
    ASSERT_GE(fd, 0);
    auto msgs = log_messages(box, log_before);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0], "fp_micom: cannot register IRQ 11");
    for (auto& [addr, value] : config_writes(box))
        EXPECT_FALSE(addr == kUart1 + kIer && value != 0) << "the ISP link's interrupt was switched on";

    b.in_process([&] {
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_SYNC, 0), 0);
        pause(box, 2_ms);
        EXPECT_EQ(status_now(box, fd, MICOM_ISP_GET_SYNC), 1);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM, 0), 0);
        const Nanos t0 = box.machine().now();
        EXPECT_EQ(status(box, fd, MICOM_ISP_CHECKSUM_STATUS), 1);
        EXPECT_GT(box.machine().now() - t0, 199 * 10_ms);
        return 0;
    });
    // the micom did answer; nobody read it
    EXPECT_FALSE(wire_bytes(box.soc().isp(), Direction::MicomToHost).empty());

    b.close(fd);
    // the line still belongs to the other driver
    EXPECT_TRUE(box.machine().irq_installed(FP_ISP_IRQ));
    EXPECT_TRUE(box.kernel().bugs().empty());
    EXPECT_TRUE(box.machine().free_irq(71, &other_cookie));
}

// ---------------------------------------------------------------- the ioctls

TEST(IspDevice, UnknownIoctlNumbersReturnZeroAndChangeNothing) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();
    b.p->isp_byte_state = 1;
    b.p->isp_checksum_value = 0x4321;
    std::vector<uint8_t> before(sizeof(fp_priv_t));
    std::memcpy(before.data(), b.p, before.size());
    box.soc().isp().clear_log();
    box.soc().primary().clear_log();
    box.soc().clear_reg_writes();
    int word = 77;
    b.in_process([&] {
        for (unsigned cmd : {0x20006F00u, 0x20006F1Cu, 0x40046F00u, 0x40046F1Cu, 0x80046F1Cu, 0x40046F01u,
                             0x20006F04u, 0x20007001u, 0x00006F01u})
            EXPECT_EQ(box.kernel().sys_ioctl(fd, cmd, (unsigned long)&word), 0) << std::hex << cmd;
        return 0;
    });
    EXPECT_EQ(word, 77);
    EXPECT_EQ(std::memcmp(before.data(), b.p, before.size()), 0);
    EXPECT_TRUE(box.soc().isp().log().empty());
    EXPECT_TRUE(box.soc().primary().log().empty());
    EXPECT_TRUE(box.soc().reg_writes().empty());
    b.close(fd);
}

TEST(IspDevice, FourByteCommandsOnTheWire) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();
    b.in_process([&] {
        struct Case {
            unsigned cmd;
            int32_t arg;
            const char* bytes;
            int32_t fp_priv_t::*word;
        };
        const Case cases[] = {
            {MICOM_ISP_CHECKSUM, 0, "B0 1F 00 FF", &fp_priv_t::isp_checksum_state},
            {MICOM_ISP_CHIP_ERASE, 0, "20 1F 00 FF", &fp_priv_t::isp_erase_state},
            {MICOM_ISP_ERASE_VERIFY, 0, "30 1F 00 FF", &fp_priv_t::isp_erase_verify_state},
            {MICOM_ISP_BLOCK_PROGRAM, 0x123, "40 23 00 FF", &fp_priv_t::isp_program_state},
            {MICOM_ISP_BLOCK_VERIFY, 0x123, "19 23 00 FF", &fp_priv_t::isp_verify_state},
            {MICOM_ISP_BLOCK_PROGRAM, -1, "40 FF 00 FF", &fp_priv_t::isp_program_state},
            {MICOM_ISP_BLOCK_VERIFY, 31, "19 1F 00 FF", &fp_priv_t::isp_verify_state},
        };
        for (const Case& c : cases) {
            box.soc().isp().clear_log();
            b.p->*c.word = 0;
            b.p->isp_rx_count = 9;
            int32_t arg = c.arg;
            EXPECT_EQ(box.kernel().sys_ioctl(fd, c.cmd, (unsigned long)&arg), 0);
            pause(box, 1_ms);
            EXPECT_EQ(hex(host_bytes(box.soc().isp())), c.bytes);
            EXPECT_EQ(b.p->*c.word, 1);
            EXPECT_EQ(b.p->isp_rx_count, 0);
        }
        // a block number that cannot be read: nothing sent, nothing armed
        for (unsigned cmd : {MICOM_ISP_BLOCK_PROGRAM, MICOM_ISP_BLOCK_VERIFY}) {
            box.soc().isp().clear_log();
            b.p->isp_program_state = b.p->isp_verify_state = 0;
            b.p->isp_rx_count = 9;
            EXPECT_EQ(box.kernel().sys_ioctl(fd, cmd, 0), -14);
            pause(box, 1_ms);
            EXPECT_TRUE(box.soc().isp().log().empty());
            EXPECT_EQ(b.p->isp_program_state, 0);
            EXPECT_EQ(b.p->isp_verify_state, 0);
            EXPECT_EQ(b.p->isp_rx_count, 9);
        }
        return 0;
    });
    // nothing of it went to the primary UART
    EXPECT_EQ(b.p->isp_mode, 1);
    b.close(fd);
}

TEST(IspDevice, WritesOfZero512And513Bytes) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();
    std::vector<uint8_t> data(513);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 7 + 3);
    b.in_process([&] {
        // zero bytes: armed, count cleared, nothing sent
        b.p->isp_rx_count = 5;
        box.soc().isp().clear_log();
        EXPECT_EQ(box.kernel().sys_write(fd, data.data(), 0), 0);
        pause(box, 1_ms);
        EXPECT_EQ(b.p->isp_byte_state, 1);
        EXPECT_EQ(b.p->isp_rx_count, 0);
        EXPECT_TRUE(box.soc().isp().log().empty());

        // 513 bytes, and an unreadable buffer: refused, nothing sent, nothing armed
        b.p->isp_byte_state = 0;
        b.p->isp_rx_count = 5;
        EXPECT_EQ(box.kernel().sys_write(fd, data.data(), 513), -14);
        EXPECT_EQ(box.kernel().sys_write(fd, nullptr, 1), -14);
        pause(box, 1_ms);
        EXPECT_TRUE(box.soc().isp().log().empty());
        EXPECT_EQ(b.p->isp_byte_state, 0);
        EXPECT_EQ(b.p->isp_rx_count, 5);

        // 512 bytes: all of them, in order, back to back
        EXPECT_EQ(box.kernel().sys_write(fd, data.data(), 512), 512);
        pause(box, 100_ms);
        EXPECT_EQ(host_bytes(box.soc().isp()), std::vector<uint8_t>(data.begin(), data.begin() + 512));
        EXPECT_EQ(b.p->isp_byte_state, 1);
        return 0;
    });
    const auto& log = box.soc().isp().log();
    const Nanos ch = box.soc().isp().micom_format.char_time();
    for (size_t i = 1; i < log.size(); ++i)
        ASSERT_EQ(log[i].start - log[i - 1].start, ch) << "byte " << i;
    for (auto& w : log)
        EXPECT_FALSE(w.error);
    b.close(fd);
}

TEST(IspDevice, SyncIsReportedOnlyOnceTheMicomAnswered) {
    IspBox b;
    Box& box = b.box;
    b.handover();
    const long fd = b.open();
    b.in_process([&] {
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_SYNC, 0), 0);
        EXPECT_EQ(status_now(box, fd, MICOM_ISP_GET_SYNC), 1);  // nothing came back yet
        pause(box, 1_ms);
        EXPECT_EQ(status_now(box, fd, MICOM_ISP_GET_SYNC), 0);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_GET_SYNC, 0), -14);
        return 0;
    });
    EXPECT_EQ(hex(host_bytes(box.soc().isp())), "AA");
    EXPECT_EQ(hex(wire_bytes(box.soc().isp(), Direction::MicomToHost)), "AA");
    EXPECT_EQ(b.p->isp_rx_count, 0);  // the sync's answer is no answer byte
    b.close(fd);
}

TEST(IspDevice, ChecksumValueIsThatOfTheLastAcknowledgedAnswer) {
    IspBox b;
    Box& box = b.box;
    std::array<uint8_t, 8192> content;
    std::mt19937 rng(5);
    for (auto& c : content)
        c = uint8_t(rng());
    box.micom().set_flash(content);
    const uint16_t expected = micom::flash_checksum(content.data(), content.size());
    ASSERT_NE(expected, 0);
    b.handover();
    const long fd = b.open();
    b.in_process([&] {
        EXPECT_EQ(status_now(box, fd, MICOM_ISP_CHECKSUM_VALUE), 0);  // none since load
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM, 0), 0);
        EXPECT_EQ(status(box, fd, MICOM_ISP_CHECKSUM_STATUS), 6);
        EXPECT_EQ(status_now(box, fd, MICOM_ISP_CHECKSUM_VALUE), expected);

        // refused: the word reads 1, the value stays
        box.micom().set_nak(micom::IspStep::Checksum, true);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM, 0), 0);
        const Nanos t0 = box.machine().now();
        EXPECT_EQ(status(box, fd, MICOM_ISP_CHECKSUM_STATUS), 1);
        EXPECT_LT(box.machine().now() - t0, 5_ms);  // woken by the answer, not by the time-out
        EXPECT_EQ(status_now(box, fd, MICOM_ISP_CHECKSUM_VALUE), expected);

        // the words of the standard frames are never filled
        EXPECT_EQ(status_now(box, fd, MICOM_ISP_STD_CHECKSUM_VALUE), 0);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM_VALUE, 0), -14);
        return 0;
    });
    b.close(fd);
    // the value survives close and open
    const long again = b.open();
    b.in_process([&] {
        EXPECT_EQ(status_now(box, again, MICOM_ISP_CHECKSUM_VALUE), expected);
        return 0;
    });
    b.close(again);
}

// The standard frames have no answer rule: their status operations wait out
// their whole time-out (200 ticks; 400 for the checksum) and read 1.
TEST(IspDevice, StandardFramesAreSentAndTheirStatusTimesOut) {
    IspBox b;
    Box& box = b.box;
    b.handover();  // the micom's programmer takes them for garbage and answers; no rule is armed
    const long fd = b.open();
    const Nanos tick = box.machine().tick_ns();
    struct Case {
        unsigned send, status;
        const char* bytes;
        long ticks;
    };
    const Case cases[] = {
        {MICOM_ISP_STD_RESET, MICOM_ISP_STD_RESET_STATUS, "01 01 00 FF 03", 200},
        {MICOM_ISP_STD_FREQ_SET, MICOM_ISP_STD_FREQ_SET_STATUS, "01 05 90 02 00 00 05 64 03", 200},
        {MICOM_ISP_STD_CHECKSUM, MICOM_ISP_STD_CHECKSUM_STATUS, "01 07 B0 00 00 00 00 3F FF 0B 03", 400},
        {MICOM_ISP_STD_CHIP_ERASE, MICOM_ISP_STD_CHIP_ERASE_STATUS, "01 01 20 DF 03", 200},
        {MICOM_ISP_STD_PROGRAM, MICOM_ISP_STD_PROGRAM_STATUS, "01 07 40 00 00 00 00 3F FF 7B 03", 200},
    };
    b.in_process([&] {
        for (const Case& c : cases) {
            box.soc().isp().clear_log();
            EXPECT_EQ(box.kernel().sys_ioctl(fd, c.send, 0), 0);
            const Nanos t0 = box.machine().now();
            EXPECT_EQ(status(box, fd, c.status), 1) << c.bytes;
            const Nanos waited = box.machine().now() - t0;
            // a time-out of n ticks ends at the n-th tick boundary from now
            EXPECT_GT(waited, Nanos(c.ticks - 1) * tick) << c.bytes;
            EXPECT_LE(waited, Nanos(c.ticks + 1) * tick) << c.bytes;
            EXPECT_EQ(hex(host_bytes(box.soc().isp())), c.bytes);
        }
        return 0;
    });
    // the frequency word was cleared by its status operation
    EXPECT_EQ(b.p->isp_std_freq_state, 0);
    EXPECT_EQ(b.p->isp_std_reset_state, 1);
    EXPECT_EQ(b.p->isp_std_checksum_state, 1);
    b.close(fd);
}

TEST(IspDevice, StandardFrameWaitsEndEarlyOnlyOnAnotherCompletion) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();
    b.in_process([&] {
        // a completion left over: the next wait returns at once
        const uint8_t d = 0x11;
        EXPECT_EQ(box.kernel().sys_write(fd, &d, 1), 1);
        box.soc().isp().micom_send(0x11);
        box.soc().isp().micom_send(0x15);
        pause(box, 1_ms);
        EXPECT_EQ(b.p->isp_event, 1);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_STD_RESET, 0), 0);
        Nanos t0 = box.machine().now();
        EXPECT_EQ(status(box, fd, MICOM_ISP_STD_RESET_STATUS), 1);
        EXPECT_LT(box.machine().now() - t0, 1_ms);
        EXPECT_EQ(b.p->isp_event, 0);

        // the standard checksum clears a left-over completion and the
        // frequency word when it is sent, so its wait is the full 400 ticks
        EXPECT_EQ(box.kernel().sys_write(fd, &d, 1), 1);
        box.soc().isp().micom_send(0x11);
        box.soc().isp().micom_send(0x15);
        pause(box, 1_ms);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_STD_FREQ_SET, 0), 0);
        EXPECT_EQ(b.p->isp_std_freq_state, 1);
        EXPECT_EQ(b.p->isp_event, 1);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_STD_CHECKSUM, 0), 0);
        EXPECT_EQ(b.p->isp_std_freq_state, 0);
        EXPECT_EQ(b.p->isp_event, 0);
        t0 = box.machine().now();
        EXPECT_EQ(status(box, fd, MICOM_ISP_STD_CHECKSUM_STATUS), 1);
        EXPECT_GT(box.machine().now() - t0, 399 * box.machine().tick_ns());

        // another rule's completion ends a standard frame's wait
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_STD_CHIP_ERASE, 0), 0);
        EXPECT_EQ(box.kernel().sys_write(fd, &d, 1), 1);
        box.machine().events().at(box.machine().now() + 30_ms, [&box] {
            box.soc().isp().micom_send(0x11);
            box.soc().isp().micom_send(0x06);
        });
        t0 = box.machine().now();
        EXPECT_EQ(status(box, fd, MICOM_ISP_STD_CHIP_ERASE_STATUS), 1);
        EXPECT_GE(box.machine().now() - t0, 30_ms);
        EXPECT_LT(box.machine().now() - t0, 35_ms);

        // the reply operation clears the answer count and reads 0
        b.p->isp_rx_count = 4;
        EXPECT_EQ(status(box, fd, MICOM_ISP_STD_REPLY), 0);
        EXPECT_EQ(b.p->isp_rx_count, 0);
        return 0;
    });
    b.close(fd);
}

TEST(IspDevice, NullIntPointerFaultsAfterTheWait) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();  // the micom runs its normal firmware: nothing answers
    const Nanos tick = box.machine().tick_ns();
    b.in_process([&] {
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM, 0), 0);
        Nanos t0 = box.machine().now();
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_CHECKSUM_STATUS, 0), -14);
        EXPECT_GT(box.machine().now() - t0, 199 * tick);

        // the frequency word is cleared even when the caller's int is not writable
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_STD_FREQ_SET, 0), 0);
        t0 = box.machine().now();
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_STD_FREQ_SET_STATUS, 0), -14);
        EXPECT_GT(box.machine().now() - t0, 199 * tick);
        EXPECT_EQ(b.p->isp_std_freq_state, 0);

        // a completion before the wait: it is consumed although the copy fails
        const uint8_t d = 0x22;
        EXPECT_EQ(box.kernel().sys_write(fd, &d, 1), 1);
        box.soc().isp().micom_send(0x22);
        box.soc().isp().micom_send(0x06);
        pause(box, 1_ms);
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_BYTE_STATUS, 0), -14);
        EXPECT_EQ(b.p->isp_event, 0);
        return 0;
    });
    b.close(fd);
}

TEST(IspDevice, UartClockDivisorIoctlRewritesThePrimaryDivisor) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();
    box.soc().clear_reg_writes();
    box.soc().isp().clear_log();
    b.in_process([&] { return int(box.kernel().sys_ioctl(fd, MICOM_ISP_UART_CLKDIV, 0)); });
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {{kUart0 + 0x28, 4}};
    EXPECT_EQ(config_writes(box), expected);
    EXPECT_TRUE(box.soc().isp().log().empty());
    b.close(fd);
}

// ---------------------------------------------------------------- /proc/enableisp

TEST(IspDevice, EnableIspGoesToThePrimaryUartWhenClosedAndToTheIspLinkWhenOpen) {
    IspBox b;
    Box& box = b.box;
    box.soc().primary().clear_log();
    EXPECT_EQ(box.kernel().proc_write("enableisp", "\n"), 1);
    box.machine().run_for(5_ms);
    EXPECT_EQ(hex(host_bytes(box.soc().primary())), "AA 20 42 0F 00 6D");
    EXPECT_TRUE(host_bytes(box.soc().isp()).empty());
    EXPECT_EQ(box.micom().mode(), micom::Mode::Programmer);
    // the six bytes go out back to back
    const Nanos ch = box.soc().primary().micom_format.char_time();
    const auto& plog = box.soc().primary().log();
    for (size_t i = 1; i < plog.size(); ++i)
        EXPECT_EQ(plog[i].start - plog[i - 1].start, ch);

    const long fd = b.open();
    box.soc().primary().clear_log();
    long r = 0;
    b.in_process([&] {
        const long pfd = box.kernel().sys_open("/proc/enableisp");
        r = box.kernel().sys_write(pfd, "anything at all", 15);
        box.kernel().sys_close(pfd);
        pause(box, 5_ms);
        return 0;
    });
    EXPECT_EQ(r, 15);
    EXPECT_TRUE(box.soc().primary().log().empty());
    EXPECT_EQ(hex(host_bytes(box.soc().isp())), "AA 20 42 0F 00 6D");
    b.close(fd);
}

TEST(IspDevice, EnableIspStopsTheBlinkThread) {
    IspBox b;
    Box& box = b.box;
    auto tblink = static_cast<void**>(box.kernel().module_symbol("tblink"));
    ASSERT_NE(tblink, nullptr);
    box.kernel().proc_write("startrescue", "1\n");
    box.machine().run_for(2_s);
    ASSERT_NE(*tblink, nullptr);
    ASSERT_FALSE(box.micom().led_codes().empty());
    EXPECT_EQ(box.kernel().proc_write("enableisp", "1\n"), 2);
    EXPECT_EQ(*tblink, nullptr);
    const size_t codes = box.micom().led_codes().size();
    box.machine().run_for(3_s);
    EXPECT_EQ(box.micom().led_codes().size(), codes);  // nothing drives the LEDs any more
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// While the device is open the micom's flash programmer listens on both
// lines: a caller of the normal protocol sends nothing and times out, and so
// does the power-off hook.
TEST(IspDevice, WhileOpenNormalFramesAreNotSentAndTheirWaitsTimeOut) {
    IspBox b;
    Box& box = b.box;
    box.micom().set_time(micom::DateTime{2013, 5, 1, 12, 0, 0});
    const unsigned long before = box.kernel().call_export<unsigned long>("get_RTC_time");
    const long fd = b.open();
    ASSERT_GE(fd, 0);
    box.soc().primary().clear_log();
    box.soc().isp().clear_log();
    const size_t from = box.kernel().log().lines().size();

    const Nanos t0 = box.machine().now();
    EXPECT_EQ(box.kernel().call_export<unsigned long>("get_RTC_time"), before);
    EXPECT_GE(box.machine().now() - t0, 199 * 10_ms);
    EXPECT_EQ(box.kernel().proc_write("led", "2\n"), 2);
    box.kernel().poweroff();
    box.machine().run_for(10_ms);
    EXPECT_TRUE(host_bytes(box.soc().primary()).empty());
    EXPECT_TRUE(host_bytes(box.soc().isp()).empty());
    EXPECT_EQ(count_containing(box, "fp_micom: ISP mode, frame D2 not sent", from), 1u);
    EXPECT_TRUE(box.kernel().bugs().empty());
}

// ---------------------------------------------------------------- pacing

// On a fast line the 30 µs pause after each byte of a four-byte command or a
// standard frame shows between the start bits; the data bytes of a write and
// the hand-over frame go out back to back.
TEST(IspTransport, CommandsAndStandardFramesArePaced30usApart) {
    BoxConfig cfg;
    cfg.baud = 1'000'000;
    IspBox b(cfg);
    Box& box = b.box;
    const long fd = b.open();
    const Nanos ch = box.soc().isp().micom_format.char_time();
    ASSERT_LT(ch, 30_us);
    auto gaps = [&box] {
        std::vector<Nanos> g;
        const auto& log = box.soc().isp().log();
        for (size_t i = 1; i < log.size(); ++i)
            if (log[i].dir == Direction::HostToMicom)
                g.push_back(log[i].start - log[i - 1].start);
        return g;
    };
    b.in_process([&] {
        for (unsigned cmd : {MICOM_ISP_CHECKSUM, MICOM_ISP_STD_CHECKSUM, MICOM_ISP_STD_RESET}) {
            box.soc().isp().clear_log();
            box.machine().reset_irqs_off_stats();
            EXPECT_EQ(box.kernel().sys_ioctl(fd, cmd, 0), 0);
            pause(box, 1_ms);
            const auto g = gaps();
            EXPECT_EQ(g.size() + 1, host_bytes(box.soc().isp()).size());
            for (Nanos d : g) {
                EXPECT_GE(d, 30_us) << std::hex << cmd;
                EXPECT_LE(d, 30_us + ch + 5_us) << std::hex << cmd;
            }
            // the whole frame is sent with interrupts off, the last pause included
            EXPECT_GE(box.machine().irqs_off_longest(), Nanos(g.size() + 1) * 30_us);
        }
        box.soc().isp().clear_log();
        const uint8_t data[4] = {1, 2, 3, 4};
        EXPECT_EQ(box.kernel().sys_write(fd, data, 4), 4);
        pause(box, 1_ms);
        for (Nanos d : gaps())
            EXPECT_EQ(d, ch);
        return 0;
    });
    b.close(fd);
}

// At the box's 115200 bit/s a byte takes longer than the pause; the transmit
// register is then written at least 30 µs after the previous byte.
TEST(IspTransport, TransmitRegisterWritesOfAFrameAreAtLeast30usApart) {
    IspBox b;
    Box& box = b.box;
    const long fd = b.open();
    box.soc().clear_reg_writes();
    b.in_process([&] {
        EXPECT_EQ(box.kernel().sys_ioctl(fd, MICOM_ISP_STD_PROGRAM, 0), 0);
        return 0;
    });
    std::vector<Nanos> t;
    for (auto& w : box.soc().reg_writes())
        if (w.via_gbus && w.bus_addr == kUart1 + 0x04)
            t.push_back(w.t);
    ASSERT_EQ(t.size(), 11u);
    for (size_t i = 1; i < t.size(); ++i)
        EXPECT_GE(t[i] - t[i - 1], 30_us);
    b.close(fd);
}

// ---------------------------------------------------------------- whole sessions

TEST(IspSession, AWholeProgrammingSessionThroughTheDevice) {
    IspBox b;
    Box& box = b.box;
    std::array<uint8_t, 8192> old_content, image;
    std::mt19937 rng(42);
    for (auto& c : old_content)
        c = uint8_t(rng());
    for (auto& c : image)
        c = uint8_t(rng());
    box.micom().set_flash(old_content);

    const Nanos v0 = box.machine().now();
    const auto w0 = std::chrono::steady_clock::now();
    const SessionResult r = run_session(b, image);
    const double wall_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - w0).count();
    const double virt_s = double(box.machine().now() - v0) / 1e9;
    std::printf("[ figures  ] whole session: %.3f s virtual, %.3f s host wall time\n", virt_s, wall_s);
    RecordProperty("session_virtual_ms", int((box.machine().now() - v0) / 1'000'000));

    EXPECT_EQ(r.sync, 0);
    EXPECT_EQ(r.sum1, 6);
    EXPECT_EQ(r.sum1_value, micom::flash_checksum(old_content.data(), old_content.size()));
    EXPECT_EQ(r.erase, 6);
    EXPECT_EQ(r.erase_verify, 6);
    for (int blk = 0; blk < 32; ++blk) {
        EXPECT_EQ(r.program[blk], 6) << blk;
        EXPECT_EQ(r.verify[blk], 6) << blk;
    }
    int not_acked = 0;
    for (int s : r.bytes)
        not_acked += s != 6;
    EXPECT_EQ(not_acked, 0);
    EXPECT_EQ(r.sum2, 6);
    EXPECT_TRUE(box.micom().flash() == image);
    EXPECT_EQ(r.sum2_value, micom::flash_checksum(image.data(), image.size()));
    EXPECT_EQ(box.micom().flash_checksum(), r.sum2_value);
    EXPECT_EQ(r.micom_link_errors, 0);
    EXPECT_TRUE(box.kernel().bugs().empty());
    // the device is closed, the module can go
    EXPECT_EQ(box.kernel().unload_module(), 0);
}

struct NakCase {
    const char* name;
    micom::IspStep step;
    int block;  ///< -1: the step is refused all session long, else only for this block
    int byte;   ///< with a block: only this data byte of it (-1: the block command)
};

class IspNak : public ::testing::TestWithParam<NakCase> {};

TEST_P(IspNak, TheRefusedStepReadsOneAndTheRestGoOn) {
    const NakCase c = GetParam();
    IspBox b;
    Box& box = b.box;
    std::array<uint8_t, 8192> image;
    std::mt19937 rng(7);
    for (auto& x : image)
        x = uint8_t(rng() | 0x01);  // never 0xFF, so a byte left erased shows
    if (c.block < 0)
        box.micom().set_nak(c.step, true);
    Hooks hooks;
    if (c.block >= 0) {
        hooks.before_block = [&](int blk) { box.micom().set_nak(c.step, c.byte < 0 && blk == c.block); };
        hooks.before_byte = [&](int blk, int i) {
            if (c.byte >= 0)
                box.micom().set_nak(c.step, blk == c.block && i == c.byte);
        };
    }
    const SessionResult r = run_session(b, image, hooks);
    const bool sums = c.step == micom::IspStep::Checksum;
    EXPECT_EQ(r.sum1, sums ? 1 : 6);
    EXPECT_EQ(r.sum2, sums ? 1 : 6);
    EXPECT_EQ(r.erase, 6);
    EXPECT_EQ(r.erase_verify, c.step == micom::IspStep::EraseVerify ? 1 : 6);

    std::array<uint8_t, 8192> expected_flash = image;
    for (int blk = 0; blk < 32; ++blk) {
        const bool block_refused = c.step == micom::IspStep::BlockProgram && blk == c.block;
        EXPECT_EQ(r.program[blk], block_refused ? 1 : 6) << blk;
        bool block_ok = !block_refused;
        for (int i = 0; i < 256; ++i) {
            const bool byte_refused =
                block_refused || (c.step == micom::IspStep::Byte && blk == c.block && i == c.byte);
            EXPECT_EQ(r.bytes[blk * 256 + i], byte_refused ? 1 : 6) << blk << "/" << i;
            if (byte_refused) {
                expected_flash[blk * 256 + i] = 0xFF;
                block_ok = false;
            }
        }
        const bool verify_ok = block_ok && c.step != micom::IspStep::BlockVerify;
        EXPECT_EQ(r.verify[blk], verify_ok ? 6 : 1) << blk;
    }
    EXPECT_TRUE(box.micom().flash() == expected_flash);
    EXPECT_EQ(r.sum2_value, sums ? 0 : micom::flash_checksum(expected_flash.data(), expected_flash.size()));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

INSTANTIATE_TEST_SUITE_P(IspSession, IspNak,
                         ::testing::Values(NakCase{"Checksum", micom::IspStep::Checksum, -1, -1},
                                           NakCase{"EraseVerify", micom::IspStep::EraseVerify, -1, -1},
                                           NakCase{"BlockVerify", micom::IspStep::BlockVerify, -1, -1},
                                           NakCase{"Block3", micom::IspStep::BlockProgram, 3, -1},
                                           NakCase{"Block7Byte100", micom::IspStep::Byte, 7, 100}),
                         [](const auto& info) { return std::string(info.param.name); });
