// SPDX-License-Identifier: MIT
// The SoC vendor's user-space libraries as the simulated box offers them to
// a user program: chip and bus handles (llad, gbus), the resource access
// library (RUA) in front of the clock generator, status names and the
// microsecond clock in virtual time.  gbus_write_uint32 is the kernel's own
// SoC call (kernel/kapi.cpp): it writes the SoC bus, where the GPIO block
// answers at 0x10500 and 0x10504.
//
// The calls act on the box of the current ProgramRunner; without one, every
// open fails.  The handles are one of each kind; a call with a handle that
// was never handed out, or is closed already, is recorded as misuse.
#include <cstdio>
#include <cstring>
#include <string>

#include "userland/program_runner.h"
#include "vendor/gbus.h"
#include "vendor/llad.h"
#include "vendor/rmdef.h"
#include "vendor/rua.h"

using sim::userland::ProgramRunner;
using Handle = sim::userland::ProgramRunner::Handle;

namespace {

constexpr RMstatus kError = 7;

/// The runner, after an interrupt point of the running context.
ProgramRunner* runner() {
    ProgramRunner* r = ProgramRunner::current();
    if (r)
        r->box().kernel().enter_kernel();
    return r;
}

/// Whether @p is the open handle of kind @h; records misuse otherwise.
bool check_handle(ProgramRunner& r, Handle h, const void* p, const char* call) {
    if (p == r.handle(h) && r.handle_open(h))
        return true;
    r.record_misuse(std::string(call) + (p == r.handle(h) ? " with a closed handle" : " with an unknown handle"));
    return false;
}

std::string hex_words(const void* record, RMuint32 size) {
    std::string s = "[";
    for (RMuint32 i = 0; record && i + 4 <= size; i += 4) {
        RMuint32 w;
        std::memcpy(&w, static_cast<const char*>(record) + i, 4);
        s += (i ? " " : "") + std::to_string(w);
    }
    return s + "]";
}

}  // namespace

extern "C" {

struct llad* llad_open(const char* device) {
    ProgramRunner* r = runner();
    if (!r)
        return nullptr;
    r->record_call(std::string("llad_open ") + (device ? device : "(null)"));
    if (r->vendor_faults.llad_open_fails || !device || std::string(device) != "0")
        return nullptr;
    r->set_handle_open(Handle::Llad, true);
    return static_cast<struct llad*>(r->handle(Handle::Llad));
}

void llad_close(struct llad* llad) {
    ProgramRunner* r = runner();
    if (!r)
        return;
    r->record_call("llad_close");
    if (check_handle(*r, Handle::Llad, llad, "llad_close"))
        r->set_handle_open(Handle::Llad, false);
}

struct gbus* gbus_open(struct llad* llad) {
    ProgramRunner* r = runner();
    if (!r)
        return nullptr;
    r->record_call("gbus_open");
    if (!check_handle(*r, Handle::Llad, llad, "gbus_open") || r->vendor_faults.gbus_open_fails)
        return nullptr;
    r->set_handle_open(Handle::Gbus, true);
    return static_cast<struct gbus*>(r->handle(Handle::Gbus));
}

void gbus_close(struct gbus* bus) {
    ProgramRunner* r = runner();
    if (!r)
        return;
    r->record_call("gbus_close");
    if (check_handle(*r, Handle::Gbus, bus, "gbus_close"))
        r->set_handle_open(Handle::Gbus, false);
}

RMstatus RUACreateInstance(struct RUA** instance, RMuint32 chip) {
    ProgramRunner* r = runner();
    if (!r)
        return kError;
    r->record_call("RUACreateInstance " + std::to_string(chip));
    if (!instance || chip != 0)
        return kError;
    const RMstatus status = r->vendor_faults.rua_create_status;
    if (status == RM_OK) {
        r->set_handle_open(Handle::Rua, true);
        *instance = static_cast<struct RUA*>(r->handle(Handle::Rua));
    }
    return status;
}

RMstatus RUADestroyInstance(struct RUA* instance) {
    ProgramRunner* r = runner();
    if (!r)
        return kError;
    r->record_call("RUADestroyInstance");
    if (!check_handle(*r, Handle::Rua, instance, "RUADestroyInstance"))
        return kError;
    r->set_handle_open(Handle::Rua, false);
    return r->vendor_faults.rua_destroy_status;
}

RMstatus RUASetProperty(struct RUA* instance, RMuint32 module_id, RMuint32 property_id, void* value,
                        RMuint32 size, RMuint32 timeout_us) {
    ProgramRunner* r = runner();
    if (!r)
        return kError;
    r->record_call("RUASetProperty " + std::to_string(module_id) + " " + std::to_string(property_id) + " " +
                   hex_words(value, size) + " " + std::to_string(size) + " " + std::to_string(timeout_us));
    if (!check_handle(*r, Handle::Rua, instance, "RUASetProperty"))
        return kError;
    return r->box().soc().clock_generator().set_property(module_id, property_id, value, size);
}

RMstatus RUAExchangeProperty(struct RUA* instance, RMuint32 module_id, RMuint32 property_id, void* in,
                             RMuint32 in_size, void* out, RMuint32 out_size) {
    ProgramRunner* r = runner();
    if (!r)
        return kError;
    r->record_call("RUAExchangeProperty " + std::to_string(module_id) + " " + std::to_string(property_id) +
                   " " + hex_words(in, in_size) + " " + std::to_string(in_size) + " " +
                   std::to_string(out_size));
    if (!check_handle(*r, Handle::Rua, instance, "RUAExchangeProperty"))
        return kError;
    return r->box().soc().clock_generator().exchange_property(module_id, property_id, in, in_size, out, out_size);
}

const char* RMstatusToString(RMstatus status) {
    switch (status) {
    case 6: return "RM_OK";
    case 7: return "RM_ERROR";
    case 8: return "RM_INVALID_PARAMETER";
    case 9: return "RM_NOT_SUPPORTED";
    case 10: return "RM_TIMEOUT";
    default: return "RM_UNKNOWN_STATUS";
    }
}

RMuint64 RMGetTimeInMicroSeconds(void) {
    ProgramRunner* r = ProgramRunner::current();
    return r ? r->box().machine().now() / 1000 : 0;
}

}  // extern "C"
