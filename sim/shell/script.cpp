// SPDX-License-Identifier: MIT
#include "script.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string_view>

#include "durations.h"
#include "key_names.h"
#include "shell.h"

namespace fpsim {

namespace {

[[noreturn]] void fail(int line, const std::string& message) { throw ParseError{line, message}; }

std::string trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

/// The line without its comment ('#' outside double quotes).
std::string strip_comment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == '#' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> v;
    std::string w;
    while (in >> w)
        v.push_back(w);
    return v;
}

/// A whole number in decimal or 0x hex, within [lo, hi].
std::optional<long> number(const std::string& s, long lo, long hi) {
    if (s.empty())
        return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0 ? 16 : 10);
    if (errno || *end || end == s.c_str() || s[0] == '-' || s[0] == '+' || v < lo || v > hi)
        return std::nullopt;
    return v;
}

sim::Nanos duration(const std::string& s, int line) {
    auto d = parse_duration(s);
    if (!d)
        fail(line, "bad duration '" + s + "' (a whole number and a unit, at most 24h: e.g. 10us, 250ms, 2s, 1m, 1h)");
    return *d;
}

/// "/proc/NAME" -> NAME.
std::string proc_name(const std::string& path, int line) {
    if (path.rfind("/proc/", 0) != 0 || path.size() == 6 || path.find('/', 6) != std::string::npos)
        fail(line, "'" + path + "' is not a /proc entry (write /proc/NAME)");
    return path.substr(6);
}

/// A file cat and echo reach: /proc/NAME, or one of the RTC class's sysfs files.
std::string file_path(const std::string& path, int line) {
    if (path.rfind("/sys/class/rtc/", 0) == 0)
        return path;
    if (path.rfind("/proc/", 0) != 0)
        fail(line, "'" + path + "' is no file of the box (/proc/NAME or /sys/class/rtc/rtc0/FILE)");
    return "/proc/" + proc_name(path, line);
}

bool is_key_name(const std::string& s) { return s.rfind("KEY_", 0) == 0 || s.rfind("BTN_", 0) == 0; }

/// press: a key name (KEY_UP, any of the input layer's) or a key byte (0x49).
void press_key_arg(Command& c, const std::string& s, int line) {
    if (is_key_name(s)) {
        auto code = key_code(s);
        if (!code)
            fail(line, "unknown key '" + s + "' (keys lists the names)");
        c.by_name = true;
        c.key = *code;
        return;
    }
    auto v = number(s, 0, 255);
    if (!v)
        fail(line, "bad key '" + s + "' (a name like KEY_UP or a key byte like 0x49)");
    c.key_byte = uint8_t(*v);
}

/// The rest of @body after its first @n words, without surrounding quotes.
std::string rest_text(const std::string& body, size_t n, int line) {
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        at = body.find_first_not_of(" \t", at);
        at = body.find_first_of(" \t", at);
        if (at == std::string::npos)
            return "";
    }
    std::string text = trim(body.substr(at));
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        return text.substr(1, text.size() - 2);
    if (text.find('"') != std::string::npos)
        fail(line, "unbalanced quotes");
    return text;
}

micom::DateTime date_time(const std::string& d, const std::string& t, int line) {
    micom::DateTime dt;
    char tail = 0;
    if (std::sscanf(d.c_str(), "%4d-%2d-%2d%c", &dt.year, &dt.mon, &dt.day, &tail) != 3 ||
        std::sscanf(t.c_str(), "%2d:%2d:%2d%c", &dt.hour, &dt.min, &dt.sec, &tail) != 3 ||
        d.size() != 10 || t.size() != 8)
        fail(line, "bad date and time '" + d + " " + t + "' (write YYYY-MM-DD hh:mm:ss)");
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (dt.year % 4 == 0 && dt.year % 100 != 0) || dt.year % 400 == 0;
    const int month_days = dt.mon >= 1 && dt.mon <= 12 ? (dt.mon == 2 && !leap ? 28 : days[dt.mon - 1]) : 31;
    // the clock record holds the years 1900 to 2099
    const char* wrong = dt.year < 1900 || dt.year > 2099 ? "the year (1900 to 2099)"
                        : dt.mon < 1 || dt.mon > 12    ? "the month (01 to 12)"
                        : dt.day < 1 || dt.day > month_days ? nullptr
                        : dt.hour > 23                 ? "the hour (00 to 23)"
                        : dt.min > 59                  ? "the minute (00 to 59)"
                        : dt.sec > 59                  ? "the second (00 to 59)"
                                                       : "";
    if (!wrong)
        fail(line, "date and time out of range: '" + d + " " + t + "': the day (01 to " +
                       std::to_string(month_days) + " in that month)");
    if (*wrong)
        fail(line, "date and time out of range: '" + d + " " + t + "': " + wrong);
    return dt;
}

