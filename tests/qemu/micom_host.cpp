// SPDX-License-Identifier: MIT
// micom_host: the front-panel micom beside a QEMU guest, in real time.
//
// QEMU offers the guest's two micom UARTs as Unix-socket chardevs (server,
// waiting for us): COM2 is the primary link, COM3 the ISP link.  This
// program connects to both, in that order, feeds every byte the guest sends
// to the micom model and sends the model's bytes back, paced at the line's
// character time.  Every byte in either direction is written to the log:
//
//   <seconds> rx|tx primary|isp <hex byte>
//   <seconds> box-power on|off
//
// ("rx" is what the micom received from the SoC).  Built without the micom
// model, it only records what it receives and answers nothing.
//
// usage: micom_host --primary SOCKET --isp SOCKET --log FILE
//                   [--time YYYY-MM-DDTHH:MM:SS] [--connect-timeout SECONDS]
//        micom_host --has-model     (exit status 0 when built with the model)
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "micom_env.h"
#ifdef FP_HAVE_MICOM_MODEL
#include "micom_model.h"
#endif

namespace {

using micom::Link;
using micom::Nanos;

volatile sig_atomic_t g_stop = 0;

void on_signal(int) { g_stop = 1; }

const char* link_name(Link l) { return l == Link::Primary ? "primary" : "isp"; }

// 115200 bit/s: 10 bits per character on the primary link (8N1), 11 on the
// ISP link (8E1).
constexpr Nanos kBitNanos = 1'000'000'000ull / 115200;

class HostEnv final : public micom::MicomEnv {
public:
    HostEnv(FILE* log) : log_(log), start_(std::chrono::steady_clock::now()) {}

