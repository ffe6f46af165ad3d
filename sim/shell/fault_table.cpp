// SPDX-License-Identifier: MIT
#include "fault_table.h"

#include <algorithm>

namespace fpsim {

namespace {

using Arg = FaultArg;
using K = FaultArg::Kind;

constexpr Arg kProbability{K::Probability, "P"};
constexpr Arg kOnOff{K::OnOff, "on|off"};

constexpr FaultGroup kGroups[] = {
    {"help", nullptr, 0, 0},
    {"clear", nullptr, 0, 0},
    {"primary|isp", "link", 4, 0},
    {"micom", "micom", 0, 0},
    {"kernel", "kernel", 0, 3},
    {"vendor", "vendor", 0, 0},
    {"clock", nullptr, 0, 0},
};

constexpr FaultStep kSteps[] = {
    {"checksum", micom::IspStep::Checksum},         {"erase", micom::IspStep::Erase},
    {"erase-verify", micom::IspStep::EraseVerify}, {"block-program", micom::IspStep::BlockProgram},
    {"byte", micom::IspStep::Byte},                 {"block-verify", micom::IspStep::BlockVerify},
};

constexpr long kClockProperties[] = {4409, 4411, 4417};

sim::SerialLink& line(FaultTarget& t, const FaultSetting& f) { return f.link ? t.box().soc().isp() : t.box().soc().primary(); }

const FaultEntry kFaults[] = {
    {"help", nullptr, {}, "", false, [](FaultTarget& t, const FaultSetting&) { t.print(fault_help()); }},
    {"clear", nullptr, {}, "every fault off (kernel faults of the next boot too)", true,
     [](FaultTarget& t, const FaultSetting&) {
         sim::Box& box = t.box();
         box.kernel().clear_faults();
         box.soc().primary().faults = {};
         box.soc().isp().faults = {};
         box.micom().set_silent(false);
         for (const FaultStep& s : kSteps)
             box.micom().set_nak(s.step, false);
         t.clear_vendor_faults();
         box.soc().clock_generator().clear_failures();
     }},
    {"primary|isp", "drop", {kProbability}, "each byte on the link is lost with probability P", true,
     [](FaultTarget& t, const FaultSetting& f) { line(t, f).faults.drop = f.probability; }},
    {"primary|isp", "corrupt", {kProbability}, "each byte arrives with one bit flipped, probability P", true,
     [](FaultTarget& t, const FaultSetting& f) { line(t, f).faults.corrupt = f.probability; }},
    {"primary|isp", "duplicate", {kProbability}, "each byte arrives twice, probability P", true,
     [](FaultTarget& t, const FaultSetting& f) { line(t, f).faults.duplicate = f.probability; }},
    {"primary|isp", "stall", {Arg{K::Number, "N", "byte count", 0, 1000000000}},
     "the micom stops sending after N more bytes (0: never)", true,
     [](FaultTarget& t, const FaultSetting& f) { line(t, f).stall_after_more(uint64_t(f.number)); }},
    {"micom", "silent", {kOnOff}, "the normal firmware answers nothing", true,
     [](FaultTarget& t, const FaultSetting& f) { t.box().micom().set_silent(f.on); }},
    {"micom", "nak", {Arg{K::Step, "STEP"}, kOnOff},
     "the flash programmer refuses STEP: checksum, erase,\n"
     "erase-verify, block-program, byte, block-verify",
     true, [](FaultTarget& t, const FaultSetting& f) { t.box().micom().set_nak(f.step, f.on); }},
    {"micom", "power-loss", {}, "the micom loses power now", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().micom().power_loss(); }},
    {"kernel", "major-taken", {}, "at the next boot another driver holds major 75", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().kernel().faults.major_taken = true; }},
    {"kernel", "irq-taken", {}, "at the next boot another driver holds interrupt 10", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().kernel().faults.irq_taken = true; }},
    {"kernel", "proc", {Arg{K::Number, "N", "count", 1, 10}}, "at the next boot the N-th /proc entry cannot be made",
     true, [](FaultTarget& t, const FaultSetting& f) { t.box().kernel().faults.proc_fail_nth = int(f.number); }},
    {"kernel", "input-alloc", {}, "at the next boot the input device cannot be allocated", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().kernel().faults.input_alloc_fail = true; }},
    {"kernel", "input-register", {}, "at the next boot the input device cannot be registered", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().kernel().faults.input_register_fail = true; }},
    {"kernel", "kthread", {}, "at the next boot no kernel thread can be created", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().kernel().faults.kthread_fail = true; }},
    {"kernel", "device-register", {}, "at the next boot the driver's device cannot be registered", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().kernel().faults.device_register_fail = true; }},
    {"kernel", "rtc-register", {}, "at the next boot the RTC device cannot be registered", true,
     [](FaultTarget& t, const FaultSetting&) { t.box().kernel().faults.rtc_register_fail = true; }},
    {"kernel", "user-copy", {Arg{K::Number, "N", "count", 1, 1000000}},
     "the next N copies from or to user space fail", true,
     [](FaultTarget& t, const FaultSetting& f) { t.box().kernel().faults.user_copy_fail = int(f.number); }},
    {"vendor", "llad-open", {}, "micomflash cannot open llad or gbus", true,
     [](FaultTarget& t, const FaultSetting&) { t.vendor_faults().llad_open_fails = true; }},
    {"vendor", "gbus-open", {}, nullptr, true,
     [](FaultTarget& t, const FaultSetting&) { t.vendor_faults().gbus_open_fails = true; }},
    {"vendor", "rua-create", {Arg{K::Number, "S", "status", 0, 0x7fffffff}},
     "the RUA instance request answers status S", true,
     [](FaultTarget& t, const FaultSetting& f) { t.vendor_faults().rua_create_status = int32_t(f.number); }},
    {"vendor", "rua-destroy", {Arg{K::Number, "S", "status", 0, 0x7fffffff}}, nullptr, true,
     [](FaultTarget& t, const FaultSetting& f) { t.vendor_faults().rua_destroy_status = int32_t(f.number); }},
    {"clock", nullptr, {Arg{K::Property, "PROPERTY"}}, "the clock generator fails requests of PROPERTY", true,
     [](FaultTarget& t, const FaultSetting& f) { t.box().soc().clock_generator().fail(uint32_t(f.number)); }},
};