struct ExportEntry {
    const char* name;
    ExportKind kind;
};

constexpr ExportEntry kExports[] = {
    {"get_RTC_time", ExportKind::ULongVoid},     {"set_RTC_time", ExportKind::VoidString},
    {"set_ALARM_time", ExportKind::VoidString},  {"get_ALARM_status", ExportKind::IntVoid},
    {"clear_ALARM_status", ExportKind::VoidVoid}, {"get_ALARM_time", ExportKind::ULongVoid},
    {"get_power_status", ExportKind::IntVoid},   {"set_LED", ExportKind::VoidString},
    {"get_tavix_model", ExportKind::StringVoid}, {"get_put_version", ExportKind::StringVoid},
    {"get_have_RF", ExportKind::IntVoid},
};

bool on_off(const std::string& s, int line) {
    if (s == "on")
        return true;
    if (s == "off")
        return false;
    fail(line, "expected on or off, not '" + s + "'");
}

/// Whether @word is one of the '|'-separated words of @subs.
bool sub_matches(const char* subs, const std::string& word) {
    const std::string all = std::string("|") + subs + "|";
    return !word.empty() && all.find("|" + word + "|") != std::string::npos;
}

/// A fault command (fault_table.h): its group, its fault, then the fault's arguments.
FaultSetting parse_fault(const std::vector<std::string>& w, int line) {
    auto need = [&](size_t n) {
        if (w.size() != n)
            fail(line, "bad fault command (see fault help)");
    };
    if (w.size() < 2)
        fail(line, "usage: fault help");
    FaultSetting f;
    const FaultGroup* group = nullptr;
    for (const FaultGroup& g : fault_groups())
        if (sub_matches(g.word, w[1]))
            group = &g;
    if (!group)
        fail(line, "unknown fault '" + w[1] + "' (see fault help)");
    f.link = w[1] == "isp";
    if (group->words)
        need(group->words);
    for (const FaultEntry& e : fault_entries())
        if (std::string_view(e.group) == group->word && (!e.name || (w.size() > 2 && w[2] == e.name)))
            f.entry = &e;
    if (!f.entry) {
        if (w.size() < 3)
            fail(line, "bad fault command (see fault help)");
        if (group->unknown_words)
            need(group->unknown_words);
        fail(line, std::string("unknown ") + group->noun + " fault '" + w[2] + "' (see fault help)");
    }
    const size_t first = f.entry->name ? 3 : 2;
    need(first + f.entry->arg_count());
    for (unsigned i = 0; i < f.entry->arg_count(); ++i) {
        const FaultArg& a = f.entry->args[i];
        const std::string& word = w[first + i];
        switch (a.kind) {
        case FaultArg::Kind::None:
            break;
        case FaultArg::Kind::Probability: {
            char* end = nullptr;
            f.probability = std::strtod(word.c_str(), &end);
            if (*end || end == word.c_str() || !(f.probability >= 0 && f.probability <= 1))
                fail(line, "bad probability '" + word + "' (0 to 1)");
            break;
        }
        case FaultArg::Kind::Number: {
            auto n = number(word, a.lo, a.hi);
            if (!n)
                fail(line, std::string("bad ") + a.noun + " '" + word + "' (" + std::to_string(a.lo) + " to " +
                               std::to_string(a.hi) + ")");
            f.number = *n;
            break;
        }
        case FaultArg::Kind::OnOff:
            f.on = on_off(word, line);
            break;
        case FaultArg::Kind::Step: {
            const auto steps = fault_steps();
            auto s = std::find_if(steps.begin(), steps.end(), [&](const FaultStep& s) { return word == s.name; });
            if (s == steps.end())
                fail(line, "unknown programmer step '" + word + "' (see fault help)");
            f.step = s->step;
            break;
        }
        case FaultArg::Kind::Property: {
            const auto known = clock_properties();
            auto n = number(word, 0, 0xffffffff);
            if (!n || std::find(known.begin(), known.end(), *n) == known.end())
                fail(line, "bad property '" + word + "' (4409, 4411 or 4417: the ones micomflash asks for)");
            f.number = *n;
            break;
        }
        }
    }
    return f;
}

