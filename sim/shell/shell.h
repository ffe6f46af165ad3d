// SPDX-License-Identifier: MIT
// The shell: runs parsed commands on one simulated box and prints what they
// show.  What was already shown by `log`, `events` and `wire` is remembered,
// so that each shows only what is new.
#pragma once

#include <csignal>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "box/box.h"
#include "script.h"
#include "userland/box_program.h"
#include "userland/program_runner.h"

namespace fpsim {

/// Options every fpsim command takes.
struct ToolOptions {
    uint64_t seed = 1;
    unsigned hz = 100;
    uint32_t baud = 115200;
    std::string vcd_path;   ///< trace of the whole run, written at the end
    std::string log_path;   ///< the whole kernel log, written at the end
    std::string objects_dir;  ///< the driver's and micomflash's objects, installed; empty: the build's
};

/// The box @o asks for.
sim::BoxConfig box_config(const ToolOptions& o);
/// Runs micomflash build A or B (from o.objects_dir when set) on @runner.
sim::userland::RunResult run_micomflash(sim::userland::ProgramRunner& runner, const ToolOptions& o,
                                        bool build_a, const std::vector<std::string>& args);

/// A command that could not be carried out.
struct RunError {
    int line;
    std::string message;
};

class Shell {
public:
    explicit Shell(const ToolOptions& options, FILE* out = stdout);
    ~Shell();

    sim::Box& box() { return *box_; }
    /// Messages of failed commands start with "fpsim: SOURCE:LINE: " (none
    /// when empty, as when typed at the shell).
    void set_source(const std::string& name) { source_ = name; }
    /// While *@flag is set, a command that lets virtual time pass stops and
    /// fails ("interrupted"): Ctrl-C at a terminal.  nullptr: none stops.
    void set_cancel_flag(const volatile std::sig_atomic_t* flag) { cancel_ = flag; }
    /// Runs one command; false when it failed (said on stderr).
    bool run(const Command& c);
    /// Whether the run ends here: quit, or an expect that did not hold.
    bool finished() const { return quit_ || expect_failed_; }
    bool quit_requested() const { return quit_; }
    /// The exit status of a run so far: 0 every command succeeded (or failed
    /// as an expect accepted), 1 one failed or an expect did not hold.
    int status() const { return expect_failed_ || failures_ > 0 ? 1 : 0; }
    /// Marks all logs as shown.
    void skip_shown();
    /// Writes the --vcd and --log files; false (with a message on stderr) on failure.
    bool write_traces();

    /// Runs micomflash; its output goes to @out, the status is returned.
    sim::userland::RunResult flash(bool build_a, const std::string& image);
    /// Runs micomflash as `flash` does: warnings about the image on stderr,
    /// its output and a verdict line on @out.  Empty when it exited with 0
    /// and the micom's flash equals the image, else what went wrong.  Throws
    /// RunError when it cannot run.
    std::string flash_with_verdict(bool build_a, const std::string& image);
    /// micomflash's exit status in the last flash, if it ran.
    std::optional<int> last_flash_status() const { return last_flash_status_; }

    // The commands' run functions, as the command table names them.
    void do_boot(const Command& c);
    void do_unload(const Command& c);
    void do_ls(const Command& c);
    void do_cat(const Command& c);
    void do_echo(const Command& c);
    void run_press(const Command& c);
    void press_later(const Command& c);
    void do_front_power(const Command& c);
    void front_power_later(const Command& c);
    void show_keys(const Command& c);
    void run_keymap(const Command& c);
    void do_micom_time(const Command& c);
    void micom_time_later(const Command& c);
    void show_micom(const Command& c);
    void do_micom_power_on(const Command& c);
    void micom_power_on_later(const Command& c);
    void run_call(const Command& c);
    void do_wait(const Command& c);
    void do_after(const Command& c);
    void do_date(const Command& c);
    void run_hwclock(const Command& c);
    void run_rtcwake(const Command& c);
    void do_poweroff(const Command& c);
    void do_flash(const Command& c);
    void do_log(const Command& c);
    void show_events(const Command& c);
    void do_wire(const Command& c);
    void run_fault(const Command& c);
    void check_expect(const Command& c);
    void do_sync(const Command& c);
    void do_help(const Command& c);
    void do_quit(const Command& c);

private:
    void print(const std::string& s);
    /// @text on stderr, with the source and line of @c in a script.
    void say(const Command& c, const std::string& text);
    /// A note on stderr about @c that does not make it fail.
    void warn(const Command& c, const std::string& message);
    /// The key byte the remote sends for input-layer @code: its own key, or
    /// one the driver's key map now gives that code.
    std::optional<uint8_t> remote_byte(unsigned code) const;
    /// The key byte that press sends for @c (throws when the remote has no such key).
    uint8_t press_byte(const Command& c) const;
    void show_keymap();
    void settle_key();
    /// Lets @dt of virtual time pass, in steps that a cancel stops.
    void advance(sim::Nanos dt);
    /// Throws RunError when the command was cancelled.
    void check_cancel() const;
    /// After a key that switched the box on: waits, as boot does, until the
    /// driver has loaded; RunError when it did not start.
    void wait_for_load(const Command& c, bool was_on);
    /// Lets the bytes that are on the wires arrive.
    void drain();
    sim::userland::ProgramRunner& runner();

    ToolOptions options_;
    FILE* out_;
    std::unique_ptr<sim::Box> box_;
    std::unique_ptr<sim::userland::ProgramRunner> runner_;
    sim::userland::BoxFiles box_files_;  ///< the box's /etc: what hwclock wrote
    size_t log_from_ = 0;
    size_t primary_from_ = 0, isp_from_ = 0;
    const sim::InputDevice* events_dev_ = nullptr;
    size_t events_from_ = 0;

    const volatile std::sig_atomic_t* cancel_ = nullptr;
    bool key_left_held_ = false;    ///< a press was stopped while its key was held
    std::string source_;
    std::string output_;            ///< what the command now running printed
    struct Outcome {
        bool ran = false;
        bool ok = true;
        bool accepted = false;      ///< its failure was expected
        std::string source, output, error;
        int line = 0;
    } last_;                        ///< the last command other than expect
    std::optional<int> last_flash_status_;
    unsigned failures_ = 0;         ///< failed commands that no expect accepted
    bool quit_ = false, expect_failed_ = false;
};

}  // namespace fpsim
