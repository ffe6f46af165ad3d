// SPDX-License-Identifier: MIT
// fpsim soak: hours of simulated use of the box under random faults, with the
// invariants checked after every step.  A failure prints the seed that
// reproduces it.
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "checks/invariants.h"
#include "checks/key_table.h"
#include "machine/footprint.h"
#include "tool.h"

namespace fpsim {

namespace {

using sim::Nanos;
using namespace sim;  // the _ms/_s literals

/// Longest stretch with interrupts off that a healthy box shows: a frame cut
/// short (about 2.3 ms) is the worst the driver allows itself.
constexpr Nanos kIrqsOffBound = 5'000'000;
constexpr const char* kIrqsOffAllowance = "a healthy box (a frame cut short, about 2.3 ms, at worst)";

/// The signal (SIGINT, SIGTERM) that asked the soak to stop: it stops after
/// its current step and gives its summary.
volatile std::sig_atomic_t g_interrupted = 0;

/// The runs of soak --jobs, to which the parent passes the signal on.
pid_t g_runs[1024];
volatile std::sig_atomic_t g_run_count = 0;

extern "C" void on_interrupt(int signo) {
    g_interrupted = signo;
    for (std::sig_atomic_t i = 0; i < g_run_count; ++i)
        kill(g_runs[i], SIGINT);
}

/// Catches SIGINT and SIGTERM while it lives.
class StopSignals {
public:
    StopSignals() {
        struct sigaction sa {};
        sa.sa_handler = on_interrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_[0]);
        sigaction(SIGTERM, &sa, &old_[1]);
    }
    ~StopSignals() {
        sigaction(SIGINT, &old_[0], nullptr);
        sigaction(SIGTERM, &old_[1], nullptr);
    }

private:
    struct sigaction old_[2];
};

/// How much the simulator's own memory may grow from the middle of the run to
/// its end: the box's records reach their bounds within the first hundred
/// hours or so (the ISP link's after a few flashes), nothing else grows.  A
/// shorter run may still be filling them: the check needs this many hours.
constexpr Nanos kMemoryCheckMinimum = 1000ull * 3600 * 1'000'000'000;
constexpr long kMappingsGrowthBound = 8;
constexpr long kRssGrowthBoundKb = 4 * 1024;

/// What one soak run did, summed over the runs of `soak --jobs`.
struct SoakTotals {
    double hours = 0, wall = 0;
    uint64_t events = 0, faults = 0, taps = 0;
    unsigned failures = 0;
    int interrupted = 0;  ///< the signal that stopped it, 0 none
};

class Soak {
public:
    Soak(const ToolOptions& o, double hours)
        : options_(o), end_(Nanos(hours * 3600.0 * 1e9)), rng_(o.seed ^ 0x50a4ull) {
        sim::BoxConfig cfg = box_config(o);
        cfg.restore_module_image = true;  // thousands of starts, one mapping
        box_ = std::make_unique<sim::Box>(cfg);
        runner_ = std::make_unique<sim::userland::ProgramRunner>(*box_);
        runner_->keep_images = true;  // a hundred flashes and more, one mapping
    }