// Each command's arguments, past the count its table entry checks.

void parse_ls(Command& c, const Parsing& p) {
    if (p.w.size() == 2 && p.w[1].rfind("/sys/class/rtc/rtc", 0) == 0)
        c.path = p.w[1].back() == '/' ? p.w[1].substr(0, p.w[1].size() - 1) : p.w[1];
    else if (p.w.size() == 2 && p.w[1] != "/proc" && p.w[1] != "/proc/")
        fail(p.line, "ls lists /proc and /sys/class/rtc/rtcN only");
}

/// hwclock, rtcwake: the words after the name, as the program's arguments.
void parse_program(Command& c, const Parsing& p) {
    c.args.assign(p.w.begin() + 1, p.w.end());
    if (c.entry->name == std::string("rtcwake"))
        for (size_t i = 0; i + 1 < c.args.size(); ++i)
            if ((c.args[i] == "-m" || c.args[i] == "--mode") && c.args[i + 1] == "on")
                fail(p.line, "rtcwake -m on would wait forever: the box's alarm acts only while it is off "
                             "(use -m off, no, show or disable)");
}

void parse_cat(Command& c, const Parsing& p) { c.path = file_path(p.w[1], p.line); }

void parse_echo(Command& c, const Parsing& p) {
    std::string rest = trim(p.body.substr(4));
    if (rest.rfind("-n", 0) == 0 && (rest.size() == 2 || rest[2] == ' ' || rest[2] == '\t')) {
        c.line_end = false;
        rest = trim(rest.substr(2));
    }
    size_t gt = rest.rfind('>');
    if (gt == std::string::npos)
        fail(p.line, "usage: echo [-n] TEXT > /proc/NAME");
    std::string text = trim(rest.substr(0, gt));
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
    else if (text.find('"') != std::string::npos)
        fail(p.line, "unbalanced quotes in echo text");
    c.text = text;
    c.path = file_path(trim(rest.substr(gt + 1)), p.line);
}

void parse_press(Command& c, const Parsing& p) {
    press_key_arg(c, p.w[1], p.line);
    c.duration = p.w.size() > 2 ? duration(p.w[2], p.line) : 100'000'000;
}

void parse_micom_time(Command& c, const Parsing& p) { c.time = date_time(p.w[2], p.w[3], p.line); }

void parse_call(Command& c, const Parsing& p) {
    const auto& w = p.w;
    if (w.size() == 1)
        return;  // the list of exported functions
    c.name = w[1];
    bool found = false;
    for (auto& e : kExports)
        if (c.name == e.name) {
            c.export_kind = e.kind;
            found = true;
        }
    if (!found)
        fail(p.line, "unknown exported function '" + c.name + "' (call alone lists them)");
    bool takes = c.export_kind == ExportKind::VoidString;
    if (takes && w.size() != 3)
        fail(p.line, c.name + " takes one argument");
    if (!takes && w.size() != 2)
        fail(p.line, c.name + " takes no argument");
    if (takes)
        c.text = w[2];
}

void parse_wait(Command& c, const Parsing& p) { c.duration = duration(p.w[1], p.line); }

Command parse_command(const std::string& body, int line, bool scheduled);

void parse_after(Command& c, const Parsing& p) {
    c.duration = duration(p.w[1], p.line);
    // the rest of the line after the duration
    size_t at = p.body.find(p.w[1]) + p.w[1].size();
    c.then = std::make_shared<Command>(parse_command(trim(p.body.substr(at)), p.line, true));
}

