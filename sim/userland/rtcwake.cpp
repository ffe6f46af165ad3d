// SPDX-License-Identifier: MIT
// What rtcwake 2.38 does: it takes the clock mode from /etc/adjtime (UTC,
// said on standard output, when there is none), opens the device, checks
// that it may wake the system (device/power/wakeup reads "enabled") unless
// the mode is no or on, reads the RTC and the system clock, sets an
// enabled wake alarm (RTC_WKALM_SET) at the RTC's time plus the seconds
// plus one, or at the given time moved by the two clocks' difference, says
// when, and then: no leaves the alarm set; off runs shutdown; show prints
// the alarm; disable (like every mode that returns) disables it at the end.
#include "userland/rtcwake.h"

#include <linux/rtc.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace sim::userland {

namespace {

enum class Mode { Off, No, On, Disable, Show };

/// strtos64 as util-linux's strtotime_or_err takes it: the whole text a decimal number.
bool to_time(const std::string& s, time_t* t) {
    if (s.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s.c_str(), &end, 10);
    if (errno || *end || end == s.c_str())
        return false;
    *t = time_t(v);
    return true;
}

/// "rtc0" -> "/dev/rtc0".
std::string dev_path(const std::string& name) { return name.rfind("/dev", 0) == 0 ? name : "/dev/" + name; }

bool wakeup_enabled(BoxProgram& p, const std::string& devname) {
    const std::string dev = devname.rfind("/dev/", 0) == 0 ? devname.substr(5) : devname;
    const std::string path = "/sys/class/rtc/" + dev + "/device/power/wakeup";
    const auto line = p.read_line(path);
    if (!line) {
        p.warn("cannot open " + path);
        return false;
    }
    return *line == "enabled";
}

}  // namespace

