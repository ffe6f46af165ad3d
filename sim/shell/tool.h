// SPDX-License-Identifier: MIT
// The fpsim command line: `fpsim shell [FILE]`, `fpsim flash [--build a|b]
// IMAGE`, `fpsim demo`, with --seed, --vcd, --log, --hz and --baud.
#pragma once

#include "shell.h"

namespace fpsim {

int tool_main(int argc, char** argv);
/// The guided tour; returns the exit status.
int run_demo(const ToolOptions& options, const std::string& out_dir);
/// Simulated hours of random use under random faults; 0 when every check held.
/// With @jobs > 1, that many seeds from options.seed on, as processes side by side.
int run_soak(const ToolOptions& options, double hours, unsigned jobs = 1);

}  // namespace fpsim
