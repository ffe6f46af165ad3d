// SPDX-License-Identifier: MIT
#include "tool.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#ifdef FPSIM_HAVE_EDITLINE
#include <editline/readline.h>
#endif

namespace fpsim {

namespace {

constexpr const char* kUsage =
    "usage: fpsim [OPTIONS] shell [SCRIPT]     commands from SCRIPT, a pipe or the terminal\n"
    "       fpsim [OPTIONS] flash [--build a|b] IMAGE   boot, then run micomflash (build a by default)\n"
    "       fpsim [OPTIONS] demo [--out DIR]   the guided tour; its image and VCD go to DIR (.)\n"
    "       fpsim [OPTIONS] soak [--hours H] [--jobs N]   H simulated hours (default 1) of random use\n"
    "                    under faults; with --jobs, N seeds from --seed on side by side, summed up\n"
    "options:\n"
    "  --seed N     seed of every random choice (default 1)\n"
    "  --hz N       kernel tick rate, 1 to 10000 (default 100)\n"
    "  --baud N     speed of both serial lines in bit/s, 4800 to 4000000 (default 115200)\n"
    "  --vcd FILE   write a VCD trace of the whole run to FILE at its end (not with soak)\n"
    "  --log FILE   write the whole kernel log to FILE at its end (not with soak)\n"
    "  -h, --help   this text          --version   fpsim's version\n"
    "An option's value follows it (--seed 7) or is joined to it (--seed=7).\n"
    "Exit status: 0 all went well; 1 a command failed (a failed boot, read or write, a flash\n"
    "that did not leave the image in the micom, an expect that did not hold); 2 a mistake in\n"
    "the command line or a script.  In the shell, help lists the commands.\n";

#ifndef FPSIM_VERSION
#define FPSIM_VERSION "unknown"
#endif

int usage_error(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "fpsim: %s\n(fpsim --help shows the usage)\n", escape_controls(message).c_str());
    return 2;
}

int script_error(const std::string& file, int line, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "fpsim: %s:%d: %s\n", escape_controls(file).c_str(), line,
                 escape_controls(message).c_str());
    return 2;
}

bool whole_number(const std::string& s, uint64_t lo, uint64_t hi, uint64_t& v) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    v = std::strtoull(s.c_str(), nullptr, 10);
    return errno == 0 && v >= lo && v <= hi;
}

/// The trace files are written at the end of a run: a path that cannot be
/// written is found before the run starts.  An existing file is left as it
/// is until then (a script refused for its mistakes keeps an earlier trace).
bool output_file_writable(const std::string& option, const std::string& path, std::string& why) {
    if (path.empty())
        return true;
    struct stat st {};
    const bool existed = stat(path.c_str(), &st) == 0;
    FILE* f = existed && S_ISDIR(st.st_mode) ? (errno = EISDIR, nullptr) : std::fopen(path.c_str(), "a");
    if (!f) {
        why = "cannot write " + option + " file '" + path + "': " + std::strerror(errno);
        return false;
    }
    std::fclose(f);
    if (!existed)
        std::remove(path.c_str());
    return true;
}

// Ctrl-C at a terminal: at the prompt it drops the line typed so far; while
// a command runs it stops the command, as a shell's would.  The session and
// its box go on.
volatile std::sig_atomic_t g_cancel = 0;
volatile std::sig_atomic_t g_at_prompt = 0;
sigjmp_buf g_prompt;

extern "C" void on_ctrl_c(int) {
    if (g_at_prompt) {
        g_at_prompt = 0;
        siglongjmp(g_prompt, 1);
    }
    g_cancel = 1;
}

