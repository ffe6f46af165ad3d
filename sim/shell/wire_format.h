// SPDX-License-Identifier: MIT
// The wire log as lines a person reads: one line per frame on the primary
// link (micom frames: AA, direction, code/length, [length], payload,
// checksum), one line per burst on the ISP link (bytes of one direction sent
// back to back).  Bytes that are no frame (noise, a frame cut short) get a
// line of their own.
#pragma once

#include <string>
#include <vector>

#include "soc/serial_link.h"

namespace fpsim {

struct WireLine {
    sim::Nanos t;          ///< start of the first byte
    std::string text;      ///< "%.6f primary host>micom AA 20 ..."
};

/// Groups the bytes log[from..] of a link into lines.  @framed: micom frames
/// (the primary link), else bursts.
std::vector<WireLine> wire_lines(const std::vector<sim::WireByte>& log, size_t from,
                                 const std::string& link_name, bool framed);

/// Lines of both links, merged in time order.
std::string format_wire(const std::vector<sim::WireByte>& primary, size_t primary_from,
                        const std::vector<sim::WireByte>& isp, size_t isp_from);

}  // namespace fpsim
