// SPDX-License-Identifier: MIT
// A VCD trace of the box's wires: the micom's GPIO pins 2-6 and both
// directions of both serial links at bit level (start bit, data bits LSB
// first, parity, stop bits).  One scope, 1-bit wires only, every value written
// explicitly at #0: what GTKWave and PulseView (libsigrok) both read.
//
// The pins are named by number and function, with _n where low is active
// (gpio5_micom_reset_n); the lines by link and direction
// (isp_micom_to_host).  A comment per line gives its speed and character
// format (the ISP link is 8E1).  The time unit is 1 us, or finer when the
// fastest line needs it: at least 8 units a bit.
#pragma once

#include <string>

#include "box/box.h"

namespace fpsim {

/// The trace of [from, to] of virtual time; times in the file count from
/// @from.  Each edge is rounded to the time unit from its exact time.
std::string make_vcd(sim::Box& box, sim::Nanos from, sim::Nanos to);
/// Writes make_vcd() to @path; false when the file cannot be written.
bool save_vcd(const std::string& path, sim::Box& box, sim::Nanos from, sim::Nanos to);

}  // namespace fpsim
