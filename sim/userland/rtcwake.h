// SPDX-License-Identifier: MIT
// rtcwake of util-linux 2.38 as the box runs it: -m no|off|show|disable
// with -s SECONDS or -t TIME_T, on /dev/rtc0 (or -d DEVICE).  The box has
// no system sleep states (no /sys/power/state): off, the one mode that
// powers it down, runs /sbin/shutdown -h -P now.
#pragma once

#include <string>
#include <vector>

#include "userland/box_program.h"

namespace sim::userland {

struct RtcwakeResult {
    int status = 0;
    bool shutdown = false;  ///< it ran shutdown -h -P now: the box powers off next
};

/// Runs `rtcwake ARGS...` in the current process of the box.
RtcwakeResult rtcwake_main(BoxProgram& p, const std::vector<std::string>& args);

}  // namespace sim::userland