RtcwakeResult rtcwake_main(BoxProgram& p, const std::vector<std::string>& args) {
    RtcwakeResult r;
    std::vector<Option> options;
    std::vector<std::string> operands;
    if (!parse_options(p, args,
                       {{'m', "mode", true}, {'s', "seconds", true}, {'t', "time", true},
                        {'d', "device", true}, {'n', "dry-run", false}, {'u', "utc", false},
                        {'l', "local", false}, {'a', "auto", false}},
                       options, operands)) {
        r.status = 1;
        return r;
    }
    Mode mode = Mode::Off;
    std::string mode_str = "suspend", devname = "/dev/rtc0";
    bool suspend_mode = true;  // the default "suspend": a state of /sys/power/state
    bool dry_run = false, clock_given = false;
    time_t alarm = 0, seconds = 0;
    char when = 0;
    for (const Option& o : options) {
        if (o.code == 's' || o.code == 't') {
            if (when && when != o.code) {
                p.err += p.name() + ": mutually exclusive arguments: --seconds --time --date\n";
                r.status = 1;
                return r;
            }
            when = char(o.code);
            if (!to_time(o.arg, o.code == 's' ? &seconds : &alarm)) {
                p.warnx(std::string(o.code == 's' ? "invalid seconds argument" : "invalid time argument") + ": '" +
                        o.arg + "'");
                r.status = 1;
                return r;
            }
        } else if (o.code == 'm') {
            static const struct {
                const char* name;
                Mode mode;
            } modes[] = {{"off", Mode::Off}, {"no", Mode::No}, {"on", Mode::On},
                         {"disable", Mode::Disable}, {"show", Mode::Show}};
            bool found = false;
            for (const auto& m : modes)
                if (o.arg == m.name) {
                    mode = m.mode;
                    found = true;
                }
            if (!found) {
                // the box's kernel has no /sys/power/state: no sleep state is known
                p.warnx("unrecognized suspend state '" + o.arg + "'");
                r.status = 1;
                return r;
            }
            suspend_mode = false;
            mode_str = o.arg;
        } else if (o.code == 'd') {
            devname = o.arg;
        } else if (o.code == 'n') {
            dry_run = true;
        } else if (o.code == 'u' || o.code == 'l') {
            clock_given = true;  // (UTC and local time are the same on the box)
        } else if (o.code == 'a') {
            clock_given = false;
        }
    }
    if (!clock_given && !p.files().adjtime)
        p.print(p.name() + ": assuming RTC uses UTC ...\n");
    const bool needs_time = suspend_mode || (mode != Mode::Disable && mode != Mode::Show);
    if (!alarm && !seconds && needs_time) {
        p.warnx("must provide wake time (see --seconds, --time and --date options)");
        r.status = 1;
        return r;
    }
    const long fd = p.open(dev_path(devname));
    if (fd < 0) {
        p.warn(dev_path(devname) + ": unable to find device");
        r.status = 1;
        return r;
    }
    auto fail = [&](int status) {
        p.close(fd);
        r.status = status;
        return r;
    };
    if ((suspend_mode || (mode != Mode::On && mode != Mode::No)) && !wakeup_enabled(p, devname)) {
        p.warnx(devname + " not enabled for wakeup events");
        return fail(1);
    }
    // the RTC and the system clock, read as close together as it can
    struct rtc_time rt {};
    if (p.ioctl(fd, RTC_RD_TIME, &rt) < 0) {
        p.warn("read rtc time failed");
        return fail(1);
    }
    const time_t sys_time = p.wall_time().tv_sec;
    struct tm tm {};
    copy_date_time(tm, rt);
    tm.tm_isdst = -1;
    const time_t rtc_time = timegm(&tm);
    if (rtc_time == time_t(-1)) {
        p.warn("convert rtc time failed");
        return fail(1);
    }
    if (needs_time) {
        if (alarm) {
            if (alarm < sys_time) {
                p.warnx("time doesn't go backward to " + ctime_text(alarm));
                return fail(1);
            }
            alarm -= sys_time - rtc_time;
        } else {
            alarm = rtc_time + seconds + 1;
        }
        struct rtc_wkalrm wake {};
        struct tm at {};
        gmtime_r(&alarm, &at);
        copy_date_time(wake.time, at);
        wake.time.tm_wday = wake.time.tm_yday = wake.time.tm_isdst = -1;
        wake.enabled = 1;
        if (!dry_run && p.ioctl(fd, RTC_WKALM_SET, &wake) < 0) {
            p.warn("set rtc wake alarm failed");
            return fail(1);
        }
        if (!suspend_mode && (mode == Mode::No || mode == Mode::On))
            p.print(p.name() + ": wakeup using " + devname + " at " + ctime_text(alarm));
        else
            p.print(p.name() + ": wakeup from \"" + mode_str + "\" using " + devname + " at " + ctime_text(alarm));
        p.usleep(10 * 1000);
    }
    if (suspend_mode) {
        // no /sys/power/state to write the state to
        p.error = ENOENT;
        p.warn("cannot open /sys/power/state");
    } else if (mode == Mode::No) {
        dry_run = true;  // the alarm stays
    } else if (mode == Mode::Off) {
        if (!dry_run) {
            // exec: the descriptor, opened close-on-exec, goes; the box powers off
            p.close(fd);
            r.shutdown = true;
            return r;
        }
    } else if (mode == Mode::Show) {
        struct rtc_wkalrm wake {};
        if (p.ioctl(fd, RTC_WKALM_RD, &wake) < 0) {
            p.warn("read rtc alarm failed");
            r.status = 1;
        } else if (wake.enabled != 1 || wake.time.tm_year == -1) {
            p.print("alarm: off\n");
        } else {
            struct tm a {};
            copy_date_time(a, wake.time);
            a.tm_isdst = -1;
            const time_t t = timegm(&a);
            if (t == time_t(-1)) {
                p.warn("convert time failed");
                r.status = 1;
            } else {
                p.print("alarm: on  " + ctime_text(t + (sys_time - rtc_time)));
            }
        }
        dry_run = true;  // it only shows
    } else if (mode == Mode::On && !dry_run) {
        // wait for the alarm's interrupt, read after read
        for (;;) {
            unsigned long data = 0;
            if (p.read(fd, &data, sizeof data) < 0) {
                p.warn("rtc read failed");
                break;
            }
            if (data & RTC_AF)
                break;
        }
    }
    if (!dry_run) {
        struct rtc_wkalrm wake {};
        if (p.ioctl(fd, RTC_WKALM_RD, &wake) < 0) {
            p.warn("read rtc alarm failed");
            r.status = 1;
        } else {
            wake.enabled = 0;
            if (p.ioctl(fd, RTC_WKALM_SET, &wake) < 0) {
                p.warn("disable rtc alarm interrupt failed");
                r.status = 1;
            }
        }
    }
    p.close(fd);
    return r;
}

}  // namespace sim::userland
