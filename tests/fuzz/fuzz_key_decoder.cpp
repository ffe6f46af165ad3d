// SPDX-License-Identifier: MIT
// The key decoder fed sequences of key events: presses, repeats and releases
// of valid keys, raw events, the front panel's power frame, the input device
// becoming ready or not, rescue hand-shakes and remapped keys.  Each event
// reaches the driver as a whole key-event frame on the primary line.
//
// Input: a list of operations, one byte each plus the operands it names
// (play_key_ops() in line_inputs.h).  At the end, after a quiet second, a
// clean tap of the key of the last press sent must come through whole.
#include "fuzz_box.h"

using namespace fuzz;

namespace {

/// The operations played on the simulated box, the driver's state checked
/// after each.
struct BoxKeys final : KeyOpSink {
    FreshBox& fb;
    explicit BoxKeys(FreshBox& f) : fb(f) {}

    void drain() {
        while (fb.box().soc().primary().micom_busy())
            fb.box().machine().run_for(fb.char_time());
        fb.box().machine().run_for(1_ms);
    }
    void event(uint8_t k0, uint8_t k1, uint8_t addr, uint8_t k3, uint8_t k4) override {
        send_key_event(fb.box(), k0, k1, addr, k3, k4);
    }
    void input_ready(bool ready) override {
        drain();
        fb.priv().input_ready = ready;
    }
    void arm_rescue() override {
        drain();
        fb.priv().rescue_state = 1;
    }
    void remap(uint8_t scancode, unsigned code) override {
        drain();
        if (fb.priv().last_key == 0)
            fb.input().set_keycode(fb.box().machine(), scancode, code);
    }
    void quiet(unsigned ms) override {
        drain();
        fb.box().machine().run_for(Nanos(ms) * 1_ms);
    }
    void op_done() override {
        drain();
        check_box(fb.box());
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 2048)
        return -1;
    report_clean_taps_at_exit();
    Input in(data, size);
    FreshBox fb;
    sim::Box& box = fb.box();
    BoxKeys keys(fb);
    const uint8_t k3 = play_key_ops(in, keys);
    keys.drain();

    check_box(box);
    check_irqs_off(box, sim::checks::parser_irqs_off_bound(box.soc().primary(), fb.char_time()),
                   "the micom's back-to-back bytes and the parser's poll limit");
    check_clean_tap(fb, k3);
    check_box(box);
    return 0;
}