    Nanos now() const override {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

    uint64_t at(Nanos t, std::function<void()> fn) override {
        uint64_t id = next_id_++;
        timers_.emplace(id, Timer{t, std::move(fn)});
        return id;
    }

    void cancel(uint64_t id) override { timers_.erase(id); }

    void transmit(Link link, uint8_t byte) override {
        Tx& tx = tx_[idx(link)];
        Nanos begin = std::max(now(), tx.line_free);
        tx.line_free = begin + char_time(link);
        tx.queue.push_back({tx.line_free, byte});
    }

    Nanos char_time(Link link) const override {
        return (link == Link::Primary ? 10 : 11) * kBitNanos;
    }

    void set_box_power(bool on) override {
        log_line("box-power %s", on ? "on" : "off");
    }

    // ---- the loop's side ----
    void set_fd(Link link, int fd) { fd_[idx(link)] = fd; }

    // Runs due timers and sends due bytes; returns the time of the next event.
    Nanos run_due() {
        for (;;) {
            auto first = earliest_timer();
            if (first == timers_.end() || first->second.t > now()) break;
            auto fn = std::move(first->second.fn);
            timers_.erase(first);
            fn();
        }
        Nanos next = UINT64_MAX;
        for (Link l : {Link::Primary, Link::Isp}) {
            Tx& tx = tx_[idx(l)];
            while (!tx.queue.empty() && tx.queue.front().due <= now()) {
                uint8_t b = tx.queue.front().byte;
                tx.queue.pop_front();
                log_line("tx %s %02X", link_name(l), b);
                if (fd_[idx(l)] >= 0 && write(fd_[idx(l)], &b, 1) != 1)
                    log_line("tx %s failed: %s", link_name(l), std::strerror(errno));
            }
            if (!tx.queue.empty()) next = std::min(next, tx.queue.front().due);
        }
        auto first = earliest_timer();
        if (first != timers_.end()) next = std::min(next, first->second.t);
        return next;
    }

    // Start time of the next of @count bytes that arrived together just now:
    // back to back, ending now, never overlapping the previous byte.
    Nanos arrival_start(Link link, size_t remaining) {
        Nanos ct = char_time(link);
        Nanos t = now();
        Nanos start = t > remaining * ct ? t - remaining * ct : 0;
        Nanos& last_end = rx_end_[idx(link)];
        start = std::max(start, last_end);
        last_end = start + ct;
        return start;
    }

    template <typename... Args>
    void log_line(const char* fmt, Args... args) {
        Nanos t = now();
        std::fprintf(log_, "%llu.%06llu ", static_cast<unsigned long long>(t / 1'000'000'000),
                     static_cast<unsigned long long>(t / 1000 % 1'000'000));
        std::fprintf(log_, fmt, args...);
        std::fputc('\n', log_);
        std::fflush(log_);
    }

private:
    struct Timer {
        Nanos t;
        std::function<void()> fn;
    };
    struct Pending {
        Nanos due;
        uint8_t byte;
    };
    struct Tx {
        std::deque<Pending> queue;
        Nanos line_free = 0;
    };

    static size_t idx(Link l) { return l == Link::Primary ? 0 : 1; }

    std::map<uint64_t, Timer>::iterator earliest_timer() {
        auto best = timers_.end();
        for (auto it = timers_.begin(); it != timers_.end(); ++it)
            if (best == timers_.end() || it->second.t < best->second.t) best = it;
        return best;
    }

    FILE* log_;
    std::chrono::steady_clock::time_point start_;
    std::map<uint64_t, Timer> timers_;  // by id: ids grow, so equal times keep their order
    uint64_t next_id_ = 1;
    Tx tx_[2];
    int fd_[2] = {-1, -1};
    Nanos rx_end_[2] = {0, 0};
};

int connect_unix(const std::string& path, double timeout_s) {
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(static_cast<long>(timeout_s * 1000));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof(addr.sun_path)) {
        std::fprintf(stderr, "micom_host: socket path too long: %s\n", path.c_str());
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    while (!g_stop) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return -1;
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return fd;
        close(fd);
        if (std::chrono::steady_clock::now() > deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::fprintf(stderr, "micom_host: cannot connect to %s\n", path.c_str());
    return -1;
}

void usage() {
    std::fprintf(stderr,
                 "usage: micom_host --primary SOCKET --isp SOCKET --log FILE\n"
                 "                  [--time YYYY-MM-DDTHH:MM:SS] [--connect-timeout SECONDS]\n"
                 "       micom_host --has-model\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string primary, isp, log_path, time_text;
    double connect_timeout = 60;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--has-model") {
#ifdef FP_HAVE_MICOM_MODEL
            return 0;
#else
            return 1;
#endif
        } else if (a == "--primary") {
            primary = value();
        } else if (a == "--isp") {
            isp = value();
        } else if (a == "--log") {
            log_path = value();
        } else if (a == "--time") {
            time_text = value();
        } else if (a == "--connect-timeout") {
            connect_timeout = std::atof(value().c_str());
        } else {
            usage();
            return 2;
        }
    }
    if (primary.empty() || isp.empty() || log_path.empty()) {
        usage();
        return 2;
    }

    struct sigaction sa{};
    sa.sa_handler = on_signal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    FILE* log = std::fopen(log_path.c_str(), "w");
    if (!log) {
        std::fprintf(stderr, "micom_host: cannot write %s\n", log_path.c_str());
        return 1;
    }
    HostEnv env(log);

#ifdef FP_HAVE_MICOM_MODEL
    auto model = std::make_unique<micom::MicomModel>(env);
    if (!time_text.empty()) {
        micom::DateTime t;
        if (std::sscanf(time_text.c_str(), "%d-%d-%dT%d:%d:%d", &t.year, &t.mon, &t.day, &t.hour,
                        &t.min, &t.sec) != 6) {
            usage();
            return 2;
        }
        model->set_time(t);
    }
    env.log_line("micom model running");
#else
    env.log_line("no micom model: recording only");
#endif

    // QEMU creates and waits on its sockets in command-line order.
    int fds[2] = {connect_unix(primary, connect_timeout), -1};
    if (fds[0] >= 0) fds[1] = connect_unix(isp, connect_timeout);
    if (fds[0] < 0 || fds[1] < 0) return 1;
    env.set_fd(Link::Primary, fds[0]);
    env.set_fd(Link::Isp, fds[1]);
    env.log_line("connected");

    const Link links[2] = {Link::Primary, Link::Isp};
    bool open[2] = {true, true};
    while (!g_stop && (open[0] || open[1])) {
        Nanos next = env.run_due();
        pollfd p[2];
        for (int i = 0; i < 2; i++) p[i] = {open[i] ? fds[i] : -1, POLLIN, 0};
        timespec ts{1, 0};
        if (next != UINT64_MAX) {
            Nanos now = env.now();
            Nanos wait = next > now ? next - now : 0;
            ts = {static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
        }
        int n = ppoll(p, 2, &ts, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; i++) {
            if (!open[i] || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            uint8_t buf[256];
            ssize_t got = read(fds[i], buf, sizeof buf);
            if (got <= 0) {
                open[i] = false;
                env.log_line("%s link closed", link_name(links[i]));
                continue;
            }
            for (ssize_t k = 0; k < got; k++) {
                Nanos start = env.arrival_start(links[i], static_cast<size_t>(got - k));
                env.log_line("rx %s %02X", link_name(links[i]), buf[k]);
#ifdef FP_HAVE_MICOM_MODEL
                model->receive(links[i], buf[k], start, true);
#else
                (void)start;
#endif
            }
        }
    }
    env.log_line("end");
    for (int fd : fds) close(fd);
    std::fclose(log);
    return 0;
}