/// A line typed at the prompt; false at the end of input.
bool read_line(std::string& line) {
    if (sigsetjmp(g_prompt, 1) != 0) {
        std::fputs("^C\n", stdout);  // what was typed is dropped: a fresh prompt
        std::fflush(stdout);
#ifndef FPSIM_HAVE_EDITLINE
        std::cin.clear();
#endif
    }
    g_at_prompt = 1;
#ifdef FPSIM_HAVE_EDITLINE
    char* text = readline("fpsim> ");
    g_at_prompt = 0;
    if (!text)
        return false;
    line = text;
    if (!line.empty())
        add_history(text);
    std::free(text);
    return true;
#else
    std::fputs("fpsim> ", stdout);
    std::fflush(stdout);
    const bool got = bool(std::getline(std::cin, line));
    g_at_prompt = 0;
    return got;
#endif
}

/// Reads commands one line at a time from a terminal; a mistake is reported
/// and the shell goes on.
int interactive(Shell& shell) {
#ifndef FPSIM_HAVE_EDITLINE
    std::fprintf(stderr, "fpsim: no line editing or history: this fpsim was built without libedit "
                         "(apt-get install libedit-dev, then configure and build again)\n");
#endif
    std::fprintf(stderr, "fpsim %s: the simulated box; help lists the commands, quit ends\n", FPSIM_VERSION);
    struct sigaction sa {}, previous {};
    sa.sa_handler = on_ctrl_c;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, &previous);
    shell.set_cancel_flag(&g_cancel);
    int number = 0;
    bool mistakes = false;
    std::string line;
    while (!shell.quit_requested() && read_line(line)) {  // an expect that does not hold only says so
        ++number;
        g_cancel = 0;
        try {
            if (auto c = parse_line(line, number))
                shell.run(*c);
        } catch (const ParseError& e) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", escape_controls(e.message).c_str());
            mistakes = true;
        }
    }
    shell.set_cancel_flag(nullptr);
    sigaction(SIGINT, &previous, nullptr);
    if (!shell.quit_requested())
        std::fputs("\n", stdout);
    // as a script's: 1 when a command failed, an expect did not hold, or a
    // line was a mistake (which ran nothing, and the session went on)
    if (!shell.write_traces())
        return 1;
    return mistakes ? 1 : shell.status();
}

/// Runs commands as they come from a pipe, each line as soon as it is there:
/// another program can drive the box.  A mistake ends the run (status 2).
int piped(Shell& shell) {
    shell.set_source("stdin");
    std::string line;
    int number = 0;
    while (!shell.finished() && std::getline(std::cin, line)) {
        ++number;
        try {
            if (auto c = parse_line(line, number))
                shell.run(*c);
        } catch (const ParseError& e) {
            shell.write_traces();
            return script_error("stdin", e.line, e.message);
        }
    }
    return shell.write_traces() ? shell.status() : 1;
}

int run_shell(const ToolOptions& options, const std::string& file) {
    if (file.empty()) {
        Shell shell(options);
        return isatty(0) ? interactive(shell) : piped(shell);
    }
    // a script file is checked whole before anything runs
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return usage_error("cannot read script '" + file + "': " + std::strerror(errno));
    struct stat st {};
    if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode))  // it opens, but no read gives anything
        return usage_error("cannot read script '" + file + "': " + std::strerror(EISDIR));
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad())
        return usage_error("cannot read script '" + file + "': " + std::strerror(errno));
    std::vector<ParseError> mistakes;
    const std::vector<Command> script = parse_script(text.str(), mistakes);
    for (const auto& e : mistakes)
        script_error(file, e.line, e.message);
    if (!mistakes.empty())
        return 2;
    Shell shell(options);
    shell.set_source(file);
    for (const auto& c : script) {
        shell.run(c);
        if (shell.finished())
            break;
    }
    return shell.write_traces() ? shell.status() : 1;
}

