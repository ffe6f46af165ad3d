// SPDX-License-Identifier: MIT
// What the bytes on the two links mean, as a person reads them: the one
// decoder of the protocols that `wire` uses.  tools/sigrok/fpmicom/pd.py says
// the same in the same words for a logic analyser; keep the two in step.
//
// Primary link: micom frames (AA, direction, code/length, [length], payload,
// checksum), one line per frame and direction; bytes that are no frame (noise,
// a frame cut short) get a line of their own.
//
// ISP link: one line per unit the host sends (sync, a four-byte command, a data
// byte of block programming, a standard frame) and one per run of the micom's
// answer (its echo, its status byte, the checksum's value).  An answer that
// pauses longer than one character and 100 us (the erase's status comes when
// the erase is done) goes on in a line of its own.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "soc/serial_link.h"

namespace fpsim {

struct DecodedLine {
    sim::Nanos t = 0;             ///< start of the first byte
    sim::Direction dir = sim::Direction::HostToMicom;
    size_t first = 0, last = 0;   ///< indices of its first and last byte in the link's log
    std::vector<uint8_t> bytes;
    std::string meaning;          ///< "led 6", "block 0x03 verify echo, ACK"
};

/// The lines of a primary link's log, in time order.  @cut: the log lost its
/// start (it begins mid-frame); each direction is read from resync_point() on.
std::vector<DecodedLine> decode_primary(const std::vector<sim::WireByte>& log, bool cut = false);
/// Where a primary link's log that lost its start is read from in direction
/// @dir: the first start byte after a pause that begins a whole frame, past a
/// key release whose press the log no longer holds.  log.size() when none.
size_t resync_point(const std::vector<sim::WireByte>& log, sim::Direction dir);
/// The lines of an ISP link's log, in time order.
std::vector<DecodedLine> decode_isp(const std::vector<sim::WireByte>& log);

/// The meaning of one group of bytes of the primary link (a frame, a frame cut
/// short, or bytes that are no frame).  @held: the key held (its two key
/// bytes), 0 for none; key events update it.
std::string primary_meaning(const std::vector<uint8_t>& g, unsigned& held);
/// Number of bytes of the frame that begins with @g (at least 3 bytes known),
/// or 0 when a fourth byte is needed to tell.
size_t frame_length(const std::vector<uint8_t>& g);

}  // namespace fpsim
