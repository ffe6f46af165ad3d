// SPDX-License-Identifier: MIT
// What hwclock 2.38 does, step by step: it opens the first RTC device node
// that exists; to read the clock it asks for update interrupts
// (RTC_UIE_ON), and when the device has none (EINVAL or ENOTTY) it reads
// the time until its second changes, for at most 1.5 s; then it reads the
// clock once more, and reports that time less what passed since it
// started.  To set the clock it waits for the moment the system time is a
// whole second past its start plus the device's delay (0.5 s for a PC's
// CMOS clock only) and sets the RTC to that second.  No /etc/adjtime on
// the box at first: no drift correction, the clock in UTC; -w writes one.
#include "userland/hwclock.h"

#include <linux/rtc.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace sim::userland {

namespace {

/// The descriptor a program of the box gets for its first open file (its
/// kernel has no audit socket to open before it).
constexpr int kFirstFd = 3;

double diff(const timeval& a, const timeval& b) {
    return double(a.tv_sec - b.tv_sec) + double(a.tv_usec - b.tv_usec) / 1e6;
}

/// @t plus @seconds, with hwclock's rounding: whole seconds truncated, the
/// fraction to whole microseconds.
timeval add(const timeval& t, double seconds) {
    timeval r;
    r.tv_sec = t.tv_sec + time_t(seconds);
    r.tv_usec = suseconds_t(double(t.tv_usec) + (seconds - double(time_t(seconds))) * 1e6);
    if (r.tv_usec < 0) {
        r.tv_usec += 1000000;
        r.tv_sec -= 1;
    } else if (r.tv_usec >= 1000000) {
        r.tv_usec -= 1000000;
        r.tv_sec += 1;
    }
    return r;
}

class Hwclock {
public:
    explicit Hwclock(BoxProgram& p) : p_(p) {}
    int main(const std::vector<std::string>& args);

private:
    bool open_rtc();
    bool read_tm(struct tm* tm);
    bool synchronize();
    int show_or_hctosys(bool show, const timeval& startup);
    int systohc();

    BoxProgram& p_;
    std::string dev_option_;
    std::string dev_ = "/dev/rtc0";
    long fd_ = -1;
};

bool Hwclock::open_rtc() {
    if (!dev_option_.empty()) {
        dev_ = dev_option_;
        fd_ = p_.open(dev_);
        return fd_ >= 0;
    }
    for (const char* path : {"/dev/rtc0", "/dev/rtc", "/dev/misc/rtc"}) {
        fd_ = p_.open(path);
        if (fd_ < 0 && (p_.error == ENOENT || p_.error == ENODEV))
            continue;
        dev_ = path;
        break;
    }
    if (fd_ < 0)
        dev_ = "/dev/rtc0";
    return fd_ >= 0;
}

bool Hwclock::read_tm(struct tm* tm) {
    struct rtc_time rt {};
    if (p_.ioctl(fd_, RTC_RD_TIME, &rt) < 0) {
        p_.warn("ioctl(RTC_RD_TIME) to " + dev_ + " to read the time failed");
        return false;
    }
    *tm = {};
    copy_date_time(*tm, rt);
    tm->tm_wday = rt.tm_wday;
    tm->tm_yday = rt.tm_yday;
    tm->tm_isdst = -1;
    return true;
}

bool Hwclock::synchronize() {
    if (p_.ioctl(fd_, RTC_UIE_ON, 0ul) >= 0) {
        // (a device with update interrupts: the platform interface has none)
        p_.ioctl(fd_, RTC_UIE_OFF, 0ul);
        return true;
    }
    if (p_.error != ENOTTY && p_.error != EINVAL) {
        char what[96];
        std::snprintf(what, sizeof what, "ioctl(%d, RTC_UIE_ON, 0) to %s failed", kFirstFd, dev_.c_str());
        p_.warn(what);
        return false;
    }
    // no update interrupts: the time is read until its second changes
    struct tm start {}, now {};
    if (!read_tm(&start))
        return false;
    const double begin = p_.monotonic();
    for (;;) {
        if (!read_tm(&now))
            return false;
        if (now.tm_sec != start.tm_sec)
            return true;
        if (p_.monotonic() - begin > 1.5) {
            p_.warnx("Timed out waiting for time change.");
            return false;
        }
    }
}

int Hwclock::show_or_hctosys(bool show, const timeval& startup) {
    if (!synchronize())
        return 1;
    struct tm tm {};
    const bool read = read_tm(&tm);
    const timeval read_time = p_.wall_time();
    const time_t secs = read ? timegm(&tm) : time_t(-1);
    if (secs == time_t(-1)) {
        p_.warnx("RTC read returned an invalid value.");
        return 1;
    }
    const timeval hclock{secs, 0};  // no drift factor: nothing to correct
    if (!show) {
        // the kernel's time zone is UTC already: only the time is set
        if (!p_.set_wall_time(hclock)) {
            p_.warn("settimeofday() failed");
            return 1;
        }
        return 0;
    }
    // what the clock read when hwclock started
    const timeval at_start = add(hclock, diff(startup, read_time));
    struct tm shown {};
    gmtime_r(&at_start.tv_sec, &shown);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%4ld-%.2d-%.2d %02d:%02d:%02d.%06ld+00:00\n", shown.tm_year + 1900L,
                  shown.tm_mon + 1, shown.tm_mday, shown.tm_hour, shown.tm_min, shown.tm_sec,
                  long(at_start.tv_usec));
    p_.print(buf);
    return 0;
}

