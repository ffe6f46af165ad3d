// SPDX-License-Identifier: MIT
#include "script.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "durations.h"
#include "key_names.h"

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
        fail(line, "bad duration '" + s + "' (write e.g. 10us, 250ms, 2s)");
    return *d;
}

void expect_args(const std::vector<std::string>& w, size_t min, size_t max, int line,
                 const char* usage) {
    if (w.size() - 1 < min || w.size() - 1 > max)
        fail(line, std::string("usage: ") + usage);
}

/// "/proc/NAME" -> NAME.
std::string proc_name(const std::string& path, int line) {
    if (path.rfind("/proc/", 0) != 0 || path.size() == 6 || path.find('/', 6) != std::string::npos)
        fail(line, "'" + path + "' is not a /proc entry (write /proc/NAME)");
    return path.substr(6);
}

/// A key byte (0x49) or a key name that the remote has (KEY_UP).
uint8_t key_byte(const std::string& s, int line) {
    if (s.rfind("KEY_", 0) == 0) {
        auto code = key_code(s);
        if (!code)
            fail(line, "unknown key '" + s + "'");
        auto b = default_key_byte(*code);
        if (!b)
            fail(line, "the remote has no key " + s + " (give its key byte, e.g. 0x49)");
        return *b;
    }
    auto v = number(s, 0, 255);
    if (!v)
        fail(line, "bad key '" + s + "' (a name like KEY_UP or a byte like 0x49)");
    return uint8_t(*v);
}

