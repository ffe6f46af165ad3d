// SPDX-License-Identifier: MIT
#include "shell.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <utility>

#include "format.h"
#include "key_names.h"
#include "userland/hwclock.h"
#include "userland/rtcwake.h"
#include "vcd_writer.h"
#include "wire_format.h"

namespace fpsim {

sim::BoxConfig box_config(const ToolOptions& o) {
    sim::BoxConfig cfg;
    cfg.seed = o.seed;
    cfg.hz = o.hz;
    cfg.baud = o.baud;
    if (!o.objects_dir.empty())
        cfg.module_path = o.objects_dir + "/libfrontpanel_sim.so";
    return cfg;
}

sim::userland::RunResult run_micomflash(sim::userland::ProgramRunner& runner, const ToolOptions& o,
                                        bool build_a, const std::vector<std::string>& args) {
    const auto build = build_a ? sim::userland::Build::A : sim::userland::Build::B;
    if (o.objects_dir.empty())
        return runner.run(build, args);
    return runner.run_object(o.objects_dir + (build_a ? "/libmicomflash_a.so" : "/libmicomflash_b.so"), args);
}

namespace {

std::string date_text(const micom::DateTime& t) {
    return format("%04d-%02d-%02d %02d:%02d:%02d", t.year, t.mon, t.day, t.hour, t.min, t.sec);
}

const char* mode_name(micom::Mode m) {
    switch (m) {
    case micom::Mode::Off: return "off";
    case micom::Mode::Reset: return "reset";
    case micom::Mode::Normal: return "normal";
    case micom::Mode::Programmer: return "programmer";
    case micom::Mode::Halted: return "halted";
    }
    return "?";
}

// Why the micom, in mode @m, neither takes keys nor switches the box on;
// empty while its firmware runs.  Only a flash that finishes, or the loss
// of its own supply, gives it its firmware back (kMicomRecovery).
std::string micom_stuck(micom::Mode m) {
    switch (m) {
    case micom::Mode::Programmer: return "the micom runs its flash programmer";
    case micom::Mode::Halted: return "the micom's flash programmer started without its 8 MHz clock and runs nothing";
    default: return "";
    }
}

constexpr const char* kMicomRecovery =
    "fault micom power-loss, then micom power-on (on a box: unplug it and plug it in again)";

// Where the entries from number @from on start in a record that has dropped
// its first @dropped entries (all of them, if those went too).
size_t kept_from(size_t from, size_t dropped) { return from > dropped ? from - dropped : 0; }

// Longest the shell waits for a key's release or a frame to go out.
constexpr sim::Nanos kSettleLimit = 3600ull * 1000'000'000ull;

/// "No such file or directory" for -2.
std::string error_name(long ret) { return std::strerror(int(-ret)); }

/// A civil date and time of @ns nanoseconds since 1970 (before it too), with
/// microseconds: 1969-12-31 23:59:59.500000 for -0.5 s.
std::string wall_text(int64_t ns) {
    constexpr int64_t kSec = 1000'000'000;
    int64_t secs = ns / kSec, rem = ns % kSec;
    if (rem < 0) {
        rem += kSec;
        --secs;
    }
    const time_t t = time_t(secs);
    struct tm tm {};
    gmtime_r(&t, &tm);
    return format("%04d-%02d-%02d %02d:%02d:%02d.%06lld", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, (long long)(rem / 1000));
}

/// "0x04-0x1F" style list of the bytes in @bytes (ascending).
std::string byte_ranges(const std::vector<unsigned>& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size();) {
        size_t j = i;
        while (j + 1 < bytes.size() && bytes[j + 1] == bytes[j] + 1)
            ++j;
        out += (out.empty() ? "" : " ") + format("0x%02X", bytes[i]);
        if (j > i)
            out += format("-0x%02X", bytes[j]);
        i = j + 1;
    }
    return out;
}

/// @text with each run of lines that say the same after their time stamp
/// ("[    0.123456] ") cut to its first line and a count, as syslog does.
std::string summarise_repeats(const std::string& text) {
    std::string out, last, run_first;
    size_t repeats = 0;
    auto said = [](const std::string& line) {
        const size_t end = line.rfind("] ", 16);
        return line.rfind('[', 0) == 0 && end != std::string::npos ? line.substr(end + 2) : line;
    };
    auto flush = [&] {
        if (repeats == 1)
            out += run_first;
        else if (repeats > 1)
            out += format("(the line above %zu more times)\n", repeats);
        repeats = 0;
    };
    for (size_t at = 0; at < text.size();) {
        const size_t nl = text.find('\n', at);
        const std::string line = text.substr(at, nl == std::string::npos ? std::string::npos : nl + 1 - at);
        at = nl == std::string::npos ? text.size() : nl + 1;
        if (!out.empty() && said(line) == last) {
            if (repeats++ == 0)
                run_first = line;
            continue;
        }
        flush();
        out += line;
        last = said(line);
    }
    flush();
    return out;
}

constexpr const char* kNotAKey = "not a key byte: the driver ignores the remote sending it";

}  // namespace

