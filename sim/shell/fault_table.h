// SPDX-License-Identifier: MIT
// The faults of the fpsim shell in one table: each fault's words, its
// arguments, the text fault help gives it and what it sets.  The parser
// (script.cpp) reads a fault command by the table, `fault help` prints it,
// and tools/docs/check_fpsim_page.sh holds the list of fpsim(1) to it.
#pragma once

#include <array>
#include <span>
#include <string>

#include "box/box.h"
#include "micom/micom_model.h"
#include "userland/program_runner.h"

namespace fpsim {

/// An argument of a fault.
struct FaultArg {
    enum class Kind {
        None,         ///< (no argument)
        Probability,  ///< 0 to 1: FaultSetting::probability
        Number,       ///< a whole number from lo to hi: FaultSetting::number
        OnOff,        ///< on or off: FaultSetting::on
        Step,         ///< a step of the flash programmer (fault_steps()): FaultSetting::step
        Property,     ///< a property micomflash asks the clock generator for (clock_properties()):
                      ///< FaultSetting::number
    };
    Kind kind = Kind::None;
    const char* placeholder = nullptr;  ///< as fault help writes it: "P", "STEP", "on|off"
    const char* noun = nullptr;         ///< Number: what the message about a bad one calls it
    long lo = 0, hi = 0;                ///< Number: its range
};

struct FaultEntry;

/// A fault command, parsed: its fault and its arguments.
struct FaultSetting {
    const FaultEntry* entry = nullptr;
    int link = 0;  ///< a line fault's line: 0 primary, 1 isp
    double probability = 0;
    long number = 0;
    bool on = true;
    micom::IspStep step = micom::IspStep::Checksum;
};

/// What a fault acts on: the shell's box and programs.
class FaultTarget {
public:
    virtual sim::Box& box() = 0;
    /// The vendor library's faults for micomflash's runs (the programs'
    /// runner made if none is yet).
    virtual sim::userland::VendorFaults& vendor_faults() = 0;
    /// Every vendor fault off (nothing to do while no runner is made).
    virtual void clear_vendor_faults() = 0;
    virtual void print(const std::string& text) = 0;

protected:
    ~FaultTarget() = default;
};

/// The first words of a group of faults, and how a command of it is refused.
struct FaultGroup {
    const char* word;        ///< the word after fault; "primary|isp": either line
    const char* noun;        ///< "unknown NOUN fault": the group's faults have names (else nullptr)
    unsigned words;          ///< every command of the group has this many words, checked first (0: not)
    unsigned unknown_words;  ///< an unknown name is refused as such only in a command of this many
                             ///< words, else as a bad fault command (0: in any)
};

/// One fault of the shell.
struct FaultEntry {
    const char* group;             ///< its group's word (FaultGroup::word)
    const char* name;              ///< the word after the group, or nullptr (fault clear)
    std::array<FaultArg, 2> args;  ///< its arguments, in order
    /// fault help's text for it, lines after the first indented there; nullptr:
    /// it shares the line of the fault before (its name joined with '|');
    /// empty: not in the list (fault help itself).
    const char* help;
    bool schedulable;  ///< after can schedule it
    void (*set)(FaultTarget& target, const FaultSetting& setting);  ///< what it sets

    unsigned arg_count() const;
};

/// Every group of faults, in fault help's order.
std::span<const FaultGroup> fault_groups();
/// Every fault, in fault help's order.
std::span<const FaultEntry> fault_entries();

/// The steps of the flash programmer that fault micom nak names.
struct FaultStep {
    const char* name;
    micom::IspStep step;
};
std::span<const FaultStep> fault_steps();
/// The properties micomflash asks the clock generator for (fault clock).
std::span<const long> clock_properties();

/// The text of `fault help`, from the table.
std::string fault_help();

}  // namespace fpsim