    /// @progress: show progress on a terminal.
    SoakTotals run(bool progress_wanted) {
        const auto wall0 = std::chrono::steady_clock::now();
        box_->micom().set_time(micom::DateTime{2026, 1, 1, 0, 0, 0});
        if (box_->boot() != 0)
            fail("the first start failed");
        // progress on a terminal, about twice a second of wall time
        const bool progress = progress_wanted && isatty(2) != 0;
        auto shown = wall0;
        StopSignals stop;
        while (failures_ == 0 && box_->machine().now() < end_ && !g_interrupted) {
            step();
            box_->machine().run_for(20_ms);  // what is on the wires arrives before the next step looks
            check();
            if (progress && std::chrono::steady_clock::now() - shown > std::chrono::milliseconds(500)) {
                shown = std::chrono::steady_clock::now();
                std::fprintf(stderr, "\rsoak: %.2f of %.2f simulated hours, %llu events, %u failures\033[K",
                             seconds(box_->machine().now()) / 3600.0, double(end_) / 3600e9,
                             (unsigned long long)events_, failures_);
            }
            if (!early_ && end_ >= kMemoryCheckMinimum && box_->machine().now() >= end_ / 2) {
                early_ = sim::host_footprint();
                early_hours_ = seconds(box_->machine().now()) / 3600.0;
            }
        }
        if (progress)
            std::fputs("\r\033[K", stderr);
        check_memory();
        const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
        uint64_t faults = faults_ + box_->soc().primary().faults_injected() + box_->soc().isp().faults_injected();
        std::printf("soak: seed %llu, %.1f simulated hours in %.1f wall seconds, %llu events, %llu faults "
                    "injected, %llu clean taps, %u failures%s\n",
                    (unsigned long long)options_.seed, seconds(box_->machine().now()) / 3600.0, wall,
                    (unsigned long long)events_, (unsigned long long)faults, (unsigned long long)taps_,
                    failures_, g_interrupted ? " (interrupted)" : "");
        return SoakTotals{seconds(box_->machine().now()) / 3600.0, wall, events_, faults, taps_, failures_,
                          int(g_interrupted)};
    }

private:
    unsigned pick(unsigned n) { return unsigned(rng_() % n); }
    /// The run's time still to go: the long waits end with it, so that every
    /// run of soak --jobs ends at the hours asked for.
    Nanos left() const { return box_->machine().now() < end_ ? end_ - box_->machine().now() : 0; }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

    void fail(const std::string& what) {
        ++failures_;
        std::printf("soak: FAILED at %.6f s: %s\nreproduce with: fpsim --seed %llu soak --hours %.3f\n",
                    seconds(box_->machine().now()), what.c_str(), (unsigned long long)options_.seed,
                    double(end_) / 3600e9);
    }

    /// A key byte of the driver's default key map, at random.
    uint8_t random_key() {
        const auto keys = checks::default_keys();
        return keys[pick(unsigned(keys.size()))].key_byte;
    }

    void noise(bool on) {
        LinkFaults f;
        if (on) {
            f.drop = 0.02;
            f.corrupt = 0.02;
            f.duplicate = 0.01;
        }
        box_->soc().primary().faults = f;
        noisy_ = on;
    }

