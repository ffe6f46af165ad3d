// SPDX-License-Identifier: MIT
// The /proc write handlers, with texts of any length and content and user
// copies that fail, and the exported functions that take digit strings from
// other modules.  Writes that reboot the box or put it into deep standby
// are followed by the box's new start.
//
// Input: a list of operations: a selector byte, a byte that may make user
// copies fail, a length, then the text.
#include <cstring>

#include "fuzz_box.h"

using namespace fuzz;

namespace {

struct Entry {
    const char* name;
    bool takes_text;  ///< copies the text (else a command entry that ignores it)
};

constexpr Entry kWritable[] = {
    {"settime", true},      {"led", true},     {"startrescue", false}, {"vfd", false},
    {"deepstandby", false}, {"vfdclock", false}, {"reboot", false},    {"enableisp", false},
};
constexpr const char* kReadable[] = {"led", "model"};
constexpr const char* kDigitExports[] = {"set_RTC_time", "set_ALARM_time", "set_LED"};

/// The box has its module loaded again after a reboot or a deep standby.
void back_on(FreshBox& fb) {
    sim::Box& box = fb.box();
    box.run_for(5_ms);
    if (!box.module_loaded())
        box.run_for(3_s);  // the micom switches the box on again, or not
    if (!box.module_loaded() && !box.powered()) {
        box.clear_faults();
        if (int r = box.boot(); r != 0)
            fail("the box did not start again: %d", r);
    }
    if (!box.module_loaded())
        fail("the module is not loaded after %s", box.powered() ? "the box came back" : "boot");
    fb.input().evbit.set(sim::kEvSyn);
}

/// One write(), from an exact-size buffer so that ASan sees any read past it.
long write_entry(sim::Box& box, const char* name, const std::string& text) {
    long ret = 0;
    box.run_process("echo", [&] {
        long fd = box.sys_open(std::string("/proc/") + name);
        if (fd < 0) {
            ret = fd;
            return 0;
        }
        std::unique_ptr<char[]> buf(new char[text.size() ? text.size() : 1]);
        std::memcpy(buf.get(), text.data(), text.size());
        ret = box.sys_write(fd, buf.get(), text.size());
        box.sys_close(fd);
        return 0;
    });
    return ret;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return -1;
    Input in(data, size);
    FreshBox fb;
    sim::Box& box = fb.box();

    for (int ops = 0; !in.empty() && ops < 24; ++ops) {
        const uint8_t sel = in.byte();
        const uint8_t fault = in.byte();
        const int copy_fail = (fault & 0x80) ? (fault & 3) : 0;
        const size_t len = (sel & 0x80) ? size_t(in.u16() % 300) : size_t(in.byte() % 32);
        const std::string text = in.take(len);

        box.faults.user_copy_fail = copy_fail;
        switch ((sel >> 4) & 7) {
        default: {  // a write to a /proc entry
            const Entry& e = kWritable[sel % (sizeof kWritable / sizeof kWritable[0])];
            const long ret = write_entry(box, e.name, text);
            long expect = long(text.size());
            if (e.takes_text && (text.size() > 128 || (copy_fail && !text.empty())))
                expect = -14;
            if (ret != expect)
                fail("write of %zu bytes to /proc/%s (%d copies failing) returned %ld, not %ld",
                     text.size(), e.name, copy_fail, ret, expect);
            break;
        }
        case 5: {  // a read of a /proc entry
            const char* name = kReadable[sel & 1];
            sim::SysResult r = box.proc_read(name, (sel & 2) ? 1 : 4096);
            if (r.ret < 0 && !(copy_fail && r.ret == -14))
                fail("read of /proc/%s returned %ld", name, r.ret);
            break;
        }
        case 6: {  // another module calls an exported function with a digit string
            const char* fn = kDigitExports[sel % 3];
            std::unique_ptr<char[]> s(new char[text.size() + 1]);
            std::memcpy(s.get(), text.c_str(), text.size() + 1);
            box.call_export<void>(fn, static_cast<const char*>(s.get()));
            break;
        }
        }
        box.faults.user_copy_fail = 0;
        back_on(fb);
        check_keys(fb.priv(), fb.input());
    }
    box.run_for(50_ms);

    check_no_bugs(box);
    // A sender holds the driver lock for one whole frame (at most 3 bytes of
    // head, 32 of payload and the checksum); the parser drains what comes.
    const Nanos frame_bound = 36 * fb.char_time() + 1_ms;
    check_irqs_off(box, std::max(frame_bound, parser_irqs_off_bound(box.primary(), fb.char_time())),
                   "one frame sent under the lock, or the micom's back-to-back bytes");
    return 0;
}
