// SPDX-License-Identifier: MIT
#include "pin_channel.h"

#include <cstring>

namespace pin_channel {

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put64(std::vector<uint8_t>& out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v));
    put32(out, static_cast<uint32_t>(v >> 32));
}

uint32_t get32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint64_t get64(const uint8_t* p) { return uint64_t(get32(p)) | uint64_t(get32(p + 4)) << 32; }

std::vector<uint8_t> encode(const Frame& f) {
    std::vector<uint8_t> out{kStart, f.kind, static_cast<uint8_t>(f.payload.size())};
    uint8_t check = static_cast<uint8_t>(f.kind ^ f.payload.size());
    for (uint8_t b : f.payload) {
        out.push_back(b);
        check ^= b;
    }
    out.push_back(check);
    return out;
}

std::optional<Frame> Decoder::feed(uint8_t byte) {
    switch (state_) {
    case State::Start:
        if (byte == kStart)
            state_ = State::Kind;
        else
            ++errors_;
        return std::nullopt;
    case State::Kind:
        frame_ = Frame{byte, {}};
        check_ = byte;
        state_ = State::Length;
        return std::nullopt;
    case State::Length:
        if (byte > kMaxPayload) {
            ++errors_;
            state_ = State::Start;
            return std::nullopt;
        }
        length_ = byte;
        check_ ^= byte;
        state_ = length_ ? State::Payload : State::Check;
        return std::nullopt;
    case State::Payload:
        frame_.payload.push_back(byte);
        check_ ^= byte;
        if (frame_.payload.size() == length_) state_ = State::Check;
        return std::nullopt;
    case State::Check:
        state_ = State::Start;
        if (byte != check_) {
            ++errors_;
            return std::nullopt;
        }
        return std::move(frame_);
    }
    return std::nullopt;
}

Frame gbus_write(uint64_t guest_us, uint32_t addr, uint32_t value) {
    Frame f{kGbusWrite, {}};
    put64(f.payload, guest_us);
    put32(f.payload, addr);
    put32(f.payload, value);
    return f;
}

namespace {

Frame property_frame(uint8_t kind, uint32_t module, uint32_t property, const void* bytes, uint32_t size,
                     const uint32_t* out_size) {
    Frame f{kind, {}};
    put32(f.payload, module);
    put32(f.payload, property);
    if (out_size) put32(f.payload, *out_size);
    const auto* p = static_cast<const uint8_t*>(bytes);
    if (p) f.payload.insert(f.payload.end(), p, p + size);
    return f;
}

}  // namespace

Frame set_property(uint32_t module, uint32_t property, const void* record, uint32_t size) {
    return property_frame(kSet, module, property, record, size, nullptr);
}

Frame exchange_property(uint32_t module, uint32_t property, const void* in, uint32_t in_size,
                        uint32_t out_size) {
    return property_frame(kExchange, module, property, in, in_size, &out_size);
}

Frame answer(int32_t status, const std::vector<uint8_t>& out) {
    Frame f{kAnswer, {}};
    put32(f.payload, static_cast<uint32_t>(status));
    f.payload.insert(f.payload.end(), out.begin(), out.end());
    return f;
}

std::optional<GbusWrite> read_gbus_write(const Frame& f) {
    if (f.kind != kGbusWrite || f.payload.size() != 16) return std::nullopt;
    const uint8_t* p = f.payload.data();
    return GbusWrite{get64(p), get32(p + 8), get32(p + 12)};
}

std::optional<Property> read_property(const Frame& f) {
    const size_t head = f.kind == kExchange ? 12 : 8;
    if ((f.kind != kSet && f.kind != kExchange) || f.payload.size() < head) return std::nullopt;
    const uint8_t* p = f.payload.data();
    Property r{get32(p), get32(p + 4), f.kind == kExchange ? get32(p + 8) : 0u, {}};
    r.record.assign(f.payload.begin() + static_cast<long>(head), f.payload.end());
    return r;
}

std::optional<Answer> read_answer(const Frame& f) {
    if (f.kind != kAnswer || f.payload.size() < 4) return std::nullopt;
    return Answer{static_cast<int32_t>(get32(f.payload.data())),
                  std::vector<uint8_t>(f.payload.begin() + 4, f.payload.end())};
}

}  // namespace pin_channel