void parse_keymap(Command& c, const Parsing& p) {
    const auto& w = p.w;
    c.has_byte = w.size() > 1;
    auto b = c.has_byte ? number(w[1], 0, 255) : std::optional<long>(0);
    if (!b)
        fail(p.line, "bad key byte '" + w[1] + "' (0x00 to 0xFF)");
    c.key_byte = uint8_t(*b);
    if (w.size() == 3) {
        c.has_value = true;
        const auto by_name = key_code(w[2]);
        const auto by_number = number(w[2], 0, 0x2ff);
        if (by_name)
            c.key = *by_name;
        else if (by_number && !is_key_name(w[2]))
            c.key = unsigned(*by_number);
        else
            fail(p.line, "unknown key '" + w[2] + "' (a name that keys lists, or a code 0 to 767)");
    }
}

void parse_flash(Command& c, const Parsing& p) {
    if (p.w[1] != "a" && p.w[1] != "b")
        fail(p.line, "unknown build '" + p.w[1] + "' (a or b)");
    c.build_a = p.w[1] == "a";
    c.text = p.w[2];
    if (FILE* f = std::fopen(c.text.c_str(), "rb"))
        std::fclose(f);
    else
        fail(p.line, "cannot open image '" + c.text + "'");
}

void parse_wire(Command& c, const Parsing& p) {
    if (p.w.size() > 1 && p.w[1] != "primary" && p.w[1] != "isp")
        fail(p.line, "unknown link '" + p.w[1] + "' (primary or isp)");
    c.text = p.w.size() > 1 ? p.w[1] : "";
}

void parse_fault_command(Command& c, const Parsing& p) {
    c.fault = parse_fault(p.w, p.line);
    if (p.scheduled && !c.fault.entry->schedulable)
        fail(p.line, "after cannot schedule fault " + p.w[1]);
}

void parse_expect(Command& c, const Parsing& p) {
    const auto& w = p.w;
    if (w[1] == "ok" || w[1] == "fail") {
        c.expect = w[1] == "ok" ? ExpectKind::Ok : ExpectKind::Fail;
        return;
    }
    c.expect = w[1] == "output" ? ExpectKind::Output : ExpectKind::Error;
    c.text = rest_text(p.body, 2, p.line);
    if (c.text.empty())
        fail(p.line, "expect " + w[1] + " needs the text to look for");
}

/// An optional word, @word alone.
void optional_word(Command& c, const Parsing& p, const char* word) {
    if (p.w.size() > 1 && p.w[1] != word)
        fail(p.line, "unknown argument '" + p.w[1] + "' (" + word + " or none)");
    c.text = p.w.size() > 1 ? word : "";
}

void parse_keys(Command& c, const Parsing& p) { optional_word(c, p, "remote"); }
void parse_events(Command& c, const Parsing& p) { optional_word(c, p, "evtest"); }

void parse_sync(Command& c, const Parsing& p) {
    c.text = p.w.size() > 1 ? rest_text(p.body, 1, p.line) : "sync";
}

void parse_help(Command& c, const Parsing& p) {
    if (p.w.size() == 1)
        return;
    c.text = p.w[1] + (p.w.size() > 2 ? " " + p.w[2] : "");
    if (!shell_help(c.text))
        fail(p.line, "no command '" + c.text + "' (help lists them)");
}

constexpr unsigned kMany = 1000;
using S = Shell;

