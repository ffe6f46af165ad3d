// SPDX-License-Identifier: MIT
// Sequences of /dev/micom operations against the micom's flash programmer:
// every ioctl (and unknown ones), data writes of any length, user copies that
// fail, waits, and closing and opening the device again.  The micom is handed
// over to its flash programmer through /proc/enableisp first, and answers as
// the real one does.
//
// Input: a list of operations, one byte each plus the operands it names
// (see the switch below).
#include <cstring>

#include "fuzz_box.h"
#include "isp_common.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048)
        return -1;
    Input in(data, size);
    FreshBox fb;
    sim::Box& box = fb.box();
    const Nanos host_char = box.soc().isp().micom_format.char_time() + 30_us;
    size_t longest_send = 12;

    if (box.kernel().proc_write("enableisp", "1\n") != 2)
        fail("the hand-over write failed");
    box.machine().run_for(5_ms);
    if (box.micom().mode() != micom::Mode::Programmer)
        fail("the micom did not hand over to its flash programmer");
    fp_priv_t* p = &fb.priv();
    const Untouched before = Untouched::of(*p);

    box.kernel().run_process("flasher", [&] {
        long fd = box.kernel().sys_open("/dev/micom");
        if (fd < 0)
            fail("/dev/micom does not open: %ld", fd);
        for (int ops = 0; !in.empty() && ops < 120; ++ops) {
            const uint8_t op = in.byte();
            const int copy_fail = (op & 0x80) ? 1 : 0;
            switch (op % 5) {
            case 0:
            case 1: {  // an ioctl, its int in the caller's memory
                const unsigned cmd = kMicomIoctls[in.byte() % kMicomIoctlCount];
                int32_t word = in.byte() % 40;  // a block number, near the 32 blocks
                box.kernel().faults.user_copy_fail = copy_fail;
                const long ret = box.kernel().sys_ioctl(fd, cmd, reinterpret_cast<unsigned long>(&word));
                box.kernel().faults.user_copy_fail = 0;
                const long expect = copy_fail && ioctl_copies(cmd) ? -14 : 0;
                if (ret != expect)
                    fail("ioctl %08X (%d copies failing) returned %ld, not %ld", cmd, copy_fail,
                         ret, expect);
                if (cmd >> 28 == 4 && ret == 0 && cmd != MICOM_ISP_CHECKSUM_VALUE &&
                    cmd != MICOM_ISP_STD_CHECKSUM_VALUE && cmd != MICOM_ISP_GET_SYNC &&
                    cmd != MICOM_ISP_STD_REPLY && (cmd & 0xFF) <= 27)
                    require(sim::checks::isp_status_word(word, "a status word read through an ioctl"));
                break;
            }
            case 2: {  // data bytes
                const size_t n = (op & 0x40) ? size_t(in.u16() % 600) : 1;
                UserBuffer buf(n);
                for (size_t i = 0; i < n; ++i)
                    buf.get()[i] = in.byte();
                box.kernel().faults.user_copy_fail = copy_fail;
                const long ret = box.kernel().sys_write(fd, buf.get(), n);
                box.kernel().faults.user_copy_fail = 0;
                const long expect = n > 512 || (copy_fail && n) ? -14 : long(n);
                if (ret != expect)
                    fail("write of %zu bytes (%d copies failing) returned %ld, not %ld", n,
                         copy_fail, ret, expect);
                if (ret > 0 && size_t(ret) > longest_send)
                    longest_send = size_t(ret);
                break;
            }
            case 3:  // the program waits
                box.machine().sleep(false, box.machine().now() + Nanos(in.byte()) * 500_us);
                break;
            case 4:  // closed and opened again
                if (box.kernel().sys_close(fd) != 0)
                    fail("close failed");
                if (p->isp_mode != 0)
                    fail("isp_mode %d after the close", p->isp_mode);
                fd = box.kernel().sys_open("/dev/micom");
                if (fd < 0)
                    fail("/dev/micom does not open again: %ld", fd);
                break;
            }
            check_box(box);
        }
        return int(box.kernel().sys_close(fd));
    });
    box.machine().run_for(50_ms);

    check_box(box);
    if (const char* f = Untouched::of(*p).differs(before))
        fail("ISP traffic changed %s, outside the ISP fields", f);
    if (p->isp_mode != 0 || box.machine().irq_installed(71))
        fail("the ISP mode outlived the close");
    const Nanos bound = std::max(sim::checks::parser_irqs_off_bound(box.soc().isp(), box.soc().isp().micom_format.char_time()),
                                 Nanos(longest_send + 1) * host_char + 1_ms);
    check_irqs_off(box, bound, "the longest send and the micom's back-to-back answers");
    return 0;
}
