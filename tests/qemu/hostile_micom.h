// SPDX-License-Identifier: MIT
// The hostile micom of micom_host: what it sends on the primary link during a
// storm (the fuzz corpora of the primary-line harnesses, then seeded random
// streams), and how it answers on the ISP link while it talks nonsense.
#ifndef FP_QEMU_HOSTILE_MICOM_H
#define FP_QEMU_HOSTILE_MICOM_H

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace hostile {

/// Bytes the micom sends back to back, then a quiet line for @pause_us.
struct Segment {
    std::vector<uint8_t> bytes;
    uint32_t pause_us = 0;
};
using Stream = std::vector<Segment>;

/// An input of fuzz_frame_path as the micom's bytes and pauses.  Its flags
/// (input device not ready, rescue armed) are the guest's state, which the
/// micom cannot set: they are left out.
Stream frame_path_stream(const std::vector<uint8_t>& input);

/// An input of fuzz_key_decoder as key-event frames and quiet times; its
/// operations on the guest's state (input device ready, rescue, remap) are
/// left out, and each operation ends with a millisecond's pause, as there.
Stream key_decoder_stream(const std::vector<uint8_t>& input);

/// The files of a corpus folder, in name order.
std::vector<std::vector<uint8_t>> read_corpus(const std::string& dir);

/// Seeded random streams of the kinds below, one after the other.
class RandomStreams {
public:
    enum Kind {
        kNoise,          // random bytes
        kCutFrame,       // a frame cut short, then a quiet line
        kBadChecksum,    // a whole frame with a wrong check byte
        kForeign,        // frames for other addresses or another direction
        kFlood,          // kilobytes of random bytes at full line speed
        kMidFrameQuiet,  // a frame with a long silence inside it
        kWellFormed,     // key events and clock answers, any contents
        kKinds
    };
    static const char* name(Kind k);

    explicit RandomStreams(uint32_t seed) : rng_(seed) {}
    Stream next(Kind* kind);

private:
    std::vector<uint8_t> frame();  // a whole frame of a kind the driver reads
    uint32_t below(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); }
    uint8_t byte() { return static_cast<uint8_t>(below(256)); }
    std::mt19937 rng_;
};

/// The ISP link's answers while the micom talks nonsense: for each byte
/// received, nothing, a random byte, an echo that differs, or a burst.
class IspNoise {
public:
    explicit IspNoise(uint32_t seed) : rng_(seed) {}
    std::vector<uint8_t> answer(uint8_t received);

private:
    std::mt19937 rng_;
};

}  // namespace hostile

#endif
