// SPDX-License-Identifier: MIT
// A program of the box written into the simulator (hwclock, rtcwake): its
// system calls on the box's files and clocks, the C library's error
// messages, its standard output and error, and the box's files it keeps
// between runs.  It runs inside Box::run_process.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "box/box.h"

namespace sim::userland {

/// Files of the box's root file system that the programs read and write
/// (on its flash: they outlive a power cycle).
struct BoxFiles {
    std::optional<std::string> adjtime;  ///< /etc/adjtime, as hwclock wrote it
};

class BoxProgram {
public:
    BoxProgram(Box& box, BoxFiles& files, std::string name) : box_(box), files_(files), name_(std::move(name)) {}

    Box& box() { return box_; }
    BoxFiles& files() { return files_; }
    std::string out, err;
    /// The errno of the last failed call.
    int error = 0;

    // ---- system calls (-1 and error on failure, as the C library) ----
    long open(const std::string& path);
    long close(long fd);
    long read(long fd, void* buf, size_t n);
    long ioctl(long fd, unsigned long cmd, void* arg);
    long ioctl(long fd, unsigned long cmd, unsigned long arg);
    /// gettimeofday(): the kernel's wall clock.
    timeval wall_time() const;
    /// settimeofday() of the wall clock, as the box's 32-bit C library and
    /// its 3.9 kernel take it: false with error EOVERFLOW from
    /// 2038-01-19 03:14:08 on (the C library's time_t cannot hold it),
    /// EINVAL before 1970 and at 03:14:07 (the kernel's clock ends a
    /// second before); the clock is then left as it is.
    bool set_wall_time(const timeval& tv);
    /// clock_gettime(CLOCK_MONOTONIC) in seconds.
    double monotonic() const;
    /// Sleeps (or spins) until the wall clock reads @tv.
    void wait_until(const timeval& tv);
    void usleep(unsigned long us);
    /// A whole sysfs-style file: its first line, or nullopt when it cannot be read.
    std::optional<std::string> read_line(const std::string& path);

    // ---- messages, as err(3), warn(3) and printf write them ----
    void print(const std::string& s) { out += s; }
    /// "NAME: TEXT: strerror(error)\n" on standard error.
    void warn(const std::string& text) { err += name_ + ": " + text + ": " + std::strerror(error) + "\n"; }
    /// "NAME: TEXT\n" on standard error.
    void warnx(const std::string& text) { err += name_ + ": " + text + "\n"; }
    /// getopt's and the tools' "Try 'NAME --help' for more information."
    void try_help() { err += "Try '" + name_ + " --help' for more information.\n"; }
    const std::string& name() const { return name_; }

private:
    long result(long r);

    Box& box_;
    BoxFiles& files_;
    std::string name_;
};

/// The options of one command line: each short (-s N, -sN) or long
/// (--seconds N, --seconds=N) option with its argument, as getopt_long
/// gives them; an unknown option or a missing argument is said as getopt
/// says it.
struct Option {
    int code;
    std::string arg;
};
struct OptionSpec {
    char short_name;
    const char* long_name;
    bool has_arg;
};
/// Options and operands of @args; false after a getopt message on @p's standard error.
bool parse_options(BoxProgram& p, const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
                   std::vector<Option>& options, std::vector<std::string>& operands);

/// The date and time fields of @from, the others as @to has them.
template <typename To, typename From>
void copy_date_time(To& to, const From& from) {
    to.tm_sec = from.tm_sec;
    to.tm_min = from.tm_min;
    to.tm_hour = from.tm_hour;
    to.tm_mday = from.tm_mday;
    to.tm_mon = from.tm_mon;
    to.tm_year = from.tm_year;
}

/// ctime(3) of @t in the box's time zone (UTC): "Mon Dec  7 21:40:01 2026\n".
std::string ctime_text(time_t t);

}  // namespace sim::userland