    void step() {
        ++events_;
        if (!box_->powered()) {
            box_->machine().run_for(10_s);  // wait for the micom to switch it on
            return;
        }
        if (!box_->kernel().module_loaded()) {
            if (box_->boot() != 0)
                fail("a start failed");
            return;
        }
        switch (pick(20)) {
        case 0: case 1: case 2: case 3: case 4: case 5: {  // a key on the remote
            const uint8_t key = random_key();
            box_->micom().press_key(key, Nanos(50 + pick(700)) * 1_ms, chance(0.1) ? 0x12 : 0x5F);
            box_->machine().run_for(1_s);
            if (chance(0.25))
                check_clean_tap();
            break;
        }
        case 6: case 7: {  // the kernel asks the micom for its clock
            const bool trusted = !noisy_;
            const unsigned long t = box_->kernel().call_export<unsigned long>("get_RTC_time");
            if (trusted) {
                // the kernel clock was set from the answer: it is t + 0.5 s,
                // unless the box's 32-bit clock cannot hold t
                const int64_t diff = box_->kernel().wall_ns() - int64_t(t) * 1'000'000'000 - 500'000'000;
                const bool followed = diff >= 0 && diff <= int64_t(100_ms);
                if (t <= uint64_t(sim::kBoxLastClockSecond) && !followed)
                    fail("the kernel clock does not follow the micom's time answer");
                if (t > uint64_t(sim::kBoxLastClockSecond) && followed)
                    fail("the kernel clock took a time past its 32-bit limit");
            }
            break;
        }
        case 8: {  // set the micom's clock through /proc/settime
            char text[32];
            std::snprintf(text, sizeof text, "20%02u%02u%02u%02u%02u%02u+0\n", 20 + pick(20), 1 + pick(12),
                          1 + pick(28), pick(24), pick(60), pick(60));
            if (box_->kernel().proc_write("settime", text) != 17)
                fail("/proc/settime did not take its 17 bytes");
            break;
        }
        case 9: case 10: {  // an LED mode, then read it back
            const unsigned mode = pick(5);
            box_->kernel().proc_write("led", std::to_string(mode) + "\n");
            auto r = box_->kernel().proc_read("led");
            if (mode <= 3 && r.data != std::to_string(mode) + "\n")
                fail("/proc/led does not read back the mode just set");
            break;
        }
        case 11: {  // the rescue hand-shake, answered or not
            if (chance(0.5)) {
                const uint8_t keys[4] = {0x43, 0x20, 0x21, 0x22};
                box_->machine().events().at(box_->machine().now() + 200_ms,
                                            [this, k = keys[pick(4)]] { box_->micom().press_key(k, 300_ms); });
            }
            auto r = box_->kernel().proc_read("rescue");
            if (r.data.empty())
                fail("/proc/rescue gave nothing");
            break;
        }
        case 12: {  // a burst of noise on the primary line
            noise(true);
            ++faults_;
            for (int i = 0; i < 5; ++i) {
                box_->micom().press_key(random_key(), Nanos(100 + pick(400)) * 1_ms);
                box_->machine().run_for(1_s);
            }
            noise(false);
            // a clean press lets any key the noise left held go
            box_->micom().press_key(0x49, 100_ms);
            box_->machine().run_for(1_s);
            check_clean_tap();
            break;
        }
        case 13: {  // power off with a wake-up time a few minutes ahead
            const micom::DateTime m = box_->micom().time();
            unsigned minutes = 2 + pick(30);
            unsigned min = unsigned(m.min) + minutes, hour = unsigned(m.hour) + min / 60;
            if (hour >= 24 || Nanos(minutes) * 60_s + 30_s > left()) {
                // not across midnight, nor past the run's end: just wait
                box_->machine().run_for(std::min(Nanos(minutes) * 60_s, left()));
                break;
            }
            char digits[16];
            std::snprintf(digits, sizeof digits, "%04d%02d%02d%02u%02u%02d", m.year, m.mon, m.day, hour,
                          min % 60, m.sec);
            box_->kernel().call_export<void>("set_ALARM_time", (const char*)digits);
            const unsigned boots = box_->kernel().boots();
            box_->kernel().poweroff();
            box_->machine().run_for(Nanos(minutes) * 60_s + 30_s);
            if (box_->kernel().boots() == boots || !box_->kernel().module_loaded()) {
                const micom::DateTime now = box_->micom().time(), w = box_->micom().wake_up_time();
                char what[160];
                std::snprintf(what, sizeof what,
                              "the box did not wake at its wake-up time %s (micom: %04d-%02d-%02d %02d:%02d:%02d, "
                              "stored %04d-%02d-%02d %02d:%02d:%02d, box %s)",
                              digits, now.year, now.mon, now.day, now.hour, now.min, now.sec, w.year, w.mon,
                              w.day, w.hour, w.min, w.sec, box_->powered() ? "on" : "off");
                fail(what);
            }
            else if (box_->kernel().call_export<int>("get_ALARM_status") == 0)
                fail("the start after a wake-up does not report it");
            break;
        }
        case 14: {  // now and then, re-flash the micom
            if (!chance(0.05))
                break;
            std::vector<uint8_t> image(8192);
            for (auto& b : image)
                b = uint8_t(rng_());
            char path[] = "/tmp/fpsim-soak-XXXXXX";
            int fd = mkstemp(path);
            if (fd < 0 || write(fd, image.data(), image.size()) != ssize_t(image.size())) {
                fail("cannot write a firmware image");
                break;
            }
            close(fd);
            auto r = run_micomflash(*runner_, options_, chance(0.5), {path});
            unlink(path);
            if (r.exit_status != 0)
                fail("a flash failed (exit " + std::to_string(r.exit_status) + ")");
            else if (!std::equal(image.begin(), image.end(), box_->micom().flash().begin()))
                fail("the micom's flash differs from the image after a good flash");
            break;
        }
        default:  // the box sits there (not past the run's end)
            box_->machine().run_for(std::min(Nanos(30 + pick(600)) * 1_s, left()));
            break;
        }
    }

