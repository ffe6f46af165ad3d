// SPDX-License-Identifier: MIT
// The system calls of a user program linked with -Wl,--wrap: open, close,
// write and ioctl on /dev/micom and /proc/* reach the simulated kernel; the
// sleeps pass in virtual time, to the nanosecond; system() runs the box's
// tiny shell.  Everything else (the image file, or any call made while no
// program runs on the box) goes to the C library.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>

#include "userland/user_process.h"

using sim::Nanos;
using sim::userland::running_process;
using sim::userland::UserProcess;

namespace {

/// A simulated call's result as the C library returns it: -1 with errno.
long syscall_result(long r) {
    if (r < 0) {
        errno = int(-r);
        return -1;
    }
    return r;
}

bool is_sim_file(UserProcess* p, int fd) { return p && p->sim_files.count(fd) != 0; }

// The box's ioctl numbers are the MIPS encoding: bits 31..29 give the
// direction, 001 for commands without an argument.
bool ioctl_has_argument(unsigned long request) { return (request >> 29) != 1; }

void sleep_virtual(UserProcess& p, Nanos ns) {
    sim::Box& box = *p.box;
    box.kernel().enter_kernel();
    if (ns)
        box.machine().sleep(false, box.machine().now() + ns);
}

}  // namespace

extern "C" {

int __wrap_open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list args;
        va_start(args, flags);
        mode = mode_t(va_arg(args, int));
        va_end(args);
    }
    UserProcess* p = running_process();
    if (!p || !sim::userland::is_simulated_path(path))
        return open(path, flags, mode);
    long fd = p->box->kernel().sys_open(path);
    if (fd >= 0)
        p->sim_files.insert(int(fd));
    return int(syscall_result(fd));
}

int __wrap_close(int fd) {
    UserProcess* p = running_process();
    if (!is_sim_file(p, fd))
        return close(fd);
    p->sim_files.erase(fd);
    return int(syscall_result(p->box->kernel().sys_close(fd)));
}

ssize_t __wrap_write(int fd, const void* buf, size_t count) {
    UserProcess* p = running_process();
    if (!is_sim_file(p, fd))
        return write(fd, buf, count);
    return syscall_result(p->box->kernel().sys_write(fd, buf, count));
}

int __wrap_ioctl(int fd, unsigned long request, ...) {
    unsigned long arg = 0;
    if (ioctl_has_argument(request)) {
        va_list args;
        va_start(args, request);
        arg = reinterpret_cast<unsigned long>(va_arg(args, void*));
        va_end(args);
    }
    UserProcess* p = running_process();
    if (!is_sim_file(p, fd))
        return ioctl(fd, request, arg);
    return int(syscall_result(p->box->kernel().sys_ioctl(fd, unsigned(request), arg)));
}

int __wrap_usleep(useconds_t us) {
    UserProcess* p = running_process();
    if (!p)
        return usleep(us);
    sleep_virtual(*p, Nanos(us) * 1000);
    return 0;
}

unsigned __wrap_sleep(unsigned seconds) {
    UserProcess* p = running_process();
    if (!p)
        return sleep(seconds);
    sleep_virtual(*p, Nanos(seconds) * 1'000'000'000);
    return 0;
}

int __wrap_system(const char* command) {
    UserProcess* p = running_process();
    if (!p)
        return system(command);
    if (!command)
        return 1;  // a shell is there
    return sim::userland::run_shell_command(*p, command);
}

}  // extern "C"