Shell::Shell(const ToolOptions& options, FILE* out)
    : options_(options), out_(out), box_(std::make_unique<sim::Box>(box_config(options))) {}

Shell::~Shell() {
    runner_.reset();  // the runner goes before its box
}

void Shell::print(const std::string& s) {
    std::fwrite(s.data(), 1, s.size(), out_);
    output_ += s;
}

sim::userland::ProgramRunner& Shell::runner() {
    if (!runner_)
        runner_ = std::make_unique<sim::userland::ProgramRunner>(*box_);
    return *runner_;
}

void Shell::skip_shown() {
    log_from_ = box_->kernel().log().total();
    primary_from_ = box_->soc().primary().log_total();
    isp_from_ = box_->soc().isp().log_total();
    auto devs = box_->kernel().input().registered();
    events_dev_ = devs.empty() ? nullptr : devs[0];
    events_from_ = events_dev_ ? events_dev_->received().size() : 0;
}

void Shell::check_cancel() const {
    if (cancel_ && *cancel_)
        throw RunError{0, "interrupted"};
}

void Shell::advance(sim::Nanos dt) {
    if (!cancel_)
        return box_->machine().run_for(dt);
    constexpr sim::Nanos kStep = 100'000'000;
    for (sim::Nanos done = 0; done < dt; done += kStep) {
        check_cancel();
        box_->machine().run_for(std::min(kStep, dt - done));
    }
}

void Shell::settle_key() {
    auto& m = box_->micom();
    sim::Nanos waited = 0;
    while ((m.key_active() || box_->soc().primary().micom_busy()) && waited < kSettleLimit) {
        check_cancel();
        box_->machine().run_for(1'000'000);
        waited += 1'000'000;
    }
    // the driver takes the last frame in
    box_->machine().run_for(1'000'000);
}

void Shell::drain() {
    // bytes already on their way go out before the shell looks again
    for (int i = 0; i < 10000; ++i) {
        sim::Nanos last = 0;
        for (auto* link : {&box_->soc().primary(), &box_->soc().isp()})
            if (!link->log().empty())
                last = std::max(last, link->log().back().end);
        if (last <= box_->machine().now())
            break;
        box_->machine().run_for(last - box_->machine().now() + 1000);
    }
}

void Shell::say(const Command& c, const std::string& text) {
    std::fflush(out_);
    if (source_.empty())
        std::fprintf(stderr, "%s\n", escape_controls(text).c_str());
    else
        std::fprintf(stderr, "fpsim: %s:%d: %s\n", escape_controls(source_).c_str(), c.line,
                     escape_controls(text).c_str());
    std::fflush(stderr);
}

void Shell::warn(const Command& c, const std::string& message) { say(c, "warning: " + message); }

bool Shell::run(const Command& c) {
    output_.clear();
    bool ok = true;
    std::string error;
    try {
        (this->*c.entry->run)(c);
    } catch (const RunError& e) {
        ok = false;
        error = e.message;
        say(c, error);
    }
    if (c.entry->flags & kDrains)  // whether it failed or not
        drain();
    std::fflush(out_);
    if (!(c.entry->flags & kExpect)) {
        last_ = Outcome{true, ok, false, c.source, output_, error, c.line};
        if (!ok)
            ++failures_;
    }
    return ok;
}

