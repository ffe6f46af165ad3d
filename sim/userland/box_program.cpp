// SPDX-License-Identifier: MIT
#include "userland/box_program.h"

#include "simkernel/wall_clock.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

namespace sim::userland {

long BoxProgram::result(long r) {
    if (r < 0) {
        error = int(-r);
        return -1;
    }
    return r;
}

long BoxProgram::open(const std::string& path) { return result(box_.kernel().sys_open(path)); }
long BoxProgram::close(long fd) { return result(box_.kernel().sys_close(fd)); }
long BoxProgram::read(long fd, void* buf, size_t n) { return result(box_.kernel().sys_read(fd, buf, n)); }

long BoxProgram::ioctl(long fd, unsigned long cmd, void* arg) {
    return ioctl(fd, cmd, reinterpret_cast<unsigned long>(arg));
}

long BoxProgram::ioctl(long fd, unsigned long cmd, unsigned long arg) {
    return result(box_.kernel().sys_ioctl(fd, unsigned(cmd), arg));
}

timeval BoxProgram::wall_time() const {
    const int64_t ns = box_.kernel().wall_ns();
    int64_t sec = ns / 1'000'000'000, rem = ns % 1'000'000'000;
    if (rem < 0) {
        rem += 1'000'000'000;
        --sec;
    }
    return timeval{time_t(sec), suseconds_t(rem / 1000)};
}

bool BoxProgram::set_wall_time(const timeval& tv) {
    if (tv.tv_sec > INT32_MAX) {  // the C library's 32-bit time_t
        error = EOVERFLOW;
        return false;
    }
    box_.kernel().enter_kernel();
    if (tv.tv_sec < 0 || tv.tv_sec > sim::kBoxLastClockSecond || tv.tv_usec < 0 || tv.tv_usec >= 1'000'000) {
        error = EINVAL;
        return false;
    }
    box_.kernel().set_wall_ns(int64_t(tv.tv_sec) * 1'000'000'000 + int64_t(tv.tv_usec) * 1000);
    return true;
}

double BoxProgram::monotonic() const { return double(box_.machine().now()) / 1e9; }

void BoxProgram::wait_until(const timeval& tv) {
    box_.kernel().enter_kernel();
    const int64_t target = int64_t(tv.tv_sec) * 1'000'000'000 + int64_t(tv.tv_usec) * 1000;
    if (target > box_.kernel().wall_ns())
        box_.machine().sleep(false, box_.machine().now() + Nanos(target - box_.kernel().wall_ns()));
}

void BoxProgram::usleep(unsigned long us) {
    box_.kernel().enter_kernel();
    box_.machine().sleep(false, box_.machine().now() + Nanos(us) * 1000);
}

std::optional<std::string> BoxProgram::read_line(const std::string& path) {
    const long fd = open(path);
    if (fd < 0)
        return std::nullopt;
    char buf[4096];
    const long n = read(fd, buf, sizeof buf);
    close(fd);
    if (n < 0)
        return std::nullopt;
    std::string text(buf, size_t(n));
    return text.substr(0, text.find('\n'));
}

bool parse_options(BoxProgram& p, const std::vector<std::string>& args, const std::vector<OptionSpec>& known,
                   std::vector<Option>& options, std::vector<std::string>& operands) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-') {
            operands.push_back(a);
            continue;
        }
        if (a == "--") {
            operands.insert(operands.end(), args.begin() + long(i) + 1, args.end());
            break;
        }
        if (a[1] == '-') {
            const std::string name = a.substr(2, a.find('=') - 2);
            const OptionSpec* s = nullptr;
            for (const auto& o : known)
                if (name == o.long_name)
                    s = &o;
            if (!s) {
                p.err += p.name() + ": unrecognized option '" + a + "'\n";
                p.try_help();
                return false;
            }
            Option o{s->short_name, ""};
            if (s->has_arg) {
                if (a.find('=') != std::string::npos) {
                    o.arg = a.substr(a.find('=') + 1);
                } else if (i + 1 < args.size()) {
                    o.arg = args[++i];
                } else {
                    p.err += p.name() + ": option '" + a + "' requires an argument\n";
                    p.try_help();
                    return false;
                }
            } else if (a.find('=') != std::string::npos) {
                p.err += p.name() + ": option '--" + name + "' doesn't allow an argument\n";
                p.try_help();
                return false;
            }
            options.push_back(o);
            continue;
        }
        for (size_t j = 1; j < a.size(); ++j) {
            const OptionSpec* s = nullptr;
            for (const auto& o : known)
                if (a[j] == o.short_name)
                    s = &o;
            if (!s) {
                p.err += p.name() + ": invalid option -- '" + a[j] + "'\n";
                p.try_help();
                return false;
            }
            Option o{s->short_name, ""};
            if (s->has_arg) {
                if (j + 1 < a.size()) {
                    o.arg = a.substr(j + 1);
                } else if (i + 1 < args.size()) {
                    o.arg = args[++i];
                } else {
                    p.err += p.name() + ": option requires an argument -- '" + a[j] + "'\n";
                    p.try_help();
                    return false;
                }
                options.push_back(o);
                break;
            }
            options.push_back(o);
        }
    }
    return true;
}

std::string ctime_text(time_t t) {
    struct tm tm {};
    gmtime_r(&t, &tm);
    char buf[32];
    asctime_r(&tm, buf);
    return buf;
}

}  // namespace sim::userland
