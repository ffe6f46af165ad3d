// SPDX-License-Identifier: MIT
// The shell: runs parsed commands on one simulated box and prints what they
// show.  What was already shown by `log`, `events` and `wire` is remembered,
// so that each shows only what is new.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "box.h"
#include "script.h"
#include "userland/program_runner.h"

namespace fpsim {

/// Options every fpsim command takes.
struct ToolOptions {
    uint64_t seed = 1;
    unsigned hz = 100;
    uint32_t baud = 115200;
    std::string vcd_path;   ///< trace of the whole run, written at the end
    std::string log_path;   ///< the whole kernel log, written at the end
};

/// A command that could not be carried out (the script stops there).
struct RunError {
    int line;
    std::string message;
};

class Shell {
public:
    explicit Shell(const ToolOptions& options, FILE* out = stdout);
    ~Shell();

    sim::Box& box() { return *box_; }
    /// Runs one command; throws RunError.
    void run(const Command& c);
    void run_all(const std::vector<Command>& script);
    /// Marks all logs as shown.
    void skip_shown();
    /// Writes the --vcd and --log files; false (with a message on stderr) on failure.
    bool write_traces();

    /// Runs micomflash; its output goes to @out, the status is returned.
    sim::userland::RunResult flash(bool build_a, const std::string& image);

private:
    void print(const std::string& s);
    void settle_key();
    /// Lets the bytes that are on the wires arrive.
    void drain();
    void run_call(const Command& c);
    void run_fault(const Command& c);
    void show_micom();
    void show_events();
    sim::userland::ProgramRunner& runner();

    ToolOptions options_;
    FILE* out_;
    std::unique_ptr<sim::Box> box_;
    std::unique_ptr<sim::userland::ProgramRunner> runner_;
    size_t log_from_ = 0;
    size_t primary_from_ = 0, isp_from_ = 0;
    const sim::InputDevice* events_dev_ = nullptr;
    size_t events_from_ = 0;
};

}  // namespace fpsim
