// SPDX-License-Identifier: MIT
// The calls the programmer's shared object makes into the loading
// executable: its wrapped system calls, where its stdio output goes
// (wrapped_stdio.cpp has the wrappers), and the vendor library calls. All of them reach the fake box; everything that is not the micom
// device or the program's standard output/error goes to the C library.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "fake_box.h"
#include "wrapped_stdio.h"
#include "vendor/gbus.h"
#include "vendor/llad.h"
#include "vendor/rmdef.h"
#include "vendor/rua.h"

namespace {

int llad_storage;
int gbus_storage;
int rua_storage;

llad *const kLlad = reinterpret_cast<llad *>(&llad_storage);
gbus *const kGbus = reinterpret_cast<gbus *>(&gbus_storage);
RUA *const kRua = reinterpret_cast<RUA *>(&rua_storage);

constexpr RMuint32 kDividerHz = 32000000;

std::string words(const void *record, RMuint32 size)
{
    std::string text = "[";
    for (RMuint32 i = 0; i + 4 <= size; i += 4) {
        RMuint32 w;
        std::memcpy(&w, static_cast<const char *>(record) + i, 4);
        text += (i ? " " : "") + std::to_string(w);
    }
    return text + "]";
}

std::string open_flags(int flags)
{
    std::string text = (flags & O_ACCMODE) == O_RDWR ? "O_RDWR" : "access?";
    if (flags & O_NOCTTY)
        text += "|O_NOCTTY";
    if (flags & ~(O_ACCMODE | O_NOCTTY))
        text += "|other";
    return text;
}

} // namespace

// Standard output and error of the program go to the fake box.
std::string *wrapped_stdio::capture(FILE *stream)
{
    if (stream == stdout)
        return &fake::box().out;
    if (stream == stderr)
        return &fake::box().err;
    return nullptr;
}

extern "C" {

// ---- system calls ----

int __wrap_open(const char *path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & O_CREAT) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    fake::Box &b = fake::box();
    if (std::strcmp(path, "/dev/micom") == 0) {
        b.record(std::string("open /dev/micom ") + open_flags(flags));
        if (!b.script.micom_device_opens) {
            errno = ENODEV;
            return -1;
        }
        b.device_open = true;
        return fake::kMicomFd;
    }
    if (std::strncmp(path, "/proc/", 6) == 0 || std::strncmp(path, "/dev/", 5) == 0) {
        b.record(std::string("open ") + path);
        errno = ENOENT;
        return -1;
    }
    return open(path, flags, mode);
}

int __wrap_close(int fd)
{
    if (fd == fake::kMicomFd) {
        fake::box().record("close /dev/micom");
        fake::box().device_open = false;
        return 0;
    }
    return close(fd);
}

ssize_t __wrap_write(int fd, const void *buf, size_t count)
{
    if (fd == fake::kMicomFd)
        return fake::box().micom_write(buf, count);
    return write(fd, buf, count);
}

int __wrap_ioctl(int fd, unsigned long request, ...)
{
    void *arg = nullptr;
    // Only the read and write commands carry an argument.
    if ((request >> 29) != 1) {
        va_list args;
        va_start(args, request);
        arg = va_arg(args, void *);
        va_end(args);
    }
    if (fd == fake::kMicomFd)
        return fake::box().micom_ioctl(request, arg);
    fake::box().record("ioctl on fd " + std::to_string(fd));
    errno = EBADF;
    return -1;
}

int __wrap_usleep(useconds_t us)
{
    fake::box().record("usleep " + std::to_string(us));
    fake::box().now_us += us;
    return 0;
}

unsigned __wrap_sleep(unsigned seconds)
{
    fake::box().record("sleep " + std::to_string(seconds));
    fake::box().now_us += seconds * 1000000ull;
    return 0;
}

int __wrap_system(const char *command)
{
    fake::box().record(std::string("system ") + command);
    return 0;
}

// ---- vendor libraries ----

llad *llad_open(const char *device)
{
    fake::box().record(std::string("llad_open ") + device);
    return fake::box().script.llad_opens ? kLlad : nullptr;
}

void llad_close(llad *handle)
{
    fake::box().record(handle == kLlad ? "llad_close llad" : "llad_close ?");
}

gbus *gbus_open(llad *handle)
{
    fake::box().record(handle == kLlad ? "gbus_open llad" : "gbus_open ?");
    return fake::box().script.gbus_opens ? kGbus : nullptr;
}

void gbus_close(gbus *bus)
{
    fake::box().record(bus == kGbus ? "gbus_close gbus" : "gbus_close ?");
}

void gbus_write_uint32(gbus *bus, uint32_t addr, uint32_t data)
{
    if (bus != kGbus)
        fake::box().record("gbus_write_uint32 on unknown bus");
    fake::box().gpio_write(addr, data);
}

RMstatus RUACreateInstance(RUA **instance, RMuint32 chip)
{
    fake::Box &b = fake::box();
    b.record("RUACreateInstance chip " + std::to_string(chip));
    if (b.script.rua_create_status == RM_OK)
        *instance = kRua;
    return b.script.rua_create_status;
}

RMstatus RUADestroyInstance(RUA *instance)
{
    fake::box().record(instance == kRua ? "RUADestroyInstance rua" : "RUADestroyInstance ?");
    return RM_OK;
}

RMstatus RUASetProperty(RUA *instance, RMuint32 module_id, RMuint32 property_id,
                        void *value, RMuint32 size, RMuint32 timeout_us)
{
    fake::Box &b = fake::box();
    const std::string record = words(value, size);
    b.record("RUASetProperty " + std::to_string(module_id) + " " +
             std::to_string(property_id) + " " + record + " size " +
             std::to_string(size) + " timeout " + std::to_string(timeout_us) +
             (instance == kRua ? "" : " on unknown instance"));
    RMstatus status = RM_OK;
    if (property_id == 4409) {
        status = b.script.clock_set_status;
        if (status == RM_OK && record == "[9 32000000]")
            b.clock_divider_set = true;
    } else if (property_id == 4417) {
        status = b.script.clock_route_status;
        if (status == RM_OK && record == "[9 2 4]")
            b.clock_routed = true;
    }
    return status;
}

RMstatus RUAExchangeProperty(RUA *instance, RMuint32 module_id,
                             RMuint32 property_id, void *in, RMuint32 in_size,
                             void *out, RMuint32 out_size)
{
    fake::Box &b = fake::box();
    const bool out_is_word1 = out == static_cast<char *>(in) + 4;
    b.record("RUAExchangeProperty " + std::to_string(module_id) + " " +
             std::to_string(property_id) + " in " + words(in, in_size) +
             " size " + std::to_string(in_size) + " out " +
             (out_is_word1 ? "word1" : "elsewhere") + " size " +
             std::to_string(out_size) +
             (instance == kRua ? "" : " on unknown instance"));
    if (b.script.clock_query_status != RM_OK)
        return b.script.clock_query_status;
    std::memcpy(out, &kDividerHz, out_size < 4 ? out_size : 4);
    return RM_OK;
}

const char *RMstatusToString(RMstatus status)
{
    static std::string name;
    name = status == RM_OK ? "RM_OK" : "RM_ERROR_" + std::to_string(status);
    return name.c_str();
}

RMuint64 RMGetTimeInMicroSeconds(void)
{
    return fake::box().clock_us;
}

} // extern "C"