void Shell::check_expect(const Command& c) {
    bool holds = false;
    std::string why;
    if (!last_.ran) {
        why = "no command before it";
    } else {
        const std::string before = format("line %d (%s) ", last_.line, last_.source.c_str());
        switch (c.expect) {
        case ExpectKind::Ok:
            holds = last_.ok;
            why = before + "failed";
            break;
        case ExpectKind::Fail:
            holds = !last_.ok;
            why = before + "succeeded";
            break;
        case ExpectKind::Error:
            holds = !last_.ok && last_.error.find(c.text) != std::string::npos;
            why = before + (last_.ok ? "succeeded" : "said: " + last_.error);
            break;
        case ExpectKind::Output:
            holds = last_.output.find(c.text) != std::string::npos;
            why = before + (last_.output.empty() ? "printed nothing" : "printed:\n" + last_.output);
            break;
        }
    }
    if (holds) {
        const bool wants_failure = c.expect == ExpectKind::Fail || c.expect == ExpectKind::Error;
        if (wants_failure && !last_.accepted) {
            --failures_;  // the failure was wanted
            last_.accepted = true;
        }
        return;
    }
    expect_failed_ = true;
    while (!why.empty() && why.back() == '\n')
        why.pop_back();
    const std::string what = c.source.substr(0, c.source.find_first_of(" \t", 7));
    throw RunError{c.line, what + (c.text.empty() ? "" : " \"" + c.text + "\"") + " does not hold: " + why};
}

void Shell::do_boot(const Command& c) {
    const bool loaded = box_->kernel().module_loaded();
    int r = box_->boot();
    if (r == -17 && loaded)  // EEXIST: from the loader, not from the driver's init
        throw RunError{c.line, "boot: the driver is already loaded (unload it first to load it afresh)"};
    if (const std::string why = micom_stuck(box_->micom().mode()); r == -EIO && !box_->powered() && !why.empty())
        throw RunError{c.line, "boot: the box cannot switch on: " + why +
                                   "; it does not switch the box on, and no flash runs on a box that is off; the "
                                   "micom runs its firmware again once it has lost its supply: " +
                                   kMicomRecovery};
    if (r)
        throw RunError{c.line, "boot: the driver did not start: " + error_name(r) + format(" (%d)", r)};
}

void Shell::do_unload(const Command& c) {
    if (!box_->kernel().module_loaded())
        throw RunError{c.line, "unload: the driver is not loaded"};
    int r = box_->kernel().unload_module();
    if (r)
        throw RunError{c.line, "unload: " + error_name(r)};
}

void Shell::do_ls(const Command& c) {
    if (!c.path.empty()) {
        const std::string dir = "/sys/class/rtc/rtc";
        const std::string id = c.path.substr(dir.size());
        const bool number = !id.empty() && id.size() < 4 && id.find_first_not_of("0123456789") == std::string::npos;
        const auto attrs = number ? box_->kernel().rtc().attributes(std::stoi(id)) : std::vector<std::string>{};
        if (attrs.empty())
            throw RunError{c.line, "ls " + c.path + ": No such file or directory"};
        for (const auto& a : attrs)
            print(a + "\n");
        return;
    }
    auto names = box_->kernel().procfs().names();
    std::sort(names.begin(), names.end());
    for (const auto& n : names)
        print(n + "\n");
}

void Shell::do_cat(const Command& c) {
    auto r = box_->kernel().file_read(c.path);
    box_->kernel().settle_work();
    if (r.ret < 0)
        throw RunError{c.line, "cat " + c.path + ": " + error_name(r.ret)};
    print(r.data);
}

void Shell::do_echo(const Command& c) {
    long r = box_->kernel().file_write(c.path, c.line_end ? c.text + "\n" : c.text);
    box_->kernel().settle_work();
    if (r < 0)
        throw RunError{c.line, "echo > " + c.path + ": " + error_name(r)};
}

void Shell::press_later(const Command& c) {
    box_->micom().press_key_now(press_byte(c), c.duration);
}

void Shell::do_front_power(const Command& c) {
    if (const std::string stuck = micom_stuck(box_->micom().mode()); !stuck.empty())
        warn(c, stuck + ", which takes no keys (micom show)");
    const bool was_on = box_->powered();
    box_->micom().press_front_power();
    settle_key();
    wait_for_load(c, was_on);
}

void Shell::wait_for_load(const Command& c, bool was_on) {
    if (was_on || !box_->powered())
        return;
    for (sim::Nanos waited = 0; box_->booting() && waited < kSettleLimit; waited += 1'000'000) {
        check_cancel();
        box_->machine().run_for(1'000'000);
    }
    if (const int r = box_->kernel().last_boot_result(); r != 0 && !box_->kernel().module_loaded())
        throw RunError{c.line, c.entry->name + std::string(": the box switched on, but the driver did not start: ") +
                                   error_name(r) + format(" (%d)", r)};
}