int run_flash(const ToolOptions& options, bool build_a, const std::string& image) {
    // an image that cannot be read is a mistake in the command line: nothing runs
    struct stat st{};
    if (FILE* f = std::fopen(image.c_str(), "rb")) {
        const bool directory = fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode);
        std::fclose(f);
        if (directory)
            return usage_error("cannot open image '" + image + "': " + std::strerror(EISDIR));
    } else {
        return usage_error("cannot open image '" + image + "': " + std::strerror(errno));
    }
    Shell shell(options);
    int r = shell.box().boot();
    if (r != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "fpsim: boot: the driver did not start: %s (%d)\n", std::strerror(-r), r);
        shell.write_traces();
        return 1;
    }
    std::string problem;
    try {
        problem = shell.flash_with_verdict(build_a, image);
    } catch (const RunError& e) {
        problem = e.message;
    }
    std::fflush(stdout);
    if (!problem.empty())
        std::fprintf(stderr, "fpsim: %s\n", problem.c_str());
    if (!shell.write_traces())
        return 1;
    if (problem.empty())
        return 0;
    // micomflash's own status where it has one
    auto status = shell.last_flash_status();
    return status && *status != 0 ? *status : 1;
}

#ifndef FPSIM_OBJECTS_FROM_BIN
#define FPSIM_OBJECTS_FROM_BIN "../lib/fpsim"
#endif