    // Liveness: whatever came before, after a quiet second a clean tap of a
    // valid key reaches user space as exactly that press and that release.
    void check_clean_tap() {
        box_->machine().run_for(1_s);
        if (!box_->kernel().module_loaded() || box_->kernel().input().registered().empty())
            return;
        const uint8_t key = random_key();
        const unsigned code = checks::key_code_of(*box_, key);
        const size_t from = checks::input_events_read(*box_);
        box_->micom().press_key(key, 80_ms);  // shorter than the repeat interval
        box_->machine().run_for(500_ms);
        if (const checks::Finding found = checks::clean_tap_read(*box_, from, key, code); !found.empty())
            fail(found);
        ++taps_;
    }

    // The simulator's memory is flat: what a boot, a context or a flash takes
    // is given back.
    void check_memory() {
        const sim::HostFootprint end = sim::host_footprint();
        if (!early_)
            return;
        std::printf("soak: memory: %ld mappings, VmRSS %ld kB after %.1f hours; %ld mappings, VmRSS %ld kB "
                    "at the end\n",
                    early_->mappings, early_->rss_kb, early_hours_, end.mappings, end.rss_kb);
        if (failures_)
            return;
        if (end.mappings > early_->mappings + kMappingsGrowthBound)
            fail("the simulator's memory mappings grew from " + std::to_string(early_->mappings) + " to " +
                 std::to_string(end.mappings));
        else if (sim::kResidentSizeTracksHeap && end.rss_kb > early_->rss_kb + kRssGrowthBoundKb)
            fail("the simulator's resident size grew from " + std::to_string(early_->rss_kb) + " kB to " +
                 std::to_string(end.rss_kb) + " kB");
    }

    // The invariants of the box (sim/checks), the held keys compared only
    // between two presses of the micom's, both ways: the soak sends no frame
    // of the front panel.
    void check() {
        if (failures_)
            return;
        const bool keys_settled = !box_->micom().key_active();
        checks::Finding found = checks::kernel_saw_no_bug(*box_);
        if (found.empty())
            found = checks::irqs_off_within(*box_, kIrqsOffBound, kIrqsOffAllowance);
        if (found.empty())
            found = checks::box_state(*box_, keys_settled);
        if (found.empty() && keys_settled)
            found = checks::pending_press_held(*box_);
        if (!found.empty())
            fail(found);
    }