int Hwclock::systohc() {
    const timeval now = p_.wall_time();
    const timeval ref{now.tv_sec, 0};
    // the device's delay between setting the clock and its next second:
    // half a second for a PC's CMOS clock (and for a device whose name
    // cannot be read), none for any other
    const std::string base = dev_.substr(dev_.rfind('/') + 1);
    const auto name = base.empty() ? std::nullopt : p_.read_line("/sys/class/rtc/" + base + "/name");
    const std::string word = name ? name->substr(0, name->find(' ')) : "";
    const double delay = word.empty() || word == "rtc_cmos" ? 0.5 : 0.0;
    timeval target = add(ref, delay), prev = ref, at{};
    double tolerance = 0.001, step = 0.001;
    for (;;) {
        at = p_.wall_time();
        const double late = diff(at, target), tick = diff(at, prev);
        prev = at;
        if (tick >= 0 && late < 0) {
            p_.wait_until(target);  // it spins until then
            continue;
        }
        if (tick >= 0 && late <= tolerance)
            break;
        if (tick >= 0) {
            tolerance += step;  // missed it: the next second, a little more tolerance
            step *= 2;
        }
        target.tv_sec = at.tv_usec < target.tv_usec ? at.tv_sec : at.tv_sec + 1;
    }
    const time_t set = ref.tv_sec + time_t(std::ceil(diff(at, ref) - delay));
    struct tm tm {};
    gmtime_r(&set, &tm);
    struct rtc_time rt {};
    copy_date_time(rt, tm);
    rt.tm_wday = tm.tm_wday;
    rt.tm_yday = tm.tm_yday;
    rt.tm_isdst = tm.tm_isdst;
    if (p_.ioctl(fd_, RTC_SET_TIME, &rt) < 0) {
        p_.warn("ioctl(RTC_SET_TIME) to " + dev_ + " to set the time failed");
        return 1;
    }
    // the calibration it records: no drift yet, the clock in UTC
    char adjtime[128];
    std::snprintf(adjtime, sizeof adjtime, "0.000000 %lld 0.000000\n%lld\nUTC\n", (long long)now.tv_sec,
                  (long long)now.tv_sec);
    p_.files().adjtime = adjtime;
    return 0;
}

int Hwclock::main(const std::vector<std::string>& args) {
    const timeval startup = p_.wall_time();
    std::vector<Option> options;
    std::vector<std::string> operands;
    if (!parse_options(p_, args,
                       {{'r', "show", false}, {'w', "systohc", false}, {'s', "hctosys", false},
                        {'u', "utc", false}, {'l', "localtime", false}, {'f', "rtc", true}},
                       options, operands))
        return 1;
    char mode = 'r';
    std::string first;
    for (const Option& o : options) {
        if (o.code == 'f') {
            dev_option_ = o.arg;
            continue;
        }
        if (o.code != 'r' && o.code != 's' && o.code != 'w')
            continue;  // the box's time zone is UTC: --utc and --localtime agree
        if (!first.empty() && first.find(char(o.code)) == std::string::npos) {
            p_.err += p_.name() + ": mutually exclusive arguments: --adjust --show --hctosys --systohc --get --predict --set --systz\n";
            return 1;
        }
        first += char(o.code);
        mode = char(o.code);
    }
    if (!operands.empty()) {
        p_.warnx(std::to_string(operands.size()) + " too many arguments given");
        p_.try_help();
        return 1;
    }
    if (!open_rtc()) {
        p_.warnx("Cannot access the Hardware Clock via any known method.");
        p_.warnx("Use the --verbose option to see the details of our search for an access method.");
        return 1;
    }
    const int status = mode == 'w' ? systohc() : show_or_hctosys(mode == 'r', startup);
    p_.close(fd_);
    return status;
}

}  // namespace

int hwclock_main(BoxProgram& p, const std::vector<std::string>& args) { return Hwclock(p).main(args); }

}  // namespace sim::userland
