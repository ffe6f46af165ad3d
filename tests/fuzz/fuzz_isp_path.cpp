// SPDX-License-Identifier: MIT
// The receive parser's ISP path: byte streams from the micom on the ISP link,
// interleaved with the ioctls and writes that arm the answer rules, and with
// arbitrary values of isp_rx_count.  The micom itself stays in its normal
// firmware and silent on the ISP link: every answer byte comes from the input.
//
// Input: a list of operations, one byte each plus the operands it names
// (see the switch below).
#include "fuzz_box.h"
#include "isp_common.h"

using namespace fuzz;

namespace {

/// Counts that probe the ends of the receive buffer, or anything.
int32_t rx_count_value(Input& in) {
    switch (in.byte() & 7) {
    case 0: return 0;
    case 1: return 511;
    case 2: return 512;
    case 3: return 513;
    case 4: return -1;
    case 5: return int32_t(in.byte()) + 3;
    default: return in.i32();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048)
        return -1;
    Input in(data, size);
    FreshBox fb;
    sim::Box& box = fb.box();
    const Nanos isp_char = box.soc().isp().micom_format.char_time();
    // the ISP line is 8E1; the driver's own sends are paced 30 µs a byte
    const Nanos host_char = isp_char + 30_us;
    size_t longest_send = 12;  // the longest standard frame, bytes

    fp_priv_t* p = &fb.priv();
    const Untouched before = Untouched::of(*p);

    int r = box.kernel().run_process("isp", [&] {
        long fd = box.kernel().sys_open("/dev/micom");
        if (fd < 0)
            fail("/dev/micom does not open: %ld", fd);
        for (int ops = 0; !in.empty() && ops < 200; ++ops) {
            const uint8_t op = in.byte();
            switch (op % 6) {
            case 0: {  // an ioctl: a command sent, or a status awaited
                const unsigned cmd = kMicomIoctls[in.byte() % kMicomIoctlCount];
                int32_t word = in.byte();
                long ret = box.kernel().sys_ioctl(fd, cmd, reinterpret_cast<unsigned long>(&word));
                if (ret != 0)
                    fail("ioctl %08X returned %ld", cmd, ret);
                break;
            }
            case 1: {  // the micom sends bytes, starting a little later
                const Nanos after = Nanos(in.byte()) * 20_us;
                std::vector<uint8_t> bytes;
                for (unsigned n = in.byte() % 24 + 1; n > 0 && !in.empty(); --n)
                    bytes.push_back(in.byte());
                box.machine().events().at(box.machine().now() + after, [&box, bytes] {
                    for (uint8_t c : bytes)
                        box.soc().isp().micom_send(c);
                });
                break;
            }
            case 2:  // the receive count anywhere, in or out of the buffer
                p->isp_rx_count = rx_count_value(in);
                break;
            case 3: {  // data bytes written, armed on isp_byte_state
                size_t n = (op & 0x40) ? size_t(in.u16() % 600) : size_t(in.byte() % 4 + 1);
                UserBuffer buf(n);
                for (size_t i = 0; i < n; ++i)
                    buf.get()[i] = uint8_t(i);
                long ret = box.kernel().sys_write(fd, buf.get(), n);
                long expect = n > 512 ? -14 : long(n);
                if (ret != expect)
                    fail("write of %zu bytes returned %ld, not %ld", n, ret, expect);
                if (n <= 512 && n > longest_send)
                    longest_send = n;
                break;
            }
            case 4:  // the program waits
                box.machine().sleep(false, box.machine().now() + Nanos(in.byte()) * 100_us);
                break;
            case 5:  // a sync and the micom's answer to it
                box.kernel().sys_ioctl(fd, MICOM_ISP_SYNC, 0);
                box.machine().events().at(box.machine().now() + 200_us,
                                          [&box] { box.soc().isp().micom_send(0xAA); });
                break;
            }
            check_box(box);
        }
        box.machine().sleep(false, box.machine().now() + 20_ms);
        check_box(box);
        return int(box.kernel().sys_close(fd));
    });
    if (r != 0)
        fail("close returned %d", r);
    box.machine().run_for(20_ms);

    check_box(box);
    if (const char* f = Untouched::of(*p).differs(before))
        fail("the ISP path changed %s, outside its own fields", f);
    if (p->isp_mode != 0)
        fail("isp_mode is %d after the close", p->isp_mode);
    if (box.machine().irq_installed(71))
        fail("interrupt 71 still installed after the close");
    // A write sends all its bytes back to back under the driver lock; the
    // parser drains the ISP line while bytes keep coming.
    const Nanos bound = std::max(sim::checks::parser_irqs_off_bound(box.soc().isp(), isp_char),
                                 Nanos(longest_send + 1) * host_char + 1_ms);
    check_irqs_off(box, bound, "the longest send and the micom's back-to-back bytes");
    return 0;
}
