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

#include "machine/sim_time.h"
#include "fault_table.h"
#include "micom/micom_model.h"

namespace fpsim {

class Shell;
struct Command;

/// A line being parsed: its words, the whole of it, where it is.
struct Parsing {
    const std::vector<std::string>& w;
    const std::string& body;
    int line;
    bool scheduled;  ///< the command of an after
};

enum : unsigned {
    kDrains = 1,  ///< the bytes it sent go out before the next command
    kExpect = 2,  ///< it checks the command before it (and is not itself checked)
};

/// One command of the shell language, all of it in one place: the parser
/// picks the entry by its first words and checks the number of arguments,
/// help prints its syntax, summary and details, the shell calls its run
/// function (or, scheduled by after, its later function).
struct CommandEntry {
    const char* name;     ///< the first word
    const char* sub;      ///< the second word, '|' between choices ("ok|fail"), or nullptr
    const char* alias;    ///< another first word (exit for quit), or nullptr
    const char* syntax;   ///< as help and a usage message show it
    const char* summary;  ///< help's line for it
    const char* details;  ///< more, for help COMMAND (nullptr: fault help's text)
    unsigned min_args, max_args;  ///< the words after the name, the second word included
    unsigned flags;
    void (*parse)(Command&, const Parsing&);  ///< the arguments (nullptr: none to read)
    void (Shell::*run)(const Command&);
    void (Shell::*later)(const Command&);     ///< run by after (nullptr: after cannot schedule it)
};

/// What an `expect` command checks about the command before it.
enum class ExpectKind {
    Ok,      ///< it succeeded
    Fail,    ///< it failed
    Error,   ///< it failed, and its message contains the text
    Output,  ///< its output contains the text
};

/// The exported functions the shell can call, by their C signature.
enum class ExportKind { ULongVoid, IntVoid, VoidVoid, StringVoid, VoidString };

struct Command {
    const CommandEntry* entry = nullptr;
    int line = 0;
    std::string source;             ///< the command as written (without its comment)
    std::string text;               ///< echo: the text; call: the argument; flash: the image;
                                    ///< expect: the text looked for; help: the command asked about
    std::string path;               ///< cat, echo: the file (/proc/NAME, /sys/class/rtc/...)
    std::vector<std::string> args;  ///< hwclock, rtcwake: the program's arguments
    bool line_end = true;           ///< echo without -n
    uint8_t key_byte = 0;           ///< press (unless by_name), keymap
    bool by_name = false;           ///< press: a key name (key) rather than a key byte
    bool has_byte = false;          ///< keymap: a key byte is given (else the whole table)
    bool has_value = false;         ///< keymap: a new key is given
    unsigned key = 0;               ///< keymap: the new key; press: the key by its code
    sim::Nanos duration = 0;        ///< press: hold; wait, after: delay
    micom::DateTime time;           ///< micom time
    std::string name;               ///< call: the function (empty: list them)
    ExportKind export_kind = ExportKind::VoidVoid;
    bool build_a = true;            ///< flash
    FaultSetting fault;
    ExpectKind expect = ExpectKind::Ok;
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
/// Parses a whole script; its mistakes, every one, go to @mistakes.
std::vector<Command> parse_script(const std::string& text, std::vector<ParseError>& mistakes);

/// @s with its control bytes but the line end written \xNN, for a message on a
/// terminal.
std::string escape_controls(const std::string& s);

/// The exported functions of the driver the shell can call, with their C
/// declarations, one a line.
std::string export_list();

/// The text of `help`, or of `help COMMAND` or `help COMMAND SUBCOMMAND` (nullopt: no such
/// command).
std::string shell_help();
std::optional<std::string> shell_help(const std::string& command);

}  // namespace fpsim
