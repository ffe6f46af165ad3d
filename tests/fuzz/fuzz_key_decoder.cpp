// SPDX-License-Identifier: MIT
// The key decoder fed sequences of key events: presses, repeats and releases
// of valid keys, raw events, the front panel's power frame, the input device
// becoming ready or not, rescue hand-shakes and remapped keys.  Each event
// reaches the driver as a whole key-event frame on the primary line.
//
// Input: a list of operations, one byte each plus the operands it names
// (see the switch below).  At the end, after a quiet second, a clean tap of
// the key of the last press sent must come through whole.
#include "fuzz_box.h"

using namespace fuzz;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kAddresses[] = {0x5F, 0x12, 0x5F, 0x34};
/// Key codes user space may remap a key byte to (the rescue keys among them).
constexpr unsigned kRemapCodes[] = {11, 2, 3, 115, 116, 103, 352, 389, 30};

void send_event(FreshBox& fb, uint8_t k0, uint8_t k1, uint8_t addr, uint8_t k3, uint8_t k4) {
    send_key_event(fb.box(), k0, k1, addr, k3, k4);
}

void drain(FreshBox& fb) {
    while (fb.box().primary().micom_busy())
        fb.box().run_for(fb.char_time());
    fb.box().run_for(1_ms);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048)
        return -1;
    report_clean_taps_at_exit();
    Input in(data, size);
    FreshBox fb;
    sim::Box& box = fb.box();
    fp_priv_t& p = fb.priv();
    uint8_t k3 = 0x49, k4 = 0xB6;  // the key of the last press sent

    for (int ops = 0; !in.empty() && ops < 300; ++ops) {
        const uint8_t op = in.byte();
        const uint8_t addr = kAddresses[(op >> 3) & 3];
        switch (op & 7) {
        case 0:  // a new press of a valid key
            k3 = valid_key(in.byte());
            k4 = uint8_t(~k3);
            send_event(fb, 0x01, 0x00, addr, k3, k4);
            break;
        case 1:  // the micom repeats the last press
            send_event(fb, 0x01, 0x00, addr, k3, k4);
            break;
        case 2:  // the release of the last press: the pair swapped
            send_event(fb, 0x01, 0x00, addr, k4, k3);
            break;
        case 3: {  // any event
            uint8_t k0 = in.byte(), k1 = in.byte(), a = in.byte(), r3 = in.byte(), r4 = in.byte();
            send_event(fb, k0, k1, (op & 0x40) ? a : addr, r3, r4);
            break;
        }
        case 4:  // the front panel's power key
            send_event(fb, 0x02, 0x12, 0x12, 0x00, 0xFF);
            break;
        case 5:  // the input device not ready (as during start-up), or ready
            drain(fb);
            p.input_ready = (op >> 3) & 1;
            break;
        case 6:  // a reader of /proc/rescue arms the hand-shake
            drain(fb);
            p.rescue_state = 1;
            break;
        case 7: {  // user space remaps a key byte while no press is pending
            drain(fb);
            uint8_t scancode = in.byte();
            unsigned code = kRemapCodes[in.byte() % (sizeof kRemapCodes / sizeof kRemapCodes[0])];
            if (p.last_key == 0)
                fb.input().set_keycode(box.machine(), scancode, code);
            break;
        }
        }
        if (op & 0x80) {  // the remote goes quiet for a while
            drain(fb);
            box.run_for(Nanos(in.byte()) * 1_ms);
        }
        drain(fb);
        check_keys(p, fb.input());
    }
    drain(fb);

    check_no_bugs(box);
    check_irqs_off(box, parser_irqs_off_bound(box.primary(), fb.char_time()),
                   "the micom's back-to-back bytes and the parser's poll limit");
    check_keys(p, fb.input());
    check_syncs(fb.input());
    check_clean_tap(fb, k3);
    check_syncs(fb.input());
    return 0;
}