/// fault help's column for the texts (a longer usage keeps two blanks).
constexpr size_t kHelpColumn = 37;

/// fault help's usage of the faults from @e on that share its line: "fault
/// GROUP NAME|NAME ARGS".
std::string usage(const FaultEntry* e, const FaultEntry* end) {
    std::string s = std::string("fault ") + e->group;
    if (e->name) {
        s += std::string(" ") + e->name;
        for (const FaultEntry* o = e + 1; o != end && !o->help; ++o)
            s += std::string("|") + o->name;
    }
    for (unsigned i = 0; i < e->arg_count(); ++i)
        s += std::string(" ") + e->args[i].placeholder;
    return s;
}

}  // namespace

unsigned FaultEntry::arg_count() const {
    return unsigned(std::count_if(args.begin(), args.end(), [](const FaultArg& a) { return a.kind != K::None; }));
}

std::span<const FaultGroup> fault_groups() { return kGroups; }
std::span<const FaultEntry> fault_entries() { return kFaults; }
std::span<const FaultStep> fault_steps() { return kSteps; }
std::span<const long> clock_properties() { return kClockProperties; }

std::string fault_help() {
    std::string out;
    const FaultEntry* end = std::end(kFaults);
    for (const FaultEntry* e = std::begin(kFaults); e != end; ++e) {
        if (!e->help || !*e->help)
            continue;  // on the line of the fault before, or not listed
        std::string line = usage(e, end);
        line.resize(std::max(kHelpColumn, line.size() + 2), ' ');
        for (const char* c = e->help; *c; ++c)
            line += *c == '\n' ? "\n" + std::string(kHelpColumn, ' ') : std::string(1, *c);
        out += line + "\n";
    }
    return out + "A fault can be scheduled: after 2s fault micom power-loss\n";
}

}  // namespace fpsim
