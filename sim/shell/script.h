// SPDX-License-Identifier: MIT
// The shell language: one command per line, '#' starts a comment.  A script
// is parsed whole before anything runs, so that a mistake on line 40 does not
// leave the box half-driven.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/sim_time.h"
#include "micom/micom_model.h"

namespace fpsim {

enum class Verb {
    Boot, Unload, Cat, Echo, Press, FrontPower, MicomTime, MicomShow, Call, Wait, After,
    Date, Keymap, Poweroff, Flash, Log, Events, Wire, Fault, Help,
};

/// What a `fault` command does.
struct FaultSpec {
    enum class What {
        Help, Clear,
        LinkDrop, LinkCorrupt, LinkDuplicate, LinkStall,       // link: 0 primary, 1 isp
        MicomSilent, MicomNak, MicomPowerLoss,
        KernelMajorTaken, KernelIrqTaken, KernelProc, KernelInputAlloc, KernelInputRegister,
        KernelKthread, KernelUserCopy,
        VendorLladOpen, VendorGbusOpen, VendorRuaCreate, VendorRuaDestroy,
        ClockRequest,
    };
    What what = What::Help;
    int link = 0;
    double probability = 0;
    long number = 0;
    bool on = true;
    micom::IspStep step = micom::IspStep::Checksum;
};

/// The exported functions the shell can call, by their C signature.
enum class ExportKind { ULongVoid, IntVoid, VoidVoid, StringVoid, VoidString };

struct Command {
    Verb verb = Verb::Help;
    int line = 0;
    std::string text;               ///< echo: the text; call: the argument; flash: the image
    std::string proc;               ///< cat, echo: the /proc entry's name
    bool line_end = true;           ///< echo without -n
    uint8_t key_byte = 0;           ///< press, keymap
    bool has_value = false;         ///< keymap: a new key is given
    unsigned key = 0;               ///< keymap: the new key
    sim::Nanos duration = 0;        ///< press: hold; wait, after: delay
    micom::DateTime time;           ///< micom time
    std::string name;               ///< call: the function
    ExportKind export_kind = ExportKind::VoidVoid;
    bool build_a = true;            ///< flash
    FaultSpec fault;
    std::shared_ptr<Command> then;  ///< after: the command to run later
};

/// A mistake in a script, with the line it is on.
struct ParseError {
    int line;
    std::string message;
};

/// Parses one line (without its line end); nullopt for an empty or comment
/// line.  Throws ParseError.
std::optional<Command> parse_line(const std::string& line, int number);
/// Parses a whole script; throws ParseError at the first mistake.
std::vector<Command> parse_script(const std::string& text);

/// The text of `fault help`.
const char* fault_help();
/// The text of `help`.
const char* shell_help();

}  // namespace fpsim