/// The directory fpsim runs from.
std::string own_directory() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string path(buf, size_t(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

/// Whether @a and @b name the same directory.
bool same_directory(const std::string& a, const std::string& b) {
    struct stat sa{}, sb{};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

/// Where an installed fpsim finds the driver's and micomflash's objects
/// (beside its binary: ../lib/fpsim); empty when it runs from its build tree
/// and takes the objects built there.  An installed fpsim loads only what is
/// installed: @missing gets the first object that is not there.
std::string installed_objects(std::string& missing) {
    if (same_directory(own_directory(), FPSIM_BUILD_DIR))
        return "";
    std::string dir = own_directory() + "/" + FPSIM_OBJECTS_FROM_BIN;
    if (char* real = realpath(dir.c_str(), nullptr)) {
        dir = real;
        std::free(real);
    }
    for (const char* object : {"libfrontpanel_sim.so", "libmicomflash_a.so", "libmicomflash_b.so"})
        if (access((dir + "/" + object).c_str(), R_OK) != 0) {
            missing = dir + "/" + object;
            break;
        }
    return dir;
}

}  // namespace

/// Parses the command line and runs the command; its exit status.
static int run_tool(int argc, char** argv) {
    ToolOptions options;
    std::vector<std::string> positional;
    std::string build = "a";
    bool build_given = false;
    double hours = 1.0;
    bool hours_given = false;
    unsigned jobs = 1;
    bool jobs_given = false;
    std::string out_dir = ".";
    bool out_given = false;
    bool options_end = false;  // after "--" every word is an argument
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (options_end) {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options_end = true;
            continue;
        }
        if (arg == "-h" || arg == "--help")
            return std::fputs(kUsage, stdout), 0;
        if (arg == "--version")
            return std::printf("fpsim %s\n", FPSIM_VERSION), 0;
        if (arg.size() > 1 && arg[0] == '-') {
            size_t eq = arg.find('=');
            if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
            if (arg != "--seed" && arg != "--vcd" && arg != "--log" && arg != "--hz" &&
                arg != "--baud" && arg != "--build" && arg != "--hours" &&
                arg != "--jobs" && arg != "--out")
                return usage_error("unknown option '" + arg + "'");
            if (!has_value) {
                // the next word is the value, unless it is another option
                // (a negative number is a value, refused with its range)
                const bool next_is_option = i + 1 < argc && argv[i + 1][0] == '-' && argv[i + 1][1] != 0 &&
                                            !(argv[i + 1][1] >= '0' && argv[i + 1][1] <= '9');
                if (i + 1 >= argc || next_is_option)
                    return usage_error("option " + arg + " needs a value");
                value = argv[++i];
            }
            uint64_t n = 0;
            if (arg == "--seed") {
                if (!whole_number(value, 0, UINT64_MAX, n))
                    return usage_error("bad seed '" + value + "' (0 to 18446744073709551615)");
                options.seed = n;
            } else if (arg == "--hz") {
                if (!whole_number(value, 1, 10000, n))
                    return usage_error("bad tick rate '" + value + "' (1 to 10000)");
                options.hz = unsigned(n);
            } else if (arg == "--baud") {
                // below 4800 bit/s the driver's frames outlast its waits: nothing works
                if (!whole_number(value, 4800, 4000000, n))
                    return usage_error("bad line speed '" + value + "' (4800 to 4000000)");
                options.baud = uint32_t(n);
            } else if (arg == "--vcd" || arg == "--log") {
                if (value.empty())
                    return usage_error("option " + arg + " needs a file name");
                (arg == "--vcd" ? options.vcd_path : options.log_path) = value;
            } else if (arg == "--hours") {
                char* end = nullptr;
                hours = std::strtod(value.c_str(), &end);
                if (value.empty() || *end || !(hours > 0) || hours > 1e6)
                    return usage_error("bad number of hours '" + value + "' (more than 0, at most 1000000)");
                hours_given = true;
            } else if (arg == "--out") {
                if (value.empty())
                    return usage_error("option --out needs a directory");
                out_dir = value;
                out_given = true;
            } else if (arg == "--jobs") {
                if (!whole_number(value, 1, 1024, n))
                    return usage_error("bad number of jobs '" + value + "' (1 to 1024)");
                jobs = unsigned(n);
                jobs_given = true;
            } else {
                if (value != "a" && value != "b")
                    return usage_error("unknown build '" + value + "' (a or b)");
                build = value;
                build_given = true;
            }
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty())
        return usage_error("no command given (shell, flash, demo or soak)");
    const std::string& cmd = positional[0];
    if (cmd != "shell" && cmd != "flash" && cmd != "demo" && cmd != "soak")
        return usage_error("unknown command '" + cmd + "' (shell, flash, demo or soak)");
    if (build_given && cmd != "flash")
        return usage_error("--build belongs to flash");
    if (hours_given && cmd != "soak")
        return usage_error("--hours belongs to soak");
    if (jobs_given && cmd != "soak")
        return usage_error("--jobs belongs to soak");
    if (out_given && cmd != "demo")
        return usage_error("--out belongs to demo");
    if (cmd == "soak" && (!options.vcd_path.empty() || !options.log_path.empty()))
        return usage_error("soak writes no --vcd or --log (hours of them); to trace a failure, replay "
                           "its seed in the shell");
    const size_t arguments = cmd == "shell" ? 1 : cmd == "flash" ? 1 : 0;
    if (positional.size() - 1 > arguments || (cmd == "flash" && positional.size() != 2))
        return usage_error(cmd == "shell"   ? "shell takes at most one script file"
                           : cmd == "flash" ? "flash takes one image file"
                                            : cmd + " takes no argument");
    std::string missing;
    options.objects_dir = installed_objects(missing);
    if (!missing.empty()) {
        std::fprintf(stderr, "fpsim: cannot read %s: %s (an installed fpsim loads its objects from %s "
                             "only; install it again)\n",
                     escape_controls(missing).c_str(), std::strerror(errno),
                     escape_controls(options.objects_dir).c_str());
        return 2;
    }
    std::string why;
    if (!output_file_writable("--vcd", options.vcd_path, why) ||
        !output_file_writable("--log", options.log_path, why))
        return usage_error(why);
    if (cmd == "soak")
        return run_soak(options, hours, jobs);
    if (cmd == "shell")
        return run_shell(options, positional.size() == 2 ? positional[1] : "");
    if (cmd == "flash")
        return run_flash(options, build == "a", positional[1]);
    return run_demo(options, out_dir);
}

int tool_main(int argc, char** argv) {
    const int status = run_tool(argc, argv);
    // what could not be written to standard output (a full disk, > /dev/full)
    // fails the run
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "fpsim: cannot write standard output: %s\n", std::strerror(errno ? errno : EIO));
        return status > 1 ? status : 1;
    }
    return status;
}

}  // namespace fpsim
