// SPDX-License-Identifier: MIT
// The receive parser's frame path: any byte stream from the micom on the
// primary line, with the input device registered or not yet, and with pauses
// that cut frames short.
//
// Input: see line_inputs.h (a flags byte, a seed byte for the pauses, the
// bytes the micom sends).  At the end, after a quiet
// second, a clean tap of the last valid key byte sent must come through whole.
#include "fuzz_box.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096)
        return -1;
    fuzz::report_clean_taps_at_exit();
    fuzz::Input in(data, size);
    const uint8_t flags = in.byte();
    LinePauses pauses(in.byte());

    fuzz::FreshBox fb;
    sim::Box& box = fb.box();
    fp_priv_t& p = fb.priv();
    if (flags & kFrameFlagNotReady)
        p.input_ready = 0;
    if (flags & kFrameFlagRescue)
        p.rescue_state = 1;

    uint8_t tap_key = 0x49;  // the last valid key byte sent
    while (!in.empty()) {
        const uint8_t b = in.byte();
        for (const fp_default_key& k : fp_default_keys)
            if (b == k.key_byte)
                tap_key = b;
        box.soc().primary().micom_send(b);
        if (Nanos pause = Nanos(pauses.next_us()) * 1_us) {
            // let the bytes queued so far go out, then keep the line quiet
            while (box.soc().primary().micom_busy())
                box.machine().run_for(fb.char_time());
            box.machine().run_for(pause);
            fuzz::check_box(box);
        }
    }
    while (box.soc().primary().micom_busy())
        box.machine().run_for(fb.char_time());
    box.machine().run_for(10_ms);

    fuzz::check_box(box);
    fuzz::check_irqs_off(box, sim::checks::parser_irqs_off_bound(box.soc().primary(), fb.char_time()),
                         "the micom's back-to-back bytes and the parser's poll limit");
    if ((flags & kFrameFlagNotReady) && !fb.input().received().empty())
        fuzz::fail("an input event was reported before the input device was ready");
    if (p.isp_rx_count != 0)
        fuzz::fail("the frame path stored ISP bytes (isp_rx_count %d)", p.isp_rx_count);
    fuzz::check_clean_tap(fb, tap_key);
    fuzz::check_box(box);
    return 0;
}