/// The shell's commands: the parser, help, and fpsim(1)'s check all read
/// this table, in this order.
const CommandEntry kCommands[] = {
    {"boot", nullptr, nullptr, "boot", "switch the box on (if off) and load the driver", "",
     0, 0, kDrains, nullptr, &S::do_boot, nullptr},
    {"unload", nullptr, nullptr, "unload", "unload the driver", "", 0, 0, kDrains, nullptr, &S::do_unload,
     nullptr},
    {"ls", nullptr, nullptr, "ls [/proc|/sys/class/rtc/rtc0]", "the /proc entries (or rtc0's files) that exist now",
     "", 0, 1, 0, parse_ls, &S::do_ls, nullptr},
    {"cat", nullptr, nullptr, "cat FILE", "one read() of up to 4096 bytes from /proc/NAME or a sysfs file",
     "FILE is /proc/NAME or a file of /sys/class/rtc/rtc0 (name, date, time, since_epoch,\n"
     "wakealarm, max_user_freq, hctosys, device/power/wakeup).\n",
     1, 1, kDrains, parse_cat, &S::do_cat, nullptr},
    {"echo", nullptr, nullptr, "echo [-n] TEXT > FILE",
     "one write() of TEXT and a line end (none with -n)",
     "TEXT may be in double quotes; it is written as it stands (no escapes).  FILE as for cat.\n",
     0, kMany, kDrains, parse_echo, &S::do_echo, nullptr},
    {"press", nullptr, nullptr, "press KEY [DURATION]",
     "the remote sends KEY, held for DURATION (default 100ms)",
     "KEY is a key name (KEY_UP; keys lists them) or a key byte (0x49, 73): a number is always\n"
     "the byte the remote sends, never a key code (press 103 sends 0x67, not KEY_UP), and one\n"
     "the driver does not take as a key is warned of.  A name is sent as\n"
     "the remote's key byte for it (the driver's default map; a key the remote lacks: the first\n"
     "byte the driver's key map now gives it).  While the box is off only KEY_POWER (0x01) does\n"
     "anything: it switches the box on.\n",
     1, 2, 0, parse_press, &S::run_press, &S::press_later},
    {"front-power", nullptr, nullptr, "front-power", "the front panel's power key",
     "With the box on it sends the power-key frame; with the box off it switches the box on.\n",
     0, 0, 0, nullptr, &S::do_front_power, &S::front_power_later},
    {"keys", nullptr, nullptr, "keys [remote]", "every key name with its code (and the remote's byte)",
     "With remote: only the remote's keys, each with the byte it sends.\n", 0, 1, 0, parse_keys,
     &S::show_keys, nullptr},
    {"keymap", nullptr, nullptr, "keymap [KEYBYTE [KEY]]",
     "the driver's key map: all of it, one entry, or a change",
     "KEYBYTE is a key byte, 0x00 to 0xFF, as in press; KEY a key name, or a number as the\n"
     "key code (0 to 767) the entry holds: the one place where a number is a key code.  The\n"
     "driver takes only the 43 bytes of the remote's keys as keys; the others are shown apart.\n",
     0, 2, kDrains, parse_keymap, &S::run_keymap, nullptr},
    {"micom", "time", nullptr, "micom time YYYY-MM-DD hh:mm:ss", "set the micom's clock (years 1900 to 2099)",
     "", 3, 3, 0, parse_micom_time, &S::do_micom_time, &S::micom_time_later},
    {"micom", "show", nullptr, "micom show", "the micom's state", "", 1, 1, 0, nullptr, &S::show_micom,
     nullptr},
    {"micom", "power-on", nullptr, "micom power-on",
     "the micom's supply returns after fault micom power-loss", "", 1, 1, 0, nullptr,
     &S::do_micom_power_on, &S::micom_power_on_later},
    {"call", nullptr, nullptr, "call [NAME [ARG]]",
     "call an exported function of the driver (alone: list them)", "", 0, 2, kDrains, parse_call,
     &S::run_call, nullptr},
    {"wait", nullptr, nullptr, "wait DURATION", "let virtual time pass", "", 1, 1, 0, parse_wait,
     &S::do_wait, nullptr},
    {"after", nullptr, nullptr, "after DURATION COMMAND",
     "press, front-power, micom time|power-on or fault, later",
     "The command runs DURATION from now, while the next commands run; a press then lets a key\n"
     "still held go first.\n",
     2, kMany, 0, parse_after, &S::do_after, nullptr},
    {"date", nullptr, nullptr, "date", "the kernel's wall clock", "", 0, 0, 0, nullptr, &S::do_date,
     nullptr},
    {"hwclock", nullptr, nullptr, "hwclock [-r|-w|-s] [-f DEV]", "util-linux's hwclock on /dev/rtc0",
     "-r (the default) prints the RTC's time as hwclock 2.38 does, once its second changed\n"
     "(it reads the clock until then: the device has no update interrupts); -w sets the RTC\n"
     "from the kernel's wall clock, -s the wall clock from the RTC.  Its messages are\n"
     "hwclock's own; it fails when hwclock exits with a status other than 0.\n",
     0, kMany, kDrains, parse_program, &S::run_hwclock, nullptr},
    {"rtcwake", nullptr, nullptr, "rtcwake -m MODE [-s N|-t T] [-d DEV]", "util-linux's rtcwake on /dev/rtc0",
     "MODE no sets the wake-up alarm N seconds ahead (or at T, seconds since 1970) and leaves\n"
     "it set; off sets it and powers the box off (shutdown -h -P now): the micom switches the\n"
     "box on at that time; show prints the alarm; disable disables it.  Its output and\n"
     "messages are rtcwake's own.\n",
     1, kMany, kDrains, parse_program, &S::run_rtcwake, nullptr},
    {"poweroff", nullptr, nullptr, "poweroff", "the kernel's power-off path", "", 0, 0, kDrains, nullptr,
     &S::do_poweroff, nullptr},
    {"flash", nullptr, nullptr, "flash a|b IMAGE", "run micomflash build A or B with IMAGE",
     "Its output, then a verdict line: the exit status, the box time it took, and whether the\n"
     "micom's flash now equals the image (padded with zeros to 8192 bytes).  It fails when the\n"
     "status is not 0 or the flash differs.  An empty image or one over 8192 bytes is warned of.\n",
     2, 2, 0, parse_flash, &S::do_flash, nullptr},
    {"log", nullptr, nullptr, "log", "the kernel log since the last look", "", 0, 0, 0, nullptr,
     &S::do_log, nullptr},
    {"events", nullptr, nullptr, "events [evtest]", "the input events since the last look",
     "One line a key event: time, key, press, repeat or release.  With evtest: every event,\n"
     "the synchronisation events too, with its type, code and value as evtest shows them.\n",
     0, 1, 0, parse_events, &S::show_events, nullptr},
    {"wire", nullptr, nullptr, "wire [primary|isp]", "link frames and their meaning since the last look",
     "Each frame's bytes, then after two spaces what it means (led 6, key 0x49 remote, set time\n"
     "...); a wrong checksum is marked.  On the ISP link each burst is named (sync, checksum,\n"
     "erase, block NN programming, ...) with the micom's echo and ACK or NAK.\n",
     0, 1, 0, parse_wire, &S::do_wire, nullptr},
    {"fault", nullptr, nullptr, "fault help", "fault injection", nullptr, 1, kMany, 0,
     parse_fault_command, &S::run_fault, &S::run_fault},
    {"expect", "ok|fail", nullptr, "expect ok|fail", "the command before succeeded, or failed", "",
     1, 1, kExpect, parse_expect, &S::check_expect, nullptr},
    {"expect", "output|error", nullptr, "expect output|error TEXT",
     "its output, or its error message, contains TEXT",
     "An expect that does not hold stops a script with status 1.  A failure that expect fail or\n"
     "expect error accepts does not count against the exit status.\n",
     1, kMany, kExpect, parse_expect, &S::check_expect, nullptr},
    {"sync", nullptr, nullptr, "sync [TEXT]", "print TEXT (sync) once every command before it is done",
     "For a program driving fpsim through a pipe: boot, wait, press and others print nothing,\n"
     "so it writes sync after them and reads up to the line TEXT.  The bytes already on their\n"
     "way have arrived by then; what after scheduled is still to come.\n",
     0, kMany, kDrains, parse_sync, &S::do_sync, nullptr},
    {"help", nullptr, nullptr, "help [COMMAND]", "this list, or more on one command", "", 0, 2, 0,
     parse_help, &S::do_help, nullptr},
    {"quit", nullptr, "exit", "quit", "end the shell (so does the end of input)", "", 0, 0, 0, nullptr,
     &S::do_quit, nullptr},
};

