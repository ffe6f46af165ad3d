// SPDX-License-Identifier: MIT
// A VCD trace of the box's wires at 1 us: the micom's GPIO pins 2-6 and the
// TX and RX lines of both UARTs at bit level (start bit, data bits LSB first,
// parity, stop bits).  One scope, 1-bit wires only, every value written
// explicitly at #0: what GTKWave and PulseView (libsigrok) both read.
#pragma once

#include <string>

#include "box.h"

namespace fpsim {

/// The trace of [from, to] of virtual time; times in the file count from
/// @from.  Each edge is rounded to the microsecond from its exact time.
std::string make_vcd(sim::Box& box, sim::Nanos from, sim::Nanos to);
/// Writes make_vcd() to @path; false when the file cannot be written.
bool save_vcd(const std::string& path, sim::Box& box, sim::Nanos from, sim::Nanos to);

}  // namespace fpsim
