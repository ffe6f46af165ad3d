// SPDX-License-Identifier: MIT
// The wire log as lines a person reads, in columns: time, link, direction,
// the bytes, and after two spaces or more what they mean
// ("    0.183584 primary host>micom AA 20 42 00 06 64                   led 6").  The lines and their meaning come from frame_decoder.h.
#pragma once

#include <string>

#include "soc/serial_link.h"

namespace fpsim {

/// One link's record and what of it to show.
struct WireRecord {
    const std::vector<sim::WireByte>& log;
    size_t from;        ///< the first byte of the log to show
    size_t lost = 0;    ///< bytes gone from the record before they were shown
    bool cut = false;   ///< the log lost its start: read from the first whole frame
};

/// The lines of both links in time order, from byte @primary.from and
/// @isp.from of their logs on.  A frame that a previous look showed in part
/// is shown again whole.  Bytes lost before they were shown are said in one
/// line.  @show_primary, @show_isp: whether to show that link.
std::string format_wire(const WireRecord& primary, const WireRecord& isp, bool show_primary = true,
                        bool show_isp = true);

}  // namespace fpsim
