// SPDX-License-Identifier: MIT
// hwclock of util-linux 2.38 as the box runs it: -r (--show), -w
// (--systohc), -s (--hctosys) through /dev/rtc0, with its output and its
// messages.  The box keeps its clock in UTC and its time zone is UTC.
#pragma once

#include <string>
#include <vector>

#include "userland/box_program.h"

namespace sim::userland {

/// Runs `hwclock ARGS...` in the current process of the box; its exit status.
int hwclock_main(BoxProgram& p, const std::vector<std::string>& args);

}  // namespace sim::userland
