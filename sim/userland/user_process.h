// SPDX-License-Identifier: MIT
// The user process that a ProgramRunner runs on the box: what its wrapped
// calls need to know about it.  Only one program runs at a time.
#pragma once

#include <set>
#include <string>

#include "box/box.h"

namespace sim::userland {

struct UserProcess {
    Box* box = nullptr;
    std::string out;         ///< its standard output
    std::string err;         ///< its standard error
    std::set<int> sim_files; ///< descriptors it holds on simulated files
};

/// The program running now, or null (its calls then go to the C library).
UserProcess* running_process();
void set_running_process(UserProcess* p);

/// Whether @path is a file of the simulated box rather than of the host.
bool is_simulated_path(const char* path);

/// Runs @command in the box's tiny shell on behalf of @p; the wait status
/// that system() returns.
int run_shell_command(UserProcess& p, const char* command);

}  // namespace sim::userland
