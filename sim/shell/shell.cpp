// SPDX-License-Identifier: MIT
#include "shell.h"

#include <algorithm>
#include <ctime>

#include "key_names.h"
#include "vcd_writer.h"
#include "wire_format.h"

namespace fpsim {

namespace {

sim::BoxConfig box_config(const ToolOptions& o) {
    sim::BoxConfig cfg;
    cfg.seed = o.seed;
    cfg.hz = o.hz;
    cfg.baud = o.baud;
    return cfg;
}

std::string format(const char* fmt, auto... args) {
    char buf[256];
    std::snprintf(buf, sizeof buf, fmt, args...);
    return buf;
}

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

// Where the entries from number @from on start in a record that has dropped
// its first @dropped entries (all of them, if those went too).
size_t kept_from(size_t from, size_t dropped) { return from > dropped ? from - dropped : 0; }

// Longest the shell waits for a key's release or a frame to go out.
constexpr sim::Nanos kSettleLimit = 3600ull * 1000'000'000ull;

}  // namespace

Shell::Shell(const ToolOptions& options, FILE* out)
    : options_(options), out_(out), box_(std::make_unique<sim::Box>(box_config(options))) {}

Shell::~Shell() {
    runner_.reset();  // the runner goes before its box
}

void Shell::print(const std::string& s) { std::fwrite(s.data(), 1, s.size(), out_); }

sim::userland::ProgramRunner& Shell::runner() {
    if (!runner_)
        runner_ = std::make_unique<sim::userland::ProgramRunner>(*box_);
    return *runner_;
}

void Shell::skip_shown() {
    log_from_ = box_->log().total();
    primary_from_ = box_->primary().log_total();
    isp_from_ = box_->isp().log_total();
    auto devs = box_->input().registered();
    events_dev_ = devs.empty() ? nullptr : devs[0];
    events_from_ = events_dev_ ? events_dev_->received().size() : 0;
}

void Shell::settle_key() {
    auto& m = box_->micom();
    sim::Nanos waited = 0;
    while ((m.key_active() || box_->primary().micom_busy()) && waited < kSettleLimit) {
        box_->run_for(1'000'000);
        waited += 1'000'000;
    }
    // the driver takes the last frame in
    box_->run_for(1'000'000);
}

void Shell::drain() {
    // bytes already on their way go out before the shell looks again
    for (int i = 0; i < 10000; ++i) {
        sim::Nanos last = 0;
        for (auto* link : {&box_->primary(), &box_->isp()})
            if (!link->log().empty())
                last = std::max(last, link->log().back().end);
        if (last <= box_->now())
            break;
        box_->run_for(last - box_->now() + 1000);
    }
}

void Shell::run_all(const std::vector<Command>& script) {
    for (const auto& c : script)
        run(c);
}

void Shell::run(const Command& c) {
    auto& box = *box_;
    switch (c.verb) {
    case Verb::Boot: {
        int r = box.boot();
        if (r)
            print(format("boot failed: %d\n", r));
        break;
    }
    case Verb::Unload: {
        int r = box.unload_module();
        if (r)
            print(format("unload failed: %d\n", r));
        break;
    }
    case Verb::Cat: {
        auto r = box.proc_read(c.proc);
        if (r.ret < 0)
            print(format("read failed: %ld\n", r.ret));
        else
            print(r.data);
        break;
    }
    case Verb::Echo: {
        long r = box.proc_write(c.proc, c.line_end ? c.text + "\n" : c.text);
        if (r < 0)
            print(format("write failed: %ld\n", r));
        break;
    }
    case Verb::Press:
        box.micom().press_key(c.key_byte, c.duration);
        box.run_for(c.duration);
        settle_key();
        break;
    case Verb::FrontPower:
        box.micom().press_front_power();
        settle_key();
        break;
    case Verb::MicomTime:
        box.micom().set_time(c.time);
        break;
    case Verb::MicomShow:
        show_micom();
        break;
    case Verb::Call:
        run_call(c);
        break;
    case Verb::Wait:
        box.run_for(c.duration);
        break;
    case Verb::After: {
        std::shared_ptr<Command> later = c.then;
        box.machine().events().at(box.now() + c.duration, [this, later] {
            switch (later->verb) {
            case Verb::Press: box_->micom().press_key(later->key_byte, later->duration); break;
            case Verb::FrontPower: box_->micom().press_front_power(); break;
            case Verb::MicomTime: box_->micom().set_time(later->time); break;
            case Verb::Fault: run_fault(*later); break;
            default: break;
            }
        });
        break;
    }
    case Verb::Date: {
        const int64_t ns = box.wall_ns();
        const time_t secs = time_t(ns / 1000'000'000);
        struct tm tm {};
        gmtime_r(&secs, &tm);
        print(format("%04d-%02d-%02d %02d:%02d:%02d.%06lld\n", tm.tm_year + 1900, tm.tm_mon + 1,
                     tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                     (long long)(ns % 1000'000'000) / 1000));
        break;
    }
    case Verb::Keymap: {
        auto devs = box.input().registered();
        if (devs.empty() || !devs[0]->keycode)
            throw RunError{c.line, "keymap: no input device (boot the box first)"};
        if (c.has_value && devs[0]->set_keycode(box.machine(), c.key_byte, c.key) != 0)
            throw RunError{c.line, "keymap: the input layer refused the new entry"};
        unsigned code = 0;
        if (devs[0]->get_keycode(c.key_byte, &code) != 0)
            throw RunError{c.line, "keymap: the input layer has no such entry"};
        print(format("0x%02X %s\n", c.key_byte, key_name(code).c_str()));
        break;
    }
    case Verb::Poweroff:
        box.poweroff();
        break;
    case Verb::Flash: {
        auto r = flash(c.build_a, c.text);
        if (!r.loaded)
            throw RunError{c.line, "flash: the programmer could not be loaded"};
        print(r.out);
        print(format("exit %d\n", r.exit_status));
        break;
    }
    case Verb::Log:
        print(box.log().format(kept_from(log_from_, box.log().dropped())));
        log_from_ = box.log().total();
        break;
    case Verb::Events:
        show_events();
        break;
    case Verb::Wire:
        print(format_wire(box.primary().log(), kept_from(primary_from_, box.primary().log_dropped()),
                          box.isp().log(), kept_from(isp_from_, box.isp().log_dropped())));
        primary_from_ = box.primary().log_total();
        isp_from_ = box.isp().log_total();
        break;
    case Verb::Fault:
        run_fault(c);
        break;
    case Verb::Help:
        print(shell_help());
        break;
    }
    switch (c.verb) {
    case Verb::Boot: case Verb::Unload: case Verb::Cat: case Verb::Echo: case Verb::Call:
    case Verb::Poweroff: case Verb::Keymap:
        drain();
        break;
    default:
        break;
    }
    std::fflush(out_);
}

sim::userland::RunResult Shell::flash(bool build_a, const std::string& image) {
    return runner().run(build_a ? sim::userland::Build::A : sim::userland::Build::B, {image});
}

void Shell::run_call(const Command& c) {
    auto& box = *box_;
    if (!box.module_loaded() || !box.module_symbol(c.name.c_str()))
        throw RunError{c.line, "call: the driver is not loaded"};
    const char* name = c.name.c_str();
    switch (c.export_kind) {
    case ExportKind::ULongVoid:
        print(format("%lu\n", box.call_export<unsigned long>(name)));
        break;
    case ExportKind::IntVoid:
        print(format("%d\n", box.call_export<int>(name)));
        break;
    case ExportKind::StringVoid:
        if (const char* s = box.call_export<const char*>(name))
            print(std::string(s) + "\n");
        break;
    case ExportKind::VoidVoid:
        box.call_export<void>(name);
        break;
    case ExportKind::VoidString:
        box.call_export<void>(name, c.text.c_str());
        break;
    }
}

void Shell::run_fault(const Command& c) {
    using W = FaultSpec::What;
    const auto& f = c.fault;
    auto& box = *box_;
    sim::SerialLink& link = f.link ? box.isp() : box.primary();
    switch (f.what) {
    case W::Help: print(fault_help()); break;
    case W::Clear:
        box.clear_faults();
        box.primary().faults = {};
        box.isp().faults = {};
        box.micom().set_silent(false);
        for (auto s : {micom::IspStep::Checksum, micom::IspStep::Erase, micom::IspStep::EraseVerify,
                       micom::IspStep::BlockProgram, micom::IspStep::Byte,
                       micom::IspStep::BlockVerify})
            box.micom().set_nak(s, false);
        if (runner_) {
            runner_->vendor_faults = {};
            runner_->clock_generator().clear_failures();
        }
        break;
    case W::LinkDrop: link.faults.drop = f.probability; break;
    case W::LinkCorrupt: link.faults.corrupt = f.probability; break;
    case W::LinkDuplicate: link.faults.duplicate = f.probability; break;
    case W::LinkStall: link.faults.stall_after = sim::Nanos(f.number); break;
    case W::MicomSilent: box.micom().set_silent(f.on); break;
    case W::MicomNak: box.micom().set_nak(f.step, f.on); break;
    case W::MicomPowerLoss: box.micom().power_loss(); break;
    case W::KernelMajorTaken: box.faults.major_taken = true; break;
    case W::KernelIrqTaken: box.faults.irq_taken = true; break;
    case W::KernelProc: box.faults.proc_fail_nth = int(f.number); break;
    case W::KernelInputAlloc: box.faults.input_alloc_fail = true; break;
    case W::KernelInputRegister: box.faults.input_register_fail = true; break;
    case W::KernelKthread: box.faults.kthread_fail = true; break;
    case W::KernelUserCopy: box.faults.user_copy_fail = int(f.number); break;
    case W::VendorLladOpen: runner().vendor_faults.llad_open_fails = true; break;
    case W::VendorGbusOpen: runner().vendor_faults.gbus_open_fails = true; break;
    case W::VendorRuaCreate: runner().vendor_faults.rua_create_status = int32_t(f.number); break;
    case W::VendorRuaDestroy: runner().vendor_faults.rua_destroy_status = int32_t(f.number); break;
    case W::ClockRequest: runner().clock_generator().fail(uint32_t(f.number)); break;
    }
}

void Shell::show_micom() {
    auto& m = box_->micom();
    print(format("power: %s\n", m.box_power() ? "on" : "off"));
    print(format("mode: %s\n", mode_name(m.mode())));
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

void Shell::show_events() {
    auto show = [this](const sim::InputDevice* dev, size_t from) {
        const auto& ev = dev->received();
        for (size_t i = from; i < ev.size(); ++i) {
            if (ev[i].type != sim::kEvKey)
                continue;
            const char* what = ev[i].value == 0 ? "release" : ev[i].value == 1 ? "press" : "repeat";
            print(format("%.6f %s %s\n", sim::seconds(ev[i].t), key_name(ev[i].code).c_str(), what));
        }
    };
    auto devs = box_->input().registered();
    const sim::InputDevice* now = devs.empty() ? nullptr : devs[0];
    if (events_dev_ && events_dev_ != now && box_->input().holds(events_dev_)) {
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
    if (!options_.vcd_path.empty() && !save_vcd(options_.vcd_path, *box_, 0, box_->now())) {
        std::fprintf(stderr, "fpsim: cannot write %s\n", options_.vcd_path.c_str());
        ok = false;
    }
    if (!options_.log_path.empty()) {
        FILE* f = std::fopen(options_.log_path.c_str(), "w");
        const std::string text = box_->log().format();
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