bool names(const CommandEntry& e, const std::string& word) {
    return word == e.name || (e.alias && word == e.alias);
}

/// Whether @word is one of the '|'-separated words of @subs.
std::string schedulable_list() {
    std::string out;
    for (const auto& e : kCommands)
        if (e.later)
            out += (out.empty() ? "" : ", ") + std::string(e.name) + (e.sub ? std::string(" ") + e.sub : "");
    return out;
}

Command parse_command(const std::string& body, int line, bool scheduled) {
    const auto w = words(body);
    const std::string& verb = w[0];
    std::vector<const CommandEntry*> group;
    for (const auto& e : kCommands)
        if (names(e, verb) && (!scheduled || e.later))
            group.push_back(&e);
    if (group.empty()) {
        if (scheduled)
            fail(line, "after takes a micom-side command (" + schedulable_list() + "), not '" + verb + "'");
        fail(line, "unknown command '" + verb + "' (try help)");
    }
    const CommandEntry* entry = group.size() == 1 && !group[0]->sub ? group[0] : nullptr;
    for (const auto* e : group)
        if (e->sub && w.size() > 1 && sub_matches(e->sub, w[1]))
            entry = e;
    if (!entry) {
        std::string usage = "usage: ";
        for (size_t i = 0; i < group.size(); ++i)
            usage += (i ? " | " : scheduled ? "after DURATION " : "") + std::string(group[i]->syntax);
        fail(line, usage);
    }
    if (w.size() - 1 < entry->min_args || w.size() - 1 > entry->max_args)
        fail(line, std::string("usage: ") + entry->syntax);
    Command c;
    c.entry = entry;
    c.line = line;
    c.source = body;
    if (entry->parse)
        entry->parse(c, Parsing{w, body, line, scheduled});
    return c;
}

}  // namespace

