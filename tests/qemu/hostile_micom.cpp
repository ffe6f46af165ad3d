// SPDX-License-Identifier: MIT
#include "hostile_micom.h"

#include <dirent.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "frames.h"
#include "line_inputs.h"

namespace hostile {

namespace {

/// Sets the last byte of the frame @f (AA DIR CODE PAYLOAD CHECK) to its check byte.
void set_check_byte(std::vector<uint8_t>& f) {
    f.back() = frame_checksum(f[1], f[2], f.data() + 3, static_cast<int>(f.size()) - 4);
}

void append(Stream& s, const std::vector<uint8_t>& bytes, uint32_t pause_us = 0) {
    if (s.empty() || s.back().pause_us != 0) s.emplace_back();
    s.back().bytes.insert(s.back().bytes.end(), bytes.begin(), bytes.end());
    s.back().pause_us = pause_us;
}

/// The key operations as frames on the line.
struct LineKeys final : fuzz::KeyOpSink {
    Stream out;
    void event(uint8_t k0, uint8_t k1, uint8_t addr, uint8_t k3, uint8_t k4) override {
        const auto f = fptest::key_event_frame(k0, k1, addr, k3, k4);
        append(out, std::vector<uint8_t>(f.begin(), f.end()));
    }
    void input_ready(bool) override {}
    void arm_rescue() override {}
    void remap(uint8_t, unsigned) override {}
    void quiet(unsigned ms) override { pause(ms * 1000); }
    void op_done() override { pause(1000); }
    void pause(uint32_t us) {
        if (!out.empty()) out.back().pause_us += us;
    }
};

}  // namespace

Stream frame_path_stream(const std::vector<uint8_t>& input) {
    fuzz::Input in(input.data(), input.size());
    (void)in.byte();  // the flags
    fuzz::LinePauses pauses(in.byte());
    Stream s;
    while (!in.empty()) {
        append(s, {in.byte()});
        if (uint32_t us = pauses.next_us()) s.back().pause_us = us;
    }
    return s;
}

Stream key_decoder_stream(const std::vector<uint8_t>& input) {
    fuzz::Input in(input.data(), input.size());
    LineKeys keys;
    fuzz::play_key_ops(in, keys);
    return keys.out;
}

std::vector<std::vector<uint8_t>> read_corpus(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    std::vector<std::vector<uint8_t>> inputs;
    for (const auto& n : names) {
        std::ifstream f(dir + "/" + n, std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    return inputs;
}

const char* RandomStreams::name(Kind k) {
    static const char* const names[kKinds] = {"noise",   "cut-frame",       "bad-checksum", "foreign",
                                              "flood",   "mid-frame-quiet", "well-formed"};
    return k < kKinds ? names[k] : "?";
}

std::vector<uint8_t> RandomStreams::frame() {
    std::vector<uint8_t> payload;
    switch (below(3)) {
    case 0: {  // a key event: mostly a valid key's press or release
        uint8_t k = fuzz::valid_key(byte());
        if (below(4) == 0) k = byte();
        const uint8_t addr = below(2) ? 0x5F : 0x12;
        payload = below(2) ? std::vector<uint8_t>{0x01, 0x00, addr, k, uint8_t(~k)}
                           : std::vector<uint8_t>{0x01, 0x00, addr, uint8_t(~k), k};
        return fptest::micom_frame(FRAME_KEY, payload);
    }
    case 1:  // a clock answer: eight bytes of anything, BCD or not
    case 2:  // the boot information likewise
        for (int i = 0; i < 8; ++i) payload.push_back(byte());
        return fptest::micom_frame(below(2) ? FRAME_TIME : FRAME_BOOTINFO, payload);
    }
    return {};
}

Stream RandomStreams::next(Kind* kind) {
    const Kind k = static_cast<Kind>(below(kKinds));
    *kind = k;
    Stream s;
    switch (k) {
    case kNoise: {
        std::vector<uint8_t> b(1 + below(64));
        for (auto& x : b) x = byte();
        append(s, b, below(3) ? 0 : 1000 * below(20));
        break;
    }
    case kCutFrame: {
        auto f = frame();
        f.resize(1 + below(static_cast<uint32_t>(f.size() - 1)));
        append(s, f, 1000 * (5 + below(200)));  // long enough to give up the frame
        break;
    }
    case kBadChecksum: {
        auto f = frame();
        f.back() ^= static_cast<uint8_t>(1 + below(255));
        append(s, f);
        break;
    }
    case kForeign: {
        auto f = frame();
        if (below(2)) {
            f[1] = below(2) ? FRAME_TO_MICOM : byte();  // another direction
            if (f[1] == FRAME_TO_HOST) f[1] = FRAME_TO_MICOM;
        } else {
            f[2] = byte();  // a frame type the driver does not know, or a key from elsewhere
            if (f[2] == FRAME_KEY) f[5] = 0x34;
            set_check_byte(f);
        }
        append(s, f);
        break;
    }
    case kFlood: {
        std::vector<uint8_t> b(512 + below(3584));
        for (auto& x : b) x = below(8) ? byte() : FRAME_START;
        append(s, b);
        break;
    }
    case kMidFrameQuiet: {
        auto f = frame();
        const size_t cut = 1 + below(static_cast<uint32_t>(f.size() - 1));
        append(s, std::vector<uint8_t>(f.begin(), f.begin() + cut), 1000 * (100 + below(1400)));
        append(s, std::vector<uint8_t>(f.begin() + cut, f.end()));
        break;
    }
    case kWellFormed:
    case kKinds:
        append(s, frame());
        break;
    }
    return s;
}

std::vector<uint8_t> IspNoise::answer(uint8_t received) {
    auto below = [this](uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng_); };
    switch (below(6)) {
    case 0:
    case 1:
        return {};  // silence
    case 2:
        return {static_cast<uint8_t>(below(256))};
    case 3:  // an echo that differs
        return {static_cast<uint8_t>(received ^ (1 + below(255)))};
    case 4:  // the acknowledgement and refusal bytes the programmer knows
        return {below(2) ? uint8_t{0x06} : uint8_t{0x15}};
    default: {
        std::vector<uint8_t> b(1 + below(32));
        for (auto& x : b) x = static_cast<uint8_t>(below(256));
        return b;
    }
    }
}

}  // namespace hostile
