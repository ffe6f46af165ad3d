// SPDX-License-Identifier: MIT
// The wire log as lines a person reads: time, link, direction, the bytes, and
// after two spaces what they mean ("0.183584 primary host>micom AA 20 42 00 06
// 64  led 6").  The lines and their meaning come from frame_decoder.h.
#pragma once

#include <string>

#include "soc/serial_link.h"

namespace fpsim {

/// The lines of both links in time order, from byte @primary_from and
/// @isp_from of their logs on.  A frame that a previous look showed in part
/// is shown again whole.  @primary, @isp: whether to show that link.
std::string format_wire(const std::vector<sim::WireByte>& primary, size_t primary_from,
                        const std::vector<sim::WireByte>& isp, size_t isp_from,
                        bool show_primary = true, bool show_isp = true);

}  // namespace fpsim
