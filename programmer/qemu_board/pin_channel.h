// SPDX-License-Identifier: MIT
// The pin channel of the QEMU board: how the board's vendor library tells
// the micom model on the host what the program does to the SoC's GPIO block
// and clock generator, and how the host answers.
//
// Every request is one frame, and the library waits for its answer before
// the call returns, so the host has applied a pin change before the program
// goes on (see qemu_board.cpp for why the order matters).
//
//   frame   = 0xC5, kind, length (0..kMaxPayload), payload, check
//   check   = XOR of kind, length and the payload bytes
//   numbers = 32-bit little endian; times = 64-bit little endian
//
//   kind 'H' hello        (no payload)                     -> status
//   kind 'W' gbus write   guest_us u64, addr, value        -> status
//   kind 'S' RUA set      module, property, record bytes   -> status
//   kind 'X' RUA exchange module, property, out size, in   -> status, out bytes
//   kind 'A' answer       status, out bytes (host to guest)
//
// guest_us is the program's microsecond clock when it made the write, so the
// host can tell the guest's own timing from the channel's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace pin_channel {

constexpr uint8_t kStart = 0xC5;
constexpr size_t kMaxPayload = 96;

enum Kind : uint8_t {
    kHello = 'H',
    kGbusWrite = 'W',
    kSet = 'S',
    kExchange = 'X',
    kAnswer = 'A',
};

struct Frame {
    uint8_t kind = 0;
    std::vector<uint8_t> payload;
};

/// The bytes of @f on the line.  The payload must fit kMaxPayload.
std::vector<uint8_t> encode(const Frame& f);

void put32(std::vector<uint8_t>& out, uint32_t v);
void put64(std::vector<uint8_t>& out, uint64_t v);
uint32_t get32(const uint8_t* p);
uint64_t get64(const uint8_t* p);

/// Takes bytes one at a time and hands out each complete frame.  Bytes
/// outside a frame, and frames whose check does not match, are counted as
/// errors and skipped.
class Decoder {
public:
    std::optional<Frame> feed(uint8_t byte);
    unsigned errors() const { return errors_; }

private:
    enum class State : uint8_t { Start, Kind, Length, Payload, Check };
    State state_ = State::Start;
    Frame frame_;
    size_t length_ = 0;
    uint8_t check_ = 0;
    unsigned errors_ = 0;
};

// ---- the requests, built and read back ----

Frame gbus_write(uint64_t guest_us, uint32_t addr, uint32_t value);
Frame set_property(uint32_t module, uint32_t property, const void* record, uint32_t size);
Frame exchange_property(uint32_t module, uint32_t property, const void* in, uint32_t in_size,
                        uint32_t out_size);
Frame answer(int32_t status, const std::vector<uint8_t>& out = {});

struct GbusWrite {
    uint64_t guest_us;
    uint32_t addr, value;
};
struct Property {
    uint32_t module, property;
    uint32_t out_size;              ///< exchange only
    std::vector<uint8_t> record;    ///< set: the record; exchange: the input
};
struct Answer {
    int32_t status;
    std::vector<uint8_t> out;
};

/// The request in @f, or nothing when @f is not that kind or is malformed.
std::optional<GbusWrite> read_gbus_write(const Frame& f);
std::optional<Property> read_property(const Frame& f);
std::optional<Answer> read_answer(const Frame& f);

}  // namespace pin_channel
