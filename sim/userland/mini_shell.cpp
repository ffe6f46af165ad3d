// SPDX-License-Identifier: MIT
// The box's tiny shell, as system() runs it for a user program: one simple
// command, words split on blanks with "..." and '...' quoting, and an output
// redirection "> FILE" or ">> FILE" onto a file of the simulated box.
// Commands: echo [-n] WORDS..., true, false, ":".  Its standard output and
// error are the program's.  Anything else is refused with the shell's
// message, and nothing on the host is ever touched.
#include <cstring>
#include <string>
#include <vector>

#include "userland/user_process.h"

namespace sim::userland {

namespace {

constexpr int kSyntaxError = 2, kNotFound = 127;

/// A wait status as system() returns it for a shell that exited with @code.
int exited(int code) { return (code & 0xFF) << 8; }

struct Command {
    std::vector<std::string> words;
    std::string redirect;  ///< file of "> FILE" / ">> FILE", or empty
    bool has_redirect = false;
};

/// Splits @text into words and one redirection; false on a syntax the
/// shell does not take (with @why set).
bool parse(const char* text, Command& cmd, std::string& why) {
    std::string word;
    bool in_word = false, want_target = false;
    auto end_word = [&] {
        if (!in_word)
            return;
        if (want_target) {
            cmd.redirect = word;
            want_target = false;
        } else {
            cmd.words.push_back(word);
        }
        word.clear();
        in_word = false;
    };
    for (const char* s = text; *s; ++s) {
        const char c = *s;
        if (c == ' ' || c == '\t' || c == '\n') {
            end_word();
        } else if (c == '"' || c == '\'') {
            const char* close = std::strchr(s + 1, c);
            if (!close) {
                why = "Syntax error: Unterminated quoted string";
                return false;
            }
            word.append(s + 1, close);
            in_word = true;
            s = close;
        } else if (c == '>') {
            end_word();
            if (cmd.has_redirect) {
                why = "more than one redirection";
                return false;
            }
            cmd.has_redirect = want_target = true;
            if (s[1] == '>')
                ++s;
        } else if (std::strchr(";&|<`$(){}\\*?[]~#", c)) {
            why = std::string("Syntax error: \"") + c + "\" is not understood by this shell";
            return false;
        } else {
            word += c;
            in_word = true;
        }
    }
    end_word();
    if (want_target || (cmd.has_redirect && cmd.redirect.empty())) {
        why = "Syntax error: newline unexpected";
        return false;
    }
    return true;
}

int echo(UserProcess& p, const Command& cmd) {
    size_t first = 1;
    bool newline = true;
    if (cmd.words.size() > 1 && cmd.words[1] == "-n") {
        newline = false;
        first = 2;
    }
    std::string text;
    for (size_t i = first; i < cmd.words.size(); ++i)
        text += (i > first ? " " : "") + cmd.words[i];
    if (newline)
        text += '\n';

    if (!cmd.has_redirect) {
        p.out += text;
        return exited(0);
    }
    if (!is_simulated_path(cmd.redirect.c_str())) {
        p.err += "sh: 1: cannot create " + cmd.redirect + ": Read-only file system\n";
        return exited(kSyntaxError);
    }
    Box& box = *p.box;
    const long fd = box.kernel().sys_open(cmd.redirect);
    if (fd < 0) {
        p.err += "sh: 1: cannot create " + cmd.redirect + ": " + std::strerror(int(-fd)) + "\n";
        return exited(kSyntaxError);
    }
    // echo writes its whole line with one write()
    const long written = box.kernel().sys_write(fd, text.data(), text.size());
    box.kernel().sys_close(fd);
    if (written < 0) {
        p.err += std::string("sh: 1: echo: echo: ") + std::strerror(int(-written)) + "\n";
        return exited(1);
    }
    return exited(0);
}

}  // namespace

int run_shell_command(UserProcess& p, const char* text) {
    Command cmd;
    std::string why;
    if (!parse(text, cmd, why)) {
        p.err += "sh: 1: " + why + "\n";
        return exited(kSyntaxError);
    }
    if (cmd.words.empty())
        return exited(0);
    const std::string& name = cmd.words[0];
    if (name == "echo")
        return echo(p, cmd);
    if (name == "true" || name == ":")
        return exited(0);
    if (name == "false")
        return exited(1);
    p.err += "sh: 1: " + name + ": not found\n";
    return exited(kNotFound);
}

}  // namespace sim::userland