void Shell::front_power_later(const Command&) { box_->micom().press_front_power(); }

void Shell::do_micom_time(const Command& c) { box_->micom().set_time(c.time); }
void Shell::micom_time_later(const Command& c) { box_->micom().set_time(c.time); }
void Shell::do_micom_power_on(const Command&) { box_->micom().power_restore(); }
void Shell::micom_power_on_later(const Command&) { box_->micom().power_restore(); }
void Shell::do_wait(const Command& c) { advance(c.duration); }

void Shell::do_after(const Command& c) {
    std::shared_ptr<Command> later = c.then;
    // what it runs fails at its time: said then, and counted
    box_->machine().events().at(box_->machine().now() + c.duration, [this, later] {
        try {
            (this->*later->entry->later)(*later);
        } catch (const RunError& e) {
            say(*later, "after: " + e.message);
            ++failures_;
        }
    });
}

void Shell::do_date(const Command&) { print(wall_text(box_->kernel().wall_ns()) + "\n"); }
void Shell::do_poweroff(const Command&) { box_->kernel().poweroff(); }

namespace {

/// Runs @main as the program @name in a process of @box: its output to
/// @print, its messages on standard error; its exit status.
template <typename Main>
int run_box_program(sim::Box& box, sim::userland::BoxFiles& files, const char* name, Main main,
                    const std::function<void(const std::string&)>& print) {
    sim::userland::BoxProgram p(box, files, name);
    int status = 0;
    box.kernel().run_process(name, [&] {
        status = main(p);
        return 0;
    });
    box.kernel().settle_work();  // the kernel's work that its calls scheduled
    print(p.out);
    if (!p.err.empty()) {
        std::fwrite(p.err.data(), 1, p.err.size(), stderr);
        std::fflush(stderr);
    }
    return status;
}

}  // namespace

void Shell::run_hwclock(const Command& c) {
    std::fflush(out_);
    const int status = run_box_program(*box_, box_files_, "hwclock",
                                       [&](sim::userland::BoxProgram& p) { return sim::userland::hwclock_main(p, c.args); },
                                       [this](const std::string& s) { print(s); });
    if (status != 0)
        throw RunError{c.line, format("hwclock: exit status %d", status)};
}

void Shell::run_rtcwake(const Command& c) {
    std::fflush(out_);
    sim::userland::RtcwakeResult r;
    run_box_program(*box_, box_files_, "rtcwake",
                    [&](sim::userland::BoxProgram& p) {
                        r = sim::userland::rtcwake_main(p, c.args);
                        return r.status;
                    },
                    [this](const std::string& s) { print(s); });
    if (r.shutdown)
        box_->kernel().poweroff();  // what shutdown -h -P now comes to
    if (r.status != 0)
        throw RunError{c.line, format("rtcwake: exit status %d", r.status)};
}

void Shell::do_flash(const Command& c) {
    if (auto problem = flash_with_verdict(c.build_a, c.text); !problem.empty())
        throw RunError{c.line, problem};
}

void Shell::do_log(const Command&) {
    print(summarise_repeats(box_->kernel().log().format(kept_from(log_from_, box_->kernel().log().dropped()))));
    log_from_ = box_->kernel().log().total();
}

void Shell::do_wire(const Command& c) {
    auto& box = *box_;
    // c.text: "" both links, or "primary" or "isp" alone
    const bool primary = c.text != "isp", isp = c.text != "primary";
    auto record = [](const sim::SerialLink& link, size_t from) {
        const size_t dropped = link.log_dropped();
        return WireRecord{link.log(), kept_from(from, dropped), dropped > from ? dropped - from : 0, dropped > 0};
    };
    print(format_wire(record(box.soc().primary(), primary_from_), record(box.soc().isp(), isp_from_), primary, isp));
    if (primary)
        primary_from_ = box.soc().primary().log_total();
    if (isp)
        isp_from_ = box.soc().isp().log_total();
}

void Shell::do_sync(const Command& c) {
    drain();  // what the commands before it sent has arrived
    print(c.text + "\n");
}

void Shell::do_help(const Command& c) {
    print(c.text.empty() ? shell_help() : shell_help(c.text).value_or(""));
}