    ToolOptions options_;
    Nanos end_;
    std::mt19937_64 rng_;
    std::unique_ptr<sim::Box> box_;
    std::unique_ptr<sim::userland::ProgramRunner> runner_;
    bool noisy_ = false;
    std::optional<sim::HostFootprint> early_;
    double early_hours_ = 0;
    uint64_t events_ = 0, faults_ = 0;
    unsigned failures_ = 0;
    uint64_t taps_ = 0;  ///< clean taps checked
};

/// The shells' exit status for a run: 1 a check failed, 128 and the signal
/// when one ended it (130 SIGINT, 143 SIGTERM).
int soak_status(const SoakTotals& t) {
    return t.failures ? 1 : t.interrupted ? 128 + t.interrupted : 0;
}

/// Runs seeds seed .. seed+jobs-1 side by side, each in a process of its own
/// (one box per process), and sums them up.  Each run's own lines are printed
/// in seed order once all have ended, so the output does not depend on which
/// finished first.
int run_soak_jobs(const ToolOptions& options, double hours, unsigned jobs) {
    struct Job {
        pid_t pid = -1;
        int text = -1, totals = -1;  // its standard output, its SoakTotals
    };
    std::fflush(stdout);
    const auto wall0 = std::chrono::steady_clock::now();
    std::vector<Job> running;
    // SIGINT or SIGTERM, to the whole group (Ctrl-C) or to this process
    // alone, ends every run: each stops after its step and gives its totals
    StopSignals stop;
    for (unsigned i = 0; i < jobs && !g_interrupted; ++i) {
        int text[2], totals[2];
        if (pipe(text) != 0 || pipe(totals) != 0) {
            std::perror("fpsim: soak");
            return 1;
        }
        const pid_t pid = fork();
        if (pid < 0) {
            std::perror("fpsim: soak");
            return 1;
        }
        if (pid == 0) {
            g_run_count = 0;  // a run passes nothing on
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // a parent killed outright takes its runs along
            if (getppid() == 1)
                _exit(1);
            for (const Job& j : running) {
                close(j.text);
                close(j.totals);
            }
            close(text[0]);
            close(totals[0]);
            dup2(text[1], 1);
            close(text[1]);
            ToolOptions mine = options;
            mine.seed = options.seed + i;
            const SoakTotals t = Soak(mine, hours).run(false);
            std::fflush(stdout);
            const ssize_t n = write(totals[1], &t, sizeof t);
            _exit(n == ssize_t(sizeof t) ? 0 : 1);
        }
        close(text[1]);
        close(totals[1]);
        running.push_back(Job{pid, text[0], totals[0]});
        g_runs[i] = pid;
        g_run_count = std::sig_atomic_t(i + 1);
        if (g_interrupted)  // it came before this run could be told
            kill(pid, SIGINT);
    }
    SoakTotals sum;
    unsigned lost = 0;
    for (const Job& j : running) {
        char buf[4096];
        ssize_t n;
        while ((n = read(j.text, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                std::fwrite(buf, 1, size_t(n), stdout);
        SoakTotals t;
        ssize_t got;
        do
            got = read(j.totals, &t, sizeof t);
        while (got < 0 && errno == EINTR);
        int status = 0;
        while (waitpid(j.pid, &status, 0) < 0 && errno == EINTR) {
        }
        close(j.text);
        close(j.totals);
        if (got != ssize_t(sizeof t) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++lost;  // the run died (a crash shows as its signal)
            std::printf("soak: the run of seed %llu ended without its summary%s\n",
                        (unsigned long long)(options.seed + unsigned(&j - running.data())),
                        WIFSIGNALED(status) ? (std::string(" (") + strsignal(WTERMSIG(status)) + ")").c_str()
                                            : "");
            continue;
        }
        sum.hours += t.hours;
        sum.events += t.events;
        sum.faults += t.faults;
        sum.taps += t.taps;
        sum.failures += t.failures;
        if (!sum.interrupted)
            sum.interrupted = t.interrupted;
    }
    g_run_count = 0;
    if (g_interrupted)  // the parent's own signal decides the status
        sum.interrupted = int(g_interrupted);
    sum.failures += lost;
    sum.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    std::printf("soak: %u runs, seeds %llu to %llu, %.1f simulated hours in %.1f wall seconds "
                "(%.0f simulated hours a wall minute), %llu events, %llu faults injected, %llu clean taps, %u "
                "failures%s\n",
                unsigned(running.size()), (unsigned long long)options.seed,
                (unsigned long long)(options.seed + running.size() - 1), sum.hours,
                sum.wall, sum.wall > 0 ? sum.hours * 60.0 / sum.wall : 0.0, (unsigned long long)sum.events,
                (unsigned long long)sum.faults, (unsigned long long)sum.taps, sum.failures, sum.interrupted ? " (interrupted)" : "");
    return soak_status(sum);
}

}  // namespace

int run_soak(const ToolOptions& options, double hours, unsigned jobs) {
    if (jobs > 1)
        return run_soak_jobs(options, hours, jobs);
    return soak_status(Soak(options, hours).run(true));
}

}  // namespace fpsim
