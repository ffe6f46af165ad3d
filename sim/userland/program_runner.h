// SPDX-License-Identifier: MIT
// User programs on the simulated box: micomflash (build A or B) loaded
// afresh from its shared object for every run, run as a user process of the
// box, with its system calls, sleeps, shell commands, standard output and
// vendor-library calls served by the simulated kernel and SoC.
//
//     sim::Box box;
//     box.boot();
//     sim::userland::ProgramRunner runner(box);
//     auto r = runner.run(sim::userland::Build::A, {"/tmp/image.bin"});
//     // r.exit_status, r.out, box.micom().flash(), box.soc().gpio().writes() ...
//
// One runner per box; it must outlive every run and the box must outlive it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "box/box.h"
#include "micomflash_build.h"

namespace sim::userland {

using Build = micomflash::Build;

/// The shared object of a build, as the build tree made it.
std::string program_path(Build build);

/// Vendor-library calls that can be made to fail (the clock generator's
/// requests fail through the box's ClockGenerator::fail).
struct VendorFaults {
    bool llad_open_fails = false;       ///< llad_open returns null
    bool gbus_open_fails = false;       ///< gbus_open returns null
    int32_t rua_create_status = 6;      ///< RUACreateInstance answers this (6: an instance)
    int32_t rua_destroy_status = 6;     ///< RUADestroyInstance answers this
};

/// The outcome of one run of a program.
struct RunResult {
    bool loaded = false;          ///< the shared object was loaded and has micomflash_main
    bool completed = false;       ///< main returned (no deadlock, no power loss under way)
    bool unloaded = false;        ///< dlclose really unmapped the object afterwards
    int main_result = 0;          ///< what main returned
    int exit_status = 0;          ///< the status the shell sees (main's result & 0xFF)
    std::string out;              ///< everything written to standard output
    std::string err;              ///< everything written to standard error
    Nanos started = 0, ended = 0; ///< virtual time at the start and the end of the run
    double wall_seconds = 0;      ///< host time the run took
    double cpu_seconds = 0;       ///< host processor time the run used (all threads of the process)
    int files_left_open = 0;      ///< simulated files still open when main returned (closed at exit)

    Nanos duration() const { return ended - started; }
    /// Standard output split into lines (without their line ends).
    std::vector<std::string> lines() const;
};

class ProgramRunner {
public:
    explicit ProgramRunner(Box& box);
    ~ProgramRunner();
    ProgramRunner(const ProgramRunner&) = delete;
    ProgramRunner& operator=(const ProgramRunner&) = delete;

    /// The runner of the box the vendor calls act on, or null.
    static ProgramRunner* current();

    /// Runs @build with argv {"micomflash", args...}, from the world.
    RunResult run(Build build, const std::vector<std::string>& args);
    /// Runs the micomflash_main of the shared object at @path.
    RunResult run_object(const std::string& path, const std::vector<std::string>& args);

    Box& box() { return box_; }
    VendorFaults vendor_faults;
    /// Each program's image is mapped once for the process and its writable
    /// bytes, as the mapping left them, put back before every run (as the
    /// module loader's restoring mode does), instead of a dlopen() and a
    /// dlclose() per run: a run starts from the same load-time globals,
    /// without the mapping's page faults and unmapping (fpsim soak flashes
    /// a hundred times and more).  RunResult::unloaded is then false.
    bool keep_images = false;

    /// The vendor-library calls of all runs, in order ("llad_open 0", ...).
    const std::vector<std::string>& vendor_calls() const { return vendor_calls_; }
    void clear_vendor_calls() { vendor_calls_.clear(); }
    /// Calls with handles that were never handed out or are closed already.
    const std::vector<std::string>& vendor_misuse() const { return vendor_misuse_; }

    // ---- used by the vendor stand-ins ----
    void record_call(std::string call) { vendor_calls_.push_back(std::move(call)); }
    void record_misuse(std::string what) { vendor_misuse_.push_back(std::move(what)); }
    /// Handles of the vendor libraries: one of each kind, open or not.
    enum class Handle { Llad, Gbus, Rua };
    void* handle(Handle h) { return &handle_storage_[int(h)]; }
    bool handle_open(Handle h) const { return handle_open_[int(h)]; }
    void set_handle_open(Handle h, bool open) { handle_open_[int(h)] = open; }

private:
    Box& box_;
    std::vector<std::string> vendor_calls_;
    std::vector<std::string> vendor_misuse_;
    char handle_storage_[3] = {};
    bool handle_open_[3] = {};
};

}  // namespace sim::userland
