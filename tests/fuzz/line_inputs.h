// SPDX-License-Identifier: MIT
// What the bytes of the primary-line harnesses' inputs mean, apart from any
// box: the fuzz harnesses play them on the simulated box, and micom_host
// (tests/qemu) plays the same corpus to the real module in a QEMU guest.
#ifndef FP_FUZZ_LINE_INPUTS_H
#define FP_FUZZ_LINE_INPUTS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "key_map.h"

namespace fuzz {

/// The fuzzer's bytes, read front to back; past the end every read gives 0.
class Input {
public:
    Input(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    bool empty() const { return i_ >= n_; }
    size_t left() const { return empty() ? 0 : n_ - i_; }
    uint8_t byte() { return empty() ? 0 : p_[i_++]; }
    uint16_t u16() {
        uint16_t lo = byte();
        return uint16_t(lo | byte() << 8);
    }
    int32_t i32() {
        uint32_t v = u16();
        return int32_t(v | uint32_t(u16()) << 16);
    }
    /// Up to @n bytes (fewer at the end of the input).
    std::string take(size_t n) {
        n = n < left() ? n : left();
        std::string s(reinterpret_cast<const char*>(p_ + i_), n);
        i_ += n;
        return s;
    }

private:
    const uint8_t* p_;
    size_t n_;
    size_t i_ = 0;
};

/// The key byte of entry @i (modulo their number) of the default key map.
inline uint8_t valid_key(unsigned i) { return fp_default_keys[i % fp_default_key_count].key_byte; }

// ---- fuzz_frame_path ---------------------------------------------------------
// A flags byte (bit 0: the input device is not registered yet, as during
// start-up; bit 1: a rescue hand-shake is armed), a seed byte for the pauses,
// then the bytes the micom sends.

constexpr uint8_t kFrameFlagNotReady = 1;
constexpr uint8_t kFrameFlagRescue = 2;

/// Pauses between bytes: mostly none, sometimes one that cuts a frame short.
struct LinePauses {
    uint32_t s;
    explicit LinePauses(uint8_t seed) : s(0x9E3779B9u ^ seed) {}
    /// The pause after the next byte, in microseconds (0: none).
    uint32_t next_us() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        if ((s & 0x0F) != 0)
            return 0;
        return (s >> 4) % 5000;  // up to 5 ms
    }
};

// ---- fuzz_key_decoder --------------------------------------------------------
// A list of operations, one byte each plus the operands it names.  Bits 0-2
// choose the operation, bits 3-4 the key event's address, bit 6 lets a raw
// event bring its own address, bit 7 adds a quiet time (one more byte, in ms).

/// What the key operations do; each event is a whole key-event frame.
struct KeyOpSink {
    virtual void event(uint8_t k0, uint8_t k1, uint8_t addr, uint8_t k3, uint8_t k4) = 0;
    /// The input device not ready (as during start-up), or ready.
    virtual void input_ready(bool ready) = 0;
    /// A reader of /proc/rescue arms the hand-shake.
    virtual void arm_rescue() = 0;
    /// User space remaps a key byte (taken only while no press is pending).
    virtual void remap(uint8_t scancode, unsigned code) = 0;
    /// The remote goes quiet for @ms milliseconds.
    virtual void quiet(unsigned ms) = 0;
    virtual void op_done() = 0;

protected:
    ~KeyOpSink() = default;
};

constexpr uint8_t kKeyAddresses[] = {0x5F, 0x12, 0x5F, 0x34};
/// Key codes user space may remap a key byte to (the rescue keys among them).
constexpr unsigned kRemapCodes[] = {11, 2, 3, 115, 116, 103, 352, 389, 30};
constexpr int kMaxKeyOps = 300;

/// Plays the operations of @in into @sink; gives the key byte of the last
/// press sent (0x49 when none was).
inline uint8_t play_key_ops(Input& in, KeyOpSink& sink) {
    uint8_t k3 = 0x49, k4 = 0xB6;  // the key of the last press sent
    for (int ops = 0; !in.empty() && ops < kMaxKeyOps; ++ops) {
        const uint8_t op = in.byte();
        const uint8_t addr = kKeyAddresses[(op >> 3) & 3];
        switch (op & 7) {
        case 0:  // a new press of a valid key
            k3 = valid_key(in.byte());
            k4 = uint8_t(~k3);
            sink.event(0x01, 0x00, addr, k3, k4);
            break;
        case 1:  // the micom repeats the last press
            sink.event(0x01, 0x00, addr, k3, k4);
            break;
        case 2:  // the release of the last press: the pair swapped
            sink.event(0x01, 0x00, addr, k4, k3);
            break;
        case 3: {  // any event
            uint8_t k0 = in.byte(), k1 = in.byte(), a = in.byte(), r3 = in.byte(), r4 = in.byte();
            sink.event(k0, k1, (op & 0x40) ? a : addr, r3, r4);
            break;
        }
        case 4:  // the front panel's power key
            sink.event(0x02, 0x12, 0x12, 0x00, 0xFF);
            break;
        case 5:
            sink.input_ready((op >> 3) & 1);
            break;
        case 6:
            sink.arm_rescue();
            break;
        case 7: {
            uint8_t scancode = in.byte();
            sink.remap(scancode, kRemapCodes[in.byte() % (sizeof kRemapCodes / sizeof kRemapCodes[0])]);
            break;
        }
        }
        if (op & 0x80)
            sink.quiet(in.byte());
        sink.op_done();
    }
    return k3;
}

}  // namespace fuzz

#endif
