// SPDX-License-Identifier: MIT
// What a run of micomflash must do on the box, written down step by step:
// the calls it makes (as the fake box records them) and what it prints.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace expected {

using Calls = std::vector<std::string>;

Calls vendor_open();
Calls clock_setup();
Calls vendor_close();
// The ISP entry (fourteen steps) and exit, GPIO write by GPIO write.
Calls isp_entry(bool build_a);
Calls isp_exit(bool build_a);
// From the first checksum to the second, every byte written and answered.
Calls flash(const std::vector<uint8_t> &image);
// A whole run on a healthy box.
Calls good_run(bool build_a, const std::vector<uint8_t> &image);

// The twelve-item output of a good run.
std::string good_output(uint16_t first_checksum, uint16_t file_checksum);

// The image as the program sends it: the first 8192 bytes, zero-padded.
std::vector<uint8_t> padded_image(const std::string &file_contents);

void append(Calls &to, const Calls &more);

} // namespace expected