void Shell::do_quit(const Command&) { quit_ = true; }

std::optional<uint8_t> Shell::remote_byte(unsigned code) const {
    // the remote's key for it; else a byte the driver's key map now gives it
    std::optional<uint8_t> b = default_key_byte(code);
    auto devs = box_->kernel().input().registered();
    for (unsigned i = 0; !b && !devs.empty() && devs[0]->keycode && i < 256; ++i) {
        unsigned now = 0;
        if (accepted_key_byte(uint8_t(i)) && devs[0]->get_keycode(uint8_t(i), &now) == 0 && now == code)
            b = uint8_t(i);
    }
    return b;
}

uint8_t Shell::press_byte(const Command& c) const {
    if (!c.by_name)
        return c.key_byte;
    const std::optional<uint8_t> b = remote_byte(c.key);
    if (!b)
        throw RunError{c.line, "press: the remote has no key " + key_name(c.key) +
                                   " (map a key byte to it with keymap, or press a key byte)"};
    return *b;
}

void Shell::run_press(const Command& c) {
    auto& box = *box_;
    const uint8_t byte = press_byte(c);
    if (const std::string stuck = micom_stuck(box.micom().mode()); !stuck.empty())
        warn(c, stuck + ", which takes no keys (micom show)");
    else if (!box.micom().box_power() && byte != box.config().micom.power_key)
        warn(c, format("the box is off: the micom ignores 0x%02X (only the power key switches it on)", byte));
    else if (!accepted_key_byte(byte))
        warn(c, format("0x%02X is no key byte the driver takes: it ignores the remote sending it (a number "
                       "is a key byte; press a key by its name, e.g. KEY_UP)", byte));
    const bool was_on = box.powered();
    // a key a stopped press left held is let go at once, not at its time
    if (std::exchange(key_left_held_, false))
        box.micom().press_key_now(byte, c.duration);
    else
        box.micom().press_key(byte, c.duration);
    try {
        advance(c.duration);
    } catch (const RunError&) {
        key_left_held_ = true;
        throw;
    }
    settle_key();
    wait_for_load(c, was_on);
}

void Shell::run_keymap(const Command& c) {
    auto devs = box_->kernel().input().registered();
    if (devs.empty() || !devs[0]->keycode)
        throw RunError{c.line, "keymap: no input device (boot the box first)"};
    if (!c.has_byte)
        return show_keymap();
    if (c.has_value) {
        int r = devs[0]->set_keycode(box_->machine(), c.key_byte, c.key);
        if (r != 0)
            throw RunError{c.line, "keymap: the input layer refused the new entry: " + error_name(r)};
    }
    unsigned code = 0;
    if (devs[0]->get_keycode(c.key_byte, &code) != 0)
        throw RunError{c.line, "keymap: the input layer has no such entry"};
    print(format("0x%02X %s", c.key_byte, key_name(code).c_str()));
    print(accepted_key_byte(c.key_byte) ? "\n" : std::string(" (") + kNotAKey + ")\n");
}

void Shell::show_keymap() {
    const sim::InputDevice* dev = box_->kernel().input().registered()[0];
    std::map<unsigned, std::vector<unsigned>> others;  // code -> bytes the driver ignores
    for (unsigned i = 0; i < 256; ++i) {
        unsigned code = 0;
        if (dev->get_keycode(uint8_t(i), &code) != 0)
            continue;
        if (accepted_key_byte(uint8_t(i)))
            print(format("0x%02X %s\n", i, key_name(code).c_str()));
        else
            others[code].push_back(i);
    }
    for (const auto& [code, bytes] : others)
        print(format("%s %s (%s)\n", byte_ranges(bytes).c_str(), key_name(code).c_str(),
                     bytes.size() > 1 ? "not key bytes: the driver ignores the remote sending them"
                                      : kNotAKey));
}

void Shell::show_keys(const Command& c) {
    const bool remote_only = c.text == "remote";
    for (const auto& k : key_names()) {
        auto b = default_key_byte(k.code);
        if (b)
            print(format("%s %u remote 0x%02X\n", k.name, k.code, *b));
        else if (!remote_only)
            print(format("%s %u\n", k.name, k.code));
    }
}

sim::userland::RunResult Shell::flash(bool build_a, const std::string& image) {
    return run_micomflash(runner(), options_, build_a, {image});
}

