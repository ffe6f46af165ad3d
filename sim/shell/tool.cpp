// SPDX-License-Identifier: MIT
#include "tool.h"

#include <unistd.h>

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
    "usage: fpsim [OPTIONS] shell [FILE]        run shell commands (help lists them)\n"
    "       fpsim [OPTIONS] flash [--build a|b] IMAGE   boot, then run micomflash\n"
    "       fpsim [OPTIONS] demo                  the guided tour\n"
    "       fpsim [OPTIONS] soak [--hours H]      hours of random use under faults\n"
    "options: --seed N  --vcd FILE  --log FILE  --hz N  --baud N\n";

int usage_error(const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "fpsim: %s\n%s", message.c_str(), kUsage);
    return 2;
}

int script_error(const std::string& file, int line, const std::string& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "fpsim: %s:%d: %s\n", file.c_str(), line, message.c_str());
    return 2;
}

bool whole_number(const std::string& s, uint64_t lo, uint64_t hi, uint64_t& v) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 19)
        return false;
    v = std::strtoull(s.c_str(), nullptr, 10);
    return v >= lo && v <= hi;
}

/// Reads commands one line at a time from a terminal; a mistake is reported
/// and the shell goes on.
int interactive(Shell& shell) {
    int number = 0;
    for (;;) {
        std::string line;
#ifdef FPSIM_HAVE_EDITLINE
        char* text = readline("fpsim> ");
        if (!text)
            break;
        line = text;
        if (!line.empty())
            add_history(text);
        std::free(text);
#else
        std::fputs("fpsim> ", stdout);
        std::fflush(stdout);
        if (!std::getline(std::cin, line))
            break;
#endif
        ++number;
        try {
            if (auto c = parse_line(line, number))
                shell.run(*c);
        } catch (const ParseError& e) {
            script_error("stdin", e.line, e.message);
        } catch (const RunError& e) {
            script_error("stdin", e.line, e.message);
        }
    }
    std::fputs("\n", stdout);
    return shell.write_traces() ? 0 : 2;
}

int run_shell(const ToolOptions& options, const std::string& file) {
    std::string text;
    std::string name = file.empty() ? "stdin" : file;
    if (file.empty() && isatty(0)) {
        Shell shell(options);
        return interactive(shell);
    }
    if (file.empty()) {
        std::ostringstream s;
        s << std::cin.rdbuf();
        text = s.str();
    } else {
        std::ifstream in(file, std::ios::binary);
        if (!in)
            return usage_error("cannot read script '" + file + "'");
        std::ostringstream s;
        s << in.rdbuf();
        text = s.str();
    }
    std::vector<Command> script;
    try {
        script = parse_script(text);
    } catch (const ParseError& e) {
        return script_error(name, e.line, e.message);
    }
    Shell shell(options);
    try {
        shell.run_all(script);
    } catch (const RunError& e) {
        shell.write_traces();
        return script_error(name, e.line, e.message);
    }
    return shell.write_traces() ? 0 : 2;
}

int run_flash(const ToolOptions& options, bool build_a, const std::string& image) {
    if (FILE* f = std::fopen(image.c_str(), "rb"))
        std::fclose(f);
    else
        return usage_error("cannot open image '" + image + "'");
    Shell shell(options);
    int r = shell.box().boot();
    if (r != 0) {
        std::fflush(stdout);
        std::fprintf(stderr, "fpsim: boot failed: %d\n", r);
        return 2;
    }
    auto result = shell.flash(build_a, image);
    if (!result.loaded) {
        std::fprintf(stderr, "fpsim: the programmer could not be loaded\n");
        return 2;
    }
    std::fwrite(result.out.data(), 1, result.out.size(), stdout);
    std::fflush(stdout);
    if (!shell.write_traces())
        return 2;
    return result.exit_status;
}

/// The directory fpsim runs from (where the demo leaves its files).
std::string own_directory() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return ".";
    std::string path(buf, size_t(n));
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

int tool_main(int argc, char** argv) {
    ToolOptions options;
    std::vector<std::string> positional;
    std::string build = "a";
    bool build_given = false;
    double hours = 1.0;
    bool hours_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        if (arg.rfind("--", 0) == 0) {
            size_t eq = arg.find('=');
            if (eq != std::string::npos) {
                value = arg.substr(eq + 1);
                arg = arg.substr(0, eq);
                has_value = true;
            }
            if (arg == "--help")
                return std::fputs(kUsage, stdout), 0;
            if (arg != "--seed" && arg != "--vcd" && arg != "--log" && arg != "--hz" &&
                arg != "--baud" && arg != "--build" && arg != "--hours")
                return usage_error("unknown option '" + arg + "'");
            if (!has_value) {
                if (i + 1 >= argc)
                    return usage_error("option " + arg + " needs a value");
                value = argv[++i];
            }
            uint64_t n = 0;
            if (arg == "--seed") {
                if (!whole_number(value, 0, UINT64_MAX, n))
                    return usage_error("bad seed '" + value + "'");
                options.seed = n;
            } else if (arg == "--hz") {
                if (!whole_number(value, 1, 10000, n))
                    return usage_error("bad tick rate '" + value + "' (1 to 10000)");
                options.hz = unsigned(n);
            } else if (arg == "--baud") {
                if (!whole_number(value, 300, 4000000, n))
                    return usage_error("bad line speed '" + value + "' (300 to 4000000)");
                options.baud = uint32_t(n);
            } else if (arg == "--vcd") {
                options.vcd_path = value;
            } else if (arg == "--log") {
                options.log_path = value;
            } else if (arg == "--hours") {
                char* end = nullptr;
                hours = std::strtod(value.c_str(), &end);
                if (value.empty() || *end || !(hours > 0) || hours > 1e6)
                    return usage_error("bad number of hours '" + value + "'");
                hours_given = true;
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
        return usage_error("no command given");
    const std::string& cmd = positional[0];
    if (build_given && cmd != "flash")
        return usage_error("--build belongs to flash");
    if (hours_given && cmd != "soak")
        return usage_error("--hours belongs to soak");
    if (cmd == "soak") {
        if (positional.size() != 1)
            return usage_error("soak takes no argument");
        return run_soak(options, hours);
    }
    if (cmd == "shell") {
        if (positional.size() > 2)
            return usage_error("shell takes at most one script file");
        return run_shell(options, positional.size() == 2 ? positional[1] : "");
    }
    if (cmd == "flash") {
        if (positional.size() != 2)
            return usage_error("flash takes one image file");
        return run_flash(options, build == "a", positional[1]);
    }
    if (cmd == "demo") {
        if (positional.size() != 1)
            return usage_error("demo takes no argument");
        return run_demo(options, own_directory());
    }
    return usage_error("unknown command '" + cmd + "'");
}

}  // namespace fpsim