micom::DateTime date_time(const std::string& d, const std::string& t, int line) {
    micom::DateTime dt;
    char tail = 0;
    if (std::sscanf(d.c_str(), "%4d-%2d-%2d%c", &dt.year, &dt.mon, &dt.day, &tail) != 3 ||
        std::sscanf(t.c_str(), "%2d:%2d:%2d%c", &dt.hour, &dt.min, &dt.sec, &tail) != 3 ||
        d.size() != 10 || t.size() != 8)
        fail(line, "bad date and time '" + d + " " + t + "' (write YYYY-MM-DD hh:mm:ss)");
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (dt.year % 4 == 0 && dt.year % 100 != 0) || dt.year % 400 == 0;
    // the clock record holds the years 1900 to 2099
    if (dt.year < 1900 || dt.year > 2099 || dt.mon < 1 || dt.mon > 12 || dt.day < 1 ||
        dt.day > days[dt.mon - 1] || (dt.mon == 2 && dt.day == 29 && !leap) || dt.hour > 23 ||
        dt.min > 59 || dt.sec > 59)
        fail(line, "date and time out of range: '" + d + " " + t + "' (years 1900-2099)");
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

FaultSpec parse_fault(const std::vector<std::string>& w, int line) {
    using W = FaultSpec::What;
    FaultSpec f;
    auto need = [&](size_t n) {
        if (w.size() != n)
            fail(line, "bad fault command (see fault help)");
    };
    if (w.size() < 2)
        fail(line, "usage: fault help");
    const std::string& what = w[1];
    if (what == "help") {
        need(2);
        f.what = W::Help;
    } else if (what == "clear") {
        need(2);
        f.what = W::Clear;
    } else if (what == "primary" || what == "isp") {
        need(4);
        f.link = what == "isp";
        if (w[2] == "stall") {
            f.what = W::LinkStall;
            auto n = number(w[3], 0, 1000000000);
            if (!n)
                fail(line, "bad byte count '" + w[3] + "'");
            f.number = *n;
        } else {
            if (w[2] == "drop")
                f.what = W::LinkDrop;
            else if (w[2] == "corrupt")
                f.what = W::LinkCorrupt;
            else if (w[2] == "duplicate")
                f.what = W::LinkDuplicate;
            else
                fail(line, "unknown link fault '" + w[2] + "' (see fault help)");
            char* end = nullptr;
            f.probability = std::strtod(w[3].c_str(), &end);
            if (*end || end == w[3].c_str() || !(f.probability >= 0 && f.probability <= 1))
                fail(line, "bad probability '" + w[3] + "' (0 to 1)");
        }
    } else if (what == "micom") {
        if (w.size() < 3)
            fail(line, "bad fault command (see fault help)");
        if (w[2] == "silent") {
            need(4);
            f.what = W::MicomSilent;
            f.on = on_off(w[3], line);
        } else if (w[2] == "power-loss") {
            need(3);
            f.what = W::MicomPowerLoss;
        } else if (w[2] == "nak") {
            need(5);
            f.what = W::MicomNak;
            static const struct {
                const char* name;
                micom::IspStep step;
            } steps[] = {{"checksum", micom::IspStep::Checksum},
                         {"erase", micom::IspStep::Erase},
                         {"erase-verify", micom::IspStep::EraseVerify},
                         {"block-program", micom::IspStep::BlockProgram},
                         {"byte", micom::IspStep::Byte},
                         {"block-verify", micom::IspStep::BlockVerify}};
            bool found = false;
            for (auto& s : steps)
                if (w[3] == s.name) {
                    f.step = s.step;
                    found = true;
                }
            if (!found)
                fail(line, "unknown programmer step '" + w[3] + "' (see fault help)");
            f.on = on_off(w[4], line);
        } else {
            fail(line, "unknown micom fault '" + w[2] + "' (see fault help)");
        }
    } else if (what == "kernel") {
        if (w.size() < 3)
            fail(line, "bad fault command (see fault help)");
        const std::string& k = w[2];
        if (k == "proc" || k == "user-copy") {
            need(4);
            auto n = number(w[3], 1, k == "proc" ? 10 : 1000000);
            if (!n)
                fail(line, "bad count '" + w[3] + "'");
            f.number = *n;
            f.what = k == "proc" ? W::KernelProc : W::KernelUserCopy;
        } else {
            need(3);
            if (k == "major-taken")
                f.what = W::KernelMajorTaken;
            else if (k == "irq-taken")
                f.what = W::KernelIrqTaken;
            else if (k == "input-alloc")
                f.what = W::KernelInputAlloc;
            else if (k == "input-register")
                f.what = W::KernelInputRegister;
            else if (k == "kthread")
                f.what = W::KernelKthread;
            else
                fail(line, "unknown kernel fault '" + k + "' (see fault help)");
        }
    } else if (what == "vendor") {
        if (w.size() < 3)
            fail(line, "bad fault command (see fault help)");
        if (w[2] == "llad-open" || w[2] == "gbus-open") {
            need(3);
            f.what = w[2] == "llad-open" ? W::VendorLladOpen : W::VendorGbusOpen;
        } else if (w[2] == "rua-create" || w[2] == "rua-destroy") {
            need(4);
            auto n = number(w[3], 0, 0x7fffffff);
            if (!n)
                fail(line, "bad status '" + w[3] + "'");
            f.number = *n;
            f.what = w[2] == "rua-create" ? W::VendorRuaCreate : W::VendorRuaDestroy;
        } else {
            fail(line, "unknown vendor fault '" + w[2] + "' (see fault help)");
        }
    } else if (what == "clock") {
        need(3);
        auto n = number(w[2], 0, 0xffffffff);
        if (!n)
            fail(line, "bad property number '" + w[2] + "'");
        f.what = W::ClockRequest;
        f.number = *n;
    } else {
        fail(line, "unknown fault '" + what + "' (see fault help)");
    }
    return f;
}

Command parse_command(const std::string& body, int line, bool scheduled);

Command parse_after(const std::vector<std::string>& w, const std::string& body, int line) {
    if (w.size() < 3)
        fail(line, "usage: after DURATION COMMAND");
    Command c;
    c.verb = Verb::After;
    c.duration = duration(w[1], line);
    // the rest of the line after the duration
    size_t at = body.find(w[1]) + w[1].size();
    c.then = std::make_shared<Command>(parse_command(trim(body.substr(at)), line, true));
    return c;
}

Command parse_command(const std::string& body, int line, bool scheduled) {
    const auto w = words(body);
    const std::string& verb = w[0];
    Command c;
    c.line = line;
    if (scheduled && verb != "press" && verb != "front-power" && verb != "micom" && verb != "fault")
        fail(line, "after takes a micom-side command (press, front-power, micom time, fault), not '" +
                       verb + "'");
    if (verb == "boot") {
        expect_args(w, 0, 0, line, "boot");
        c.verb = Verb::Boot;
    } else if (verb == "unload") {
        expect_args(w, 0, 0, line, "unload");
        c.verb = Verb::Unload;
    } else if (verb == "cat") {
        expect_args(w, 1, 1, line, "cat /proc/NAME");
        c.verb = Verb::Cat;
        c.proc = proc_name(w[1], line);
    } else if (verb == "echo") {
        c.verb = Verb::Echo;
        std::string rest = trim(body.substr(4));
        if (rest.rfind("-n", 0) == 0 && (rest.size() == 2 || rest[2] == ' ' || rest[2] == '\t')) {
            c.line_end = false;
            rest = trim(rest.substr(2));
        }
        size_t gt = rest.rfind('>');
        if (gt == std::string::npos)
            fail(line, "usage: echo [-n] TEXT > /proc/NAME");
        std::string text = trim(rest.substr(0, gt));
        if (text.size() >= 2 && text.front() == '"' && text.back() == '"')
            text = text.substr(1, text.size() - 2);
        else if (text.find('"') != std::string::npos)
            fail(line, "unbalanced quotes in echo text");
        c.text = text;
        c.proc = proc_name(trim(rest.substr(gt + 1)), line);
    } else if (verb == "press") {
        expect_args(w, 1, 2, line, "press KEY [DURATION]");
        c.verb = Verb::Press;
        c.key_byte = key_byte(w[1], line);
        c.duration = w.size() > 2 ? duration(w[2], line) : 100'000'000;
    } else if (verb == "front-power") {
        expect_args(w, 0, 0, line, "front-power");
        c.verb = Verb::FrontPower;
    } else if (verb == "micom") {
        if (w.size() == 4 && w[1] == "time") {
            c.verb = Verb::MicomTime;
            c.time = date_time(w[2], w[3], line);
        } else if (w.size() == 2 && w[1] == "show" && !scheduled) {
            c.verb = Verb::MicomShow;
        } else {
            fail(line, scheduled ? "usage: after DURATION micom time YYYY-MM-DD hh:mm:ss"
                                 : "usage: micom time YYYY-MM-DD hh:mm:ss | micom show");
        }
    } else if (verb == "call") {
        expect_args(w, 1, 2, line, "call NAME [ARG]");
        c.verb = Verb::Call;
        c.name = w[1];
        bool found = false;
        for (auto& e : kExports)
            if (c.name == e.name) {
                c.export_kind = e.kind;
                found = true;
            }
        if (!found)
            fail(line, "unknown exported function '" + c.name + "'");
        bool takes = c.export_kind == ExportKind::VoidString;
        if (takes && w.size() != 3)
            fail(line, c.name + " takes one argument");
        if (!takes && w.size() != 2)
            fail(line, c.name + " takes no argument");
        if (takes)
            c.text = w[2];
    } else if (verb == "wait") {
        expect_args(w, 1, 1, line, "wait DURATION");
        c.verb = Verb::Wait;
        c.duration = duration(w[1], line);
    } else if (verb == "after") {
        c = parse_after(w, body, line);
        c.line = line;
    } else if (verb == "date") {
        expect_args(w, 0, 0, line, "date");
        c.verb = Verb::Date;
    } else if (verb == "keymap") {
        expect_args(w, 1, 2, line, "keymap KEYBYTE [KEY]");
        c.verb = Verb::Keymap;
        auto b = number(w[1], 0, 255);
        if (!b)
            fail(line, "bad key byte '" + w[1] + "' (0x00 to 0xFF)");
        c.key_byte = uint8_t(*b);
        if (w.size() == 3) {
            c.has_value = true;
            auto k = key_code(w[2]);
            if (!k)
                k = number(w[2], 0, 0x2ff);
            if (!k)
                fail(line, "unknown key '" + w[2] + "'");
            c.key = *k;
        }
    } else if (verb == "poweroff") {
        expect_args(w, 0, 0, line, "poweroff");
        c.verb = Verb::Poweroff;
    } else if (verb == "flash") {
        expect_args(w, 2, 2, line, "flash a|b IMAGE");
        c.verb = Verb::Flash;
        if (w[1] != "a" && w[1] != "b")
            fail(line, "unknown build '" + w[1] + "' (a or b)");
        c.build_a = w[1] == "a";
        c.text = w[2];
        if (FILE* f = std::fopen(c.text.c_str(), "rb"))
            std::fclose(f);
        else
            fail(line, "cannot open image '" + c.text + "'");
    } else if (verb == "log") {
        expect_args(w, 0, 0, line, "log");
        c.verb = Verb::Log;
    } else if (verb == "events") {
        expect_args(w, 0, 0, line, "events");
        c.verb = Verb::Events;
    } else if (verb == "wire") {
        expect_args(w, 0, 1, line, "wire [primary|isp]");
        c.verb = Verb::Wire;
        if (w.size() > 1 && w[1] != "primary" && w[1] != "isp")
            fail(line, "unknown link '" + w[1] + "' (primary or isp)");
        c.text = w.size() > 1 ? w[1] : "";
    } else if (verb == "fault") {
        c.verb = Verb::Fault;
        c.fault = parse_fault(w, line);
        if (scheduled && c.fault.what == FaultSpec::What::Help)
            fail(line, "after cannot schedule fault help");
    } else if (verb == "help") {
        expect_args(w, 0, 0, line, "help");
        c.verb = Verb::Help;
    } else {
        fail(line, "unknown command '" + verb + "' (try help)");
    }
    c.line = line;
    return c;
}

}  // namespace