namespace {

/// While a flash runs and standard error is a terminal: a line on it, now
/// and then, with the box time and the bytes on the ISP link so far.
class FlashProgress {
public:
    explicit FlashProgress(sim::Box& box) : box_(box), shown_(isatty(2) != 0) {
        if (shown_)
            schedule();
    }
    ~FlashProgress() {
        if (shown_) {
            box_.machine().events().cancel(next_);
            if (printed_)
                std::fputs("\r\033[K", stderr);
        }
    }

private:
    void schedule() {
        next_ = box_.machine().events().at(box_.machine().now() + 100'000'000, [this] {
            const auto wall = std::chrono::steady_clock::now();
            if (wall - last_ > std::chrono::milliseconds(250)) {
                last_ = wall;
                printed_ = true;
                std::fprintf(stderr, "\rflash: %.1f s of box time, %zu bytes on the ISP link\033[K",
                             sim::seconds(box_.machine().now()), box_.soc().isp().log().size());
                std::fflush(stderr);
            }
            schedule();
        });
    }

    sim::Box& box_;
    bool shown_;
    bool printed_ = false;
    uint64_t next_ = 0;
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace

std::string Shell::flash_with_verdict(bool build_a, const std::string& image) {
    // A directory opens but its read fails: that is an image that cannot be
    // read, like a missing one, not an empty image.
    std::vector<uint8_t> content;
    std::FILE* in = std::fopen(image.c_str(), "rb");
    bool read_ok = in != nullptr;
    int error = errno;
    if (in) {
        uint8_t chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
            content.insert(content.end(), chunk, chunk + n);
        read_ok = !std::ferror(in);
        error = errno;
        std::fclose(in);
    }
    constexpr size_t kFlashSize = 8192;
    std::fflush(out_);
    if (!read_ok)
        throw RunError{0, "flash: cannot read " + image + ": " + std::strerror(error)};
    if (content.empty())
        std::fprintf(stderr, "fpsim: warning: %s is empty: all zeros will be written\n", image.c_str());
    else if (content.size() > kFlashSize)
        std::fprintf(stderr, "fpsim: warning: %s is %zu bytes: only the first 8192 are written\n",
                     image.c_str(), content.size());
    content.resize(kFlashSize, 0);  // as micomflash pads a short image

    const sim::Nanos started = box_->machine().now();
    sim::userland::RunResult r;
    {
        FlashProgress progress(*box_);
        r = flash(build_a, image);
    }
    if (!r.loaded)
        throw RunError{0, "flash: the programmer could not be loaded"};
    last_flash_status_ = r.exit_status;
    print(summarise_repeats(r.out));
    if (!r.err.empty()) {  // micomflash's own messages, on standard error as it wrote them
        std::fflush(out_);
        std::fwrite(r.err.data(), 1, r.err.size(), stderr);
        std::fflush(stderr);
    }
    const auto& flash = box_->micom().flash();
    size_t differ = 0, first = 0;
    for (size_t i = kFlashSize; i-- > 0;)
        if (flash[i] != content[i]) {
            ++differ;
            first = i;
        }
    std::string verdict = differ == 0 ? "equals the image"
                                      : format("differs from the image in %zu bytes (the first at 0x%04zX)",
                                               differ, first);
    print(format("flash: exit %d, %.6f s of box time, the micom's flash %s\n", r.exit_status,
                 sim::seconds(box_->machine().now() - started), verdict.c_str()));
    if (r.exit_status != 0)
        return format("flash: micomflash exited with status %d", r.exit_status);
    return differ ? "flash: the micom's flash differs from the image" : "";
}

void Shell::run_call(const Command& c) {
    auto& box = *box_;
    if (c.name.empty())
        return print(export_list());
    if (!box.kernel().module_loaded() || !box.kernel().module_symbol(c.name.c_str()))
        throw RunError{c.line, "call: the driver is not loaded"};
    const char* name = c.name.c_str();
    switch (c.export_kind) {
    case ExportKind::ULongVoid:
        print(format("%lu\n", box.kernel().call_export<unsigned long>(name)));
        break;
    case ExportKind::IntVoid:
        print(format("%d\n", box.kernel().call_export<int>(name)));
        break;
    case ExportKind::StringVoid:
        if (const char* s = box.kernel().call_export<const char*>(name))
            print(std::string(s) + "\n");
        break;
    case ExportKind::VoidVoid:
        box.kernel().call_export<void>(name);
        break;
    case ExportKind::VoidString:
        box.kernel().call_export<void>(name, c.text.c_str());
        break;
    }
}

void Shell::run_fault(const Command& c) {
    // what the fault acts on (fault_table.h)
    struct Target final : FaultTarget {
        Shell& shell;
        explicit Target(Shell& s) : shell(s) {}
        sim::Box& box() override { return *shell.box_; }
        sim::userland::VendorFaults& vendor_faults() override { return shell.runner().vendor_faults; }
        void clear_vendor_faults() override {
            if (shell.runner_)
                shell.runner_->vendor_faults = {};
        }
        void print(const std::string& text) override { shell.print(text); }
    } target(*this);
    c.fault.entry->set(target, c.fault);
}

void Shell::show_micom(const Command&) {
    auto& m = box_->micom();
    print(format("power: %s\n", m.box_power() ? "on" : "off"));
    const std::string stuck = micom_stuck(m.mode());
    print(std::string("mode: ") + mode_name(m.mode()) +
          (stuck.empty() ? "" : std::string(" (no keys, the box not switched on, until a flash finishes or the micom "
                                            "loses its supply: ") + kMicomRecovery + ")") +
          "\n");
    print("time: " + date_text(m.time()) + "\n");
    auto leds = m.led_codes();
    if (leds.empty()) {
        print("led: none\n");
    } else {
        std::string all;
        for (uint8_t code : leds)
            all += format(" %02X", code);
        print(format("led: %02X (received:%s)\n", leds.back(), all.c_str()));
    }
    print(format("display clock: %s\n", m.clock_display() ? "on" : "off"));
    print("wake-up: " + (m.wake_up_stored() ? date_text(m.wake_up_time()) : std::string("none")) +
          "\n");
    print(format("flash checksum: 0x%04X\n", m.flash_checksum()));
}

void Shell::show_events(const Command& c) {
    const bool evtest = c.text == "evtest";
    auto show = [this, evtest](const sim::InputDevice* dev, size_t from) {
        const auto& ev = dev->received();
        for (size_t i = from; i < ev.size(); ++i) {
            const auto& e = ev[i];
            const double t = sim::seconds(e.t);
            if (evtest) {  // every event, as evtest prints them
                if (e.type == sim::kEvSyn)
                    print(format("Event: time %.6f, -------------- SYN_REPORT ------------\n", t));
                else
                    print(format("Event: time %.6f, type %u (%s), code %u (%s), value %d\n", t, e.type,
                                 e.type == sim::kEvKey ? "EV_KEY" : e.type == sim::kEvRep ? "EV_REP" : "?",
                                 e.code, e.type == sim::kEvKey ? key_name(e.code).c_str() : "?", e.value));
                continue;
            }
            if (e.type != sim::kEvKey)
                continue;
            const char* what = e.value == 0 ? "release" : e.value == 1 ? "press" : "repeat";
            print(format("%12.6f %-16s %s\n", t, key_name(e.code).c_str(), what));
        }
    };
    auto devs = box_->kernel().input().registered();
    const sim::InputDevice* now = devs.empty() ? nullptr : devs[0];
    if (events_dev_ && events_dev_ != now && box_->kernel().input().holds(events_dev_)) {
        // the device of an earlier boot (kept by the input core): its last events
        show(events_dev_, events_from_);
        events_from_ = 0;
    }
    events_dev_ = now;
    if (now) {
        show(now, events_from_);
        events_from_ = now->received().size();
    } else {
        events_from_ = 0;
    }
}

bool Shell::write_traces() {
    bool ok = true;
    if (!options_.vcd_path.empty() && !save_vcd(options_.vcd_path, *box_, 0, box_->machine().now())) {
        std::fprintf(stderr, "fpsim: cannot write %s\n", options_.vcd_path.c_str());
        ok = false;
    }
    if (!options_.log_path.empty()) {
        FILE* f = std::fopen(options_.log_path.c_str(), "w");
        const std::string text = box_->kernel().log().format();
        bool written = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
        if (f && std::fclose(f) != 0)
            written = false;
        if (!written) {
            std::fprintf(stderr, "fpsim: cannot write %s\n", options_.log_path.c_str());
            ok = false;
        }
    }
    return ok;
}

}  // namespace fpsim