std::optional<Command> parse_line(const std::string& raw, int number) {
    std::string body = trim(strip_comment(raw));
    if (body.empty())
        return std::nullopt;
    return parse_command(body, number, false);
}

std::vector<Command> parse_script(const std::string& text, std::vector<ParseError>& mistakes) {
    std::vector<Command> script;
    int number = 0;
    size_t from = 0;
    while (from < text.size()) {
        size_t nl = text.find('\n', from);
        std::string line = text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        from = nl == std::string::npos ? text.size() : nl + 1;
        ++number;
        try {
            if (auto c = parse_line(line, number)) {
                if ((c->entry->flags & kExpect) && script.empty())
                    fail(number, "expect has no command before it to check");
                script.push_back(std::move(*c));
            }
        } catch (const ParseError& e) {
            mistakes.push_back(e);  // the next lines are checked too
        }
    }
    return script;
}

std::string escape_controls(const std::string& s) {
    std::string out;
    for (unsigned char ch : s) {
        if ((ch < 0x20 && ch != '\n') || ch == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", ch);
            out += buf;
        } else {
            out += char(ch);
        }
    }
    return out;
}

std::string export_list() {
    std::string out;
    for (const auto& e : kExports) {
        const char* ret = "void ";
        const char* arg = "void";
        switch (e.kind) {
        case ExportKind::ULongVoid: ret = "unsigned long "; break;
        case ExportKind::IntVoid: ret = "int "; break;
        case ExportKind::StringVoid: ret = "const char *"; break;
        case ExportKind::VoidString: arg = "const char *"; break;
        case ExportKind::VoidVoid: break;
        }
        out += std::string(ret) + e.name + "(" + arg + ")\n";
    }
    return out;
}

namespace {

constexpr const char* kHelpFooter =
    "DURATION: a whole number and a unit: ns, us, ms, s, m, h (10us, 250ms, 2s, 1m), at most 24h.\n"
    "KEY: a key name (keys lists them) or a key byte (0x49 or 73): a number is a key byte.\n"
    "KEY of keymap alone takes a number as a key code.  '#' starts a comment.\n"
    "A failed command says so on standard error; a script goes on, and exits with status 1.\n";

/// help's line for @e: its syntax, then its summary from the 32nd column.
std::string help_line(const CommandEntry& e) {
    std::string s = e.syntax;
    s.resize(std::max<size_t>(s.size() + 1, 31), ' ');
    return s + e.summary + "\n";
}

}  // namespace

std::string shell_help() {
    std::string out;
    for (const auto& e : kCommands)
        out += help_line(e);
    return out + kHelpFooter;
}

std::optional<std::string> shell_help(const std::string& command) {
    // "micom" shows all of its forms, "micom time" that one
    const auto w = words(command);
    std::string lines, details;
    for (const auto& e : kCommands) {
        if (w.empty() || !names(e, w[0]) || (w.size() > 1 && !(e.sub && sub_matches(e.sub, w[1]))))
            continue;
        lines += help_line(e);
        details += e.details ? e.details : fault_help();
    }
    if (lines.empty() || w.size() > 2)
        return std::nullopt;
    return lines + details;
}

}  // namespace fpsim