std::optional<Command> parse_line(const std::string& raw, int number) {
    std::string body = trim(strip_comment(raw));
    if (body.empty())
        return std::nullopt;
    return parse_command(body, number, false);
}

std::vector<Command> parse_script(const std::string& text) {
    std::vector<Command> script;
    int number = 0;
    size_t from = 0;
    while (from < text.size()) {
        size_t nl = text.find('\n', from);
        std::string line = text.substr(from, nl == std::string::npos ? std::string::npos : nl - from);
        from = nl == std::string::npos ? text.size() : nl + 1;
        ++number;
        if (auto c = parse_line(line, number))
            script.push_back(std::move(*c));
    }
    return script;
}

const char* fault_help() {
    return "fault clear                          every fault off (kernel faults of the next boot too)\n"
           "fault primary|isp drop P             each byte on the link is lost with probability P\n"
           "fault primary|isp corrupt P          each byte arrives with one bit flipped, probability P\n"
           "fault primary|isp duplicate P        each byte arrives twice, probability P\n"
           "fault primary|isp stall N            the micom stops sending after N more bytes (0: never)\n"
           "fault micom silent on|off            the normal firmware answers nothing\n"
           "fault micom nak STEP on|off          the flash programmer refuses STEP: checksum, erase,\n"
           "                                     erase-verify, block-program, byte, block-verify\n"
           "fault micom power-loss               the micom loses power now\n"
           "fault kernel major-taken             at the next boot another driver holds major 75\n"
           "fault kernel irq-taken               at the next boot another driver holds interrupt 10\n"
           "fault kernel proc N                  at the next boot the N-th /proc entry cannot be made\n"
           "fault kernel input-alloc             at the next boot the input device cannot be allocated\n"
           "fault kernel input-register          at the next boot the input device cannot be registered\n"
           "fault kernel kthread                 at the next boot no kernel thread can be created\n"
           "fault kernel user-copy N             the next N copies from or to user space fail\n"
           "fault vendor llad-open|gbus-open     micomflash cannot open llad or gbus\n"
           "fault vendor rua-create|rua-destroy S  the RUA instance request answers status S\n"
           "fault clock PROPERTY                 the clock generator fails requests of PROPERTY\n"
           "A fault can be scheduled: after 2s fault micom power-loss\n";
}

const char* shell_help() {
    return "boot                         switch the box on and start the driver\n"
           "unload                       stop the driver\n"
           "cat /proc/NAME               one read() of a /proc entry\n"
           "echo [-n] TEXT > /proc/NAME  write TEXT (and a line end unless -n)\n"
           "press KEY [DURATION]         the remote sends KEY (KEY_UP or 0x49), held (default 100ms)\n"
           "front-power                  the front panel sends its power frame\n"
           "micom time YYYY-MM-DD hh:mm:ss   set the micom's clock\n"
           "micom show                   the micom's state\n"
           "call NAME [ARG]              call an exported function of the driver\n"
           "wait DURATION                let virtual time pass (10us, 250ms, 2s)\n"
           "after DURATION COMMAND       press, front-power, micom time or fault, later\n"
           "date                         the kernel's wall clock\n"
           "keymap KEYBYTE [KEY]         read or change one entry of the key map\n"
           "poweroff                     the kernel's power-off path\n"
           "flash a|b IMAGE              run micomflash build A or B\n"
           "log | events                 kernel log, input events since the last look\n"
           "wire [primary|isp]           link frames and their meaning since the last look\n"
           "fault help                   fault injection\n";
}

}  // namespace fpsim
