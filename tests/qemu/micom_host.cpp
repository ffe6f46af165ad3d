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
// The guest asks for what only the outside world can do through its console
// (COM1, a third chardev, given with --console): a console line holding
// "fp-host: " followed by one of
//
//   key ADDR KEY HOLD_MS    the remote (ADDR 5F) or the front keys (12)
//                           press KEY (hex) for HOLD_MS milliseconds
//   time YYYY-MM-DDTHH:MM:SS  the micom's clock is set to that time and
//                           the micom sends a time answer of its own accord
//   storm SEED SECONDS      for SECONDS the micom turns hostile on the
//                           primary link: it sends every input of the
//                           corpora of --frame-corpus and --key-corpus
//                           (the fuzz harnesses' inputs, as byte streams
//                           with their pauses), then seeded random streams:
//                           noise, cut frames, wrong check bytes, foreign
//                           addresses, floods at full line speed, silences
//                           inside frames, well-formed frames of any
//                           contents; it logs "storm end: ..." with counts
//   isp-noise on SEED|off   while on, every byte the micom receives on the
//                           ISP link is answered with silence, random
//                           bytes, an echo that differs or a burst, and
//                           the model hears none of them
//
// is carried out as soon as the line is complete, and logged as
// "<seconds> command <text>".  The guest prints the line only once it is
// ready for the result (its event device open), so the request cannot be
// early or late however slow the guest runs.
//
// The flash starts with blocks 1 to 31 holding a fixed pattern and block 0
// erased (so a block 0 programming verifies without a chip erase); the log
// gives the flash checksum at the start and at the end, and block 0 at the
// end:
//
//   <seconds> flash-checksum start|end XXXX
//   <seconds> flash-block 0 <512 hex digits>
//
//   nak verify on|off       the flash programmer refuses (or takes again)
//                           every block verification
//   power-loss BLOCK BYTES  the micom loses power once the ISP link has
//                           carried BYTES data bytes of block BLOCK's
//                           programming command (40 BLOCK 00 FF); the
//                           programmer's next exit sequence powers it again
//   flash-report TAG        logs the whole flash (below)
//   flash-restore           the flash holds its power-on contents again
//
// With --pins, the QEMU board's pin channel (a fourth chardev, see
// programmer/qemu_board/) drives the model's pins through a GPIO block and
// its 8 MHz reference through a clock generator, as micomflash's vendor
// calls drive them on the box.  Each request is answered once applied, and
// every byte already queued on the ISP link (and the console) is taken
// before a pin change, so the model sees pins and ISP bytes in the order the
// guest made them.  Logged:
//
//   <seconds> pin <guest microseconds> <address> <value>
//   <seconds> rua set|exchange <module> <property> <record words> -> <status>
//   <seconds> flash TAG <checksum> <16384 hex digits>
//
// usage: micom_host --primary SOCKET --isp SOCKET --log FILE
//                   [--console SOCKET] [--pins SOCKET]
//                   [--time YYYY-MM-DDTHH:MM:SS] [--connect-timeout SECONDS]
//                   [--frame-corpus DIR] [--key-corpus DIR]
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
#include <algorithm>
#include <array>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "hostile_micom.h"
#include "micom_env.h"
#include "pin_channel.h"
#include "soc/clock_generator.h"
#include "soc/gpio.h"
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

    void transmit(Link link, uint8_t byte) override { queue(link, byte, true); }

    /// A byte of the hostile micom's: sent like the model's, but counted
    /// instead of logged one by one (a storm is megabytes of log).
    void transmit_unlogged(Link link, uint8_t byte) { queue(link, byte, false); }

    /// When the line is free after the bytes queued so far.
    Nanos line_free(Link link) const { return std::max(now(), tx_[idx(link)].line_free); }

    Nanos char_time(Link link) const override {
        return (link == Link::Primary ? 10 : 11) * kBitNanos;
    }

    void set_box_power(bool on) override {
        log_line("box-power %s", on ? "on" : "off");
    }

    // ---- the loop's side ----
    void set_fd(Link link, int fd) { fd_[idx(link)] = fd; }
    void pins_changed() { pins_changed_ = now(); }

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
                const uint8_t b = tx.queue.front().byte;
                const bool logged = tx.queue.front().logged;
                tx.queue.pop_front();
                if (logged) log_line("tx %s %02X", link_name(l), b);
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
        // The guest sent an ISP byte that reached us after a pin change only
        // after that change: its pin write had been answered, or the byte
        // would have been taken before the change (see the pin channel).
        if (link == Link::Isp) start = std::max(start, pins_changed_);
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
        bool logged;
    };
    struct Tx {
        std::deque<Pending> queue;
        Nanos line_free = 0;
    };

    static size_t idx(Link l) { return l == Link::Primary ? 0 : 1; }

    void queue(Link link, uint8_t byte, bool logged) {
        Tx& tx = tx_[idx(link)];
        Nanos begin = std::max(now(), tx.line_free);
        tx.line_free = begin + char_time(link);
        tx.queue.push_back({tx.line_free, byte, logged});
    }

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
    Nanos pins_changed_ = 0;
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
                 "                  [--console SOCKET] [--pins SOCKET]\n"
                 "                  [--time YYYY-MM-DDTHH:MM:SS] [--connect-timeout SECONDS]\n"
                 "                  [--frame-corpus DIR] [--key-corpus DIR]\n"
                 "       micom_host --has-model\n");
}

#ifdef FP_HAVE_MICOM_MODEL
bool parse_date(const std::string& text, micom::DateTime& t) {
    return std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d", &t.year, &t.mon, &t.day, &t.hour, &t.min,
                       &t.sec) == 6;
}

constexpr size_t kFlashBlock = 256;

// Blocks 1 to 31 hold a fixed pattern, block 0 is erased.
std::array<uint8_t, 8192> initial_flash() {
    std::array<uint8_t, 8192> f{};
    for (size_t i = 0; i < f.size(); ++i)
        f[i] = i < kFlashBlock ? 0xFF : static_cast<uint8_t>((i * 7 + i / kFlashBlock) & 0xFF);
    return f;
}

void log_flash(HostEnv& env, const micom::MicomModel& model, const char* when) {
    env.log_line("flash-checksum %s %04X", when, model.flash_checksum());
    if (std::string(when) != "end") return;
    std::string hex;
    char b[3];
    for (size_t i = 0; i < kFlashBlock; ++i) {
        std::snprintf(b, sizeof b, "%02X", model.flash()[i]);
        hex += b;
    }
    env.log_line("flash-block 0 %s", hex.c_str());
}

void log_whole_flash(HostEnv& env, const micom::MicomModel& model, const char* tag) {
    std::string hex;
    char b[3];
    for (uint8_t byte : model.flash()) {
        std::snprintf(b, sizeof b, "%02X", byte);
        hex += b;
    }
    env.log_line("flash %s %04X %s", tag, model.flash_checksum(), hex.c_str());
}

// Cuts the micom's power once the ISP link has carried a chosen number of
// data bytes after a block's programming command (40 BLOCK 00 FF).
class PowerCut {
public:
    void arm(unsigned block, unsigned bytes) {
        block_ = block;
        bytes_ = bytes;
        armed_ = true;
        counting_ = false;
    }
    // A byte the micom received on the ISP link; true when the power goes now.
    bool after(uint8_t byte) {
        if (!armed_) return false;
        if (counting_) {
            if (++count_ < bytes_) return false;
            armed_ = false;
            return true;
        }
        window_ = (window_ << 8) | byte;
        if (window_ == (0x40000000u | block_ << 16 | 0x00FFu)) {
            counting_ = true;
            count_ = 0;
        }
        return false;
    }

private:
    bool armed_ = false, counting_ = false;
    unsigned block_ = 0, bytes_ = 0, count_ = 0;
    uint32_t window_ = 0;
};

// Carries out one request of the guest (the text after "fp-host: ").
void run_command(HostEnv& env, micom::MicomModel& model, PowerCut& cut, const std::string& text) {
    env.log_line("command %s", text.c_str());
    unsigned addr = 0, key = 0, hold_ms = 0, block = 0, bytes = 0;
    char date[32], word[32];
    micom::DateTime t;
    if (std::sscanf(text.c_str(), "nak verify %31s", word) == 1) {
        model.set_nak(micom::IspStep::BlockVerify, std::string(word) == "on");
    } else if (std::sscanf(text.c_str(), "power-loss %u %u", &block, &bytes) == 2 && block < 32 && bytes > 0 &&
               bytes <= 256) {
        cut.arm(block, bytes);
    } else if (std::sscanf(text.c_str(), "flash-report %31s", word) == 1) {
        log_whole_flash(env, model, word);
    } else if (text == "flash-restore") {
        model.set_flash(initial_flash());
    } else if (std::sscanf(text.c_str(), "key %x %x %u", &addr, &key, &hold_ms) == 3 && addr <= 0xFF &&
        key <= 0xFF) {
        model.press_key(static_cast<uint8_t>(key), Nanos{hold_ms} * 1'000'000,
                        static_cast<uint8_t>(addr));
    } else if (std::sscanf(text.c_str(), "time %31s", date) == 1 && parse_date(date, t)) {
        model.set_time(t);
        model.send_time_answer();
    } else {
        env.log_line("command not understood");
    }
}
#endif

// The hostile micom on the primary link: every input of the corpora as the
// micom's bytes with their pauses, then seeded random streams, until the
// deadline.  The model goes on answering meanwhile; its frames queue
// between the storm's.
class Storm {
public:
    explicit Storm(HostEnv& env) : env_(env) {}

    void add_corpus(const std::string& dir, hostile::Stream (*decode)(const std::vector<uint8_t>&)) {
        const auto inputs = hostile::read_corpus(dir);
        for (const auto& input : inputs) corpus_.push_back(decode(input));
        env_.log_line("storm corpus %s: %zu inputs", dir.c_str(), inputs.size());
    }

    void start(uint32_t seed, unsigned seconds) {
        if (running_) return;
        random_ = std::make_unique<hostile::RandomStreams>(seed);
        deadline_ = env_.now() + Nanos{seconds} * 1'000'000'000;
        started_ = env_.now();
        input_ = segment_ = 0;
        bytes_ = streams_ = 0;
        kinds_.fill(0);
        running_ = true;
        pump();
    }

private:
    void pump() {
        if (env_.now() >= deadline_) {
            finish();
            return;
        }
        hostile::Segment seg;
        if (input_ < corpus_.size()) {
            const hostile::Stream& in = corpus_[input_];
            if (segment_ < in.size()) seg = in[segment_++];
            if (segment_ >= in.size()) {
                ++input_;
                segment_ = 0;
            }
        } else {
            if (pending_.empty()) {
                hostile::RandomStreams::Kind kind;
                pending_ = random_->next(&kind);
                std::reverse(pending_.begin(), pending_.end());
                ++kinds_[kind];
                ++streams_;
            }
            seg = pending_.back();
            pending_.pop_back();
        }
        for (uint8_t b : seg.bytes) env_.transmit_unlogged(Link::Primary, b);
        bytes_ += seg.bytes.size();
        const Nanos next = env_.line_free(Link::Primary) + Nanos{seg.pause_us} * 1000;
        env_.at(next, [this] { pump(); });
    }

    void finish() {
        running_ = false;
        pending_.clear();
        std::string kinds;
        for (int k = 0; k < hostile::RandomStreams::kKinds; ++k)
            kinds += std::string(" ") + hostile::RandomStreams::name(static_cast<hostile::RandomStreams::Kind>(k)) +
                     "=" + std::to_string(kinds_[k]);
        env_.log_line("storm end: %zu of %zu corpus inputs, %lu random streams (%s), %lu bytes in %.1f s",
                      input_, corpus_.size(), streams_, kinds.c_str() + 1, bytes_,
                      static_cast<double>(env_.now() - started_) / 1e9);
    }

    HostEnv& env_;
    std::vector<hostile::Stream> corpus_;
    std::unique_ptr<hostile::RandomStreams> random_;
    hostile::Stream pending_;  // the rest of a random stream, last segment first
    std::array<unsigned long, hostile::RandomStreams::kKinds> kinds_{};
    Nanos deadline_ = 0, started_ = 0;
    size_t input_ = 0, segment_ = 0;
    unsigned long bytes_ = 0, streams_ = 0;
    bool running_ = false;
};

// The ISP link while the micom talks nonsense: the model hears nothing of
// it, and every byte received gets an answer of hostile::IspNoise.
struct IspNonsense {
    std::unique_ptr<hostile::IspNoise> noise;
    unsigned long received = 0, sent = 0;
};

// The hostile micom's requests; false when @text is none of them.
bool run_hostile_command(HostEnv& env, Storm& storm, IspNonsense& isp, const std::string& text) {
    unsigned seed = 0, seconds = 0;
    if (std::sscanf(text.c_str(), "storm %u %u", &seed, &seconds) == 2 && seconds > 0 && seconds <= 3600) {
        env.log_line("command %s", text.c_str());
        storm.start(seed, seconds);
    } else if (std::sscanf(text.c_str(), "isp-noise on %u", &seed) == 1) {
        env.log_line("command %s", text.c_str());
        isp.noise = std::make_unique<hostile::IspNoise>(seed);
        isp.received = isp.sent = 0;
    } else if (text == "isp-noise off") {
        env.log_line("command %s", text.c_str());
        env.log_line("isp-noise end: %lu bytes received, %lu sent", isp.received, isp.sent);
        isp.noise.reset();
    } else {
        return false;
    }
    return true;
}

// Collects the console's lines and hands on those that ask the host for something.
class ConsoleWatch {
public:
    explicit ConsoleWatch(std::function<void(const std::string&)> on_request)
        : on_request_(std::move(on_request)) {}

    void feed(const uint8_t* data, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            char c = static_cast<char>(data[i]);
            if (c == '\n') {
                line_done();
            } else if (c != '\r' && line_.size() < 4096) {
                line_ += c;
            }
        }
    }

private:
    void line_done() {
        static const std::string kTag = "fp-host: ";
        auto at = line_.find(kTag);
        if (at != std::string::npos) on_request_(line_.substr(at + kTag.size()));
        line_.clear();
    }

    std::function<void(const std::string&)> on_request_;
    std::string line_;
};

// The board's GPIO block and clock generator, as the QEMU board's vendor
// library reaches them through the pin channel: they drive the model's pins
// and its 8 MHz reference.
class Board {
public:
    explicit Board(HostEnv& env) : env_(env) {
        // While a pin is an input the board holds it here: the micom powered
        // and running its firmware, the 8 MHz clock off, ISP disabled.
        gpio_.set_default_level(2, false);
        gpio_.set_default_level(3, true);
        gpio_.set_default_level(4, false);
        gpio_.set_default_level(5, true);
        gpio_.set_default_level(6, true);
    }

    void on_pin(std::function<void(unsigned, bool)> fn) {
        gpio_.on_change = [fn = std::move(fn)](sim::Nanos, unsigned pin, bool level) { fn(pin, level); };
    }
    void on_reference(std::function<void(bool)> fn) { clock_.on_reference = std::move(fn); }

    // Carries out one request and gives the answer.
    pin_channel::Frame serve(const pin_channel::Frame& f) {
        constexpr int32_t kOk = sim::ClockGenerator::kOk, kInvalid = sim::ClockGenerator::kInvalidRequest;
        if (f.kind == pin_channel::kHello) {
            env_.log_line("pins hello");
            return pin_channel::answer(kOk);
        }
        if (auto w = pin_channel::read_gbus_write(f)) {
            env_.log_line("pin %llu %05X %08X", static_cast<unsigned long long>(w->guest_us), w->addr, w->value);
            if (w->addr != sim::Gpio::kDirAddr && w->addr != sim::Gpio::kDataAddr) return pin_channel::answer(kInvalid);
            gpio_.write(env_.now(), w->addr, w->value);
            env_.pins_changed();
            return pin_channel::answer(kOk);
        }
        auto p = pin_channel::read_property(f);
        if (!p) {
            env_.log_line("pins: request '%c' not understood", f.kind);
            return pin_channel::answer(kInvalid);
        }
        const auto size = static_cast<uint32_t>(p->record.size());
        std::vector<uint8_t> out(f.kind == pin_channel::kExchange ? p->out_size : 0);
        const int32_t status =
            f.kind == pin_channel::kSet
                ? clock_.set_property(p->module, p->property, p->record.data(), size)
                : clock_.exchange_property(p->module, p->property, p->record.data(), size, out.data(),
                                           p->out_size);
        std::string words;
        for (size_t i = 0; i + 4 <= size; i += 4)
            words += (i ? " " : "") + std::to_string(pin_channel::get32(&p->record[i]));
        env_.log_line("rua %s %u %u [%s] -> %d", f.kind == pin_channel::kSet ? "set" : "exchange", p->module,
                      p->property, words.c_str(), status);
        return pin_channel::answer(status, status == kOk ? out : std::vector<uint8_t>{});
    }

private:
    HostEnv& env_;
    sim::Gpio gpio_;
    sim::ClockGenerator clock_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string primary, isp, console, pins, log_path, time_text, frame_corpus, key_corpus;
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
        } else if (a == "--console") {
            console = value();
        } else if (a == "--pins") {
            pins = value();
        } else if (a == "--log") {
            log_path = value();
        } else if (a == "--time") {
            time_text = value();
        } else if (a == "--frame-corpus") {
            frame_corpus = value();
        } else if (a == "--key-corpus") {
            key_corpus = value();
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
        if (!parse_date(time_text, t)) {
            usage();
            return 2;
        }
        model->set_time(t);
    }
    model->set_flash(initial_flash());
    env.log_line("micom model running");
    log_flash(env, *model, "start");
    PowerCut cut;
#else
    (void)time_text;
    env.log_line("no micom model: recording only");
#endif
    Storm storm(env);
    if (!frame_corpus.empty()) storm.add_corpus(frame_corpus, hostile::frame_path_stream);
    if (!key_corpus.empty()) storm.add_corpus(key_corpus, hostile::key_decoder_stream);
    IspNonsense isp_noise;
    ConsoleWatch watch([&](const std::string& text) {
        if (run_hostile_command(env, storm, isp_noise, text)) return;
#ifdef FP_HAVE_MICOM_MODEL
        run_command(env, *model, cut, text);
#else
        env.log_line("command %s", text.c_str());
        env.log_line("command not understood");
#endif
    });

    Board board(env);
#ifdef FP_HAVE_MICOM_MODEL
    board.on_pin([&](unsigned pin, bool level) {
        if (pin >= 2 && pin <= 6) model->set_pin(static_cast<micom::Pin>(pin), level);
    });
    board.on_reference([&](bool present) { model->set_clock_reference(present); });
#endif
    pin_channel::Decoder pin_decoder;
    unsigned pin_errors = 0;

    // QEMU creates and waits on its sockets in command-line order: COM2,
    // COM3, the console, then the pin channel.
    enum { kPrimary, kIsp, kConsole, kPins, kLinks };
    int fds[kLinks] = {-1, -1, -1, -1};
    const std::string paths[kLinks] = {primary, isp, console, pins};
    for (int i = 0; i < kLinks; i++) {
        if (paths[i].empty()) continue;
        fds[i] = connect_unix(paths[i], connect_timeout);
        if (fds[i] < 0) return 1;
    }
    env.set_fd(Link::Primary, fds[kPrimary]);
    env.set_fd(Link::Isp, fds[kIsp]);
    env.log_line("connected");

    const char* names[kLinks] = {"primary", "isp", "console", "pins"};
    bool open[kLinks];
    for (int i = 0; i < kLinks; i++) open[i] = fds[i] >= 0;

    // Takes what arrived on link @i; false when the link closed.
    std::function<bool(int, bool)> take = [&](int i, bool only_queued) {
        uint8_t buf[256];
        ssize_t got = recv(fds[i], buf, sizeof buf, only_queued ? MSG_DONTWAIT : 0);
        if (got < 0 && only_queued && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        if (got <= 0) {
            open[i] = false;
            env.log_line("%s link closed", names[i]);
            return false;
        }
        if (i == kConsole) {
            watch.feed(buf, static_cast<size_t>(got));
            return true;
        }
        if (i == kPins) {
            for (ssize_t k = 0; k < got; k++) {
                auto request = pin_decoder.feed(buf[k]);
                if (!request) continue;
                // Whatever the guest queued on the ISP link and the console
                // before this request was written is taken first.
                for (int before : {kConsole, kIsp})
                    while (open[before] && take(before, true)) {
                        pollfd q{fds[before], POLLIN, 0};
                        if (poll(&q, 1, 0) <= 0) break;
                    }
                env.run_due();
                const auto reply = pin_channel::encode(board.serve(*request));
                if (write(fds[kPins], reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
                    env.log_line("pins: answer not sent: %s", std::strerror(errno));
            }
            if (pin_decoder.errors() != pin_errors)
                env.log_line("pins: %u bytes out of frame", pin_errors = pin_decoder.errors());
            return true;
        }
        const Link link = i == kPrimary ? Link::Primary : Link::Isp;
        for (ssize_t k = 0; k < got; k++) {
            Nanos start = env.arrival_start(link, static_cast<size_t>(got - k));
            env.log_line("rx %s %02X", link_name(link), buf[k]);
            if (link == Link::Isp && isp_noise.noise) {
                ++isp_noise.received;
                for (uint8_t b : isp_noise.noise->answer(buf[k])) {
                    env.transmit_unlogged(Link::Isp, b);
                    ++isp_noise.sent;
                }
                continue;
            }
#ifdef FP_HAVE_MICOM_MODEL
            model->receive(link, buf[k], start, true);
            if (link == Link::Isp && cut.after(buf[k])) {
                env.log_line("power-loss");
                model->power_loss();
            }
#else
            (void)start;
#endif
        }
        return true;
    };

    while (!g_stop && (open[kPrimary] || open[kIsp] || open[kConsole] || open[kPins])) {
        Nanos next = env.run_due();
        pollfd p[kLinks];
        for (int i = 0; i < kLinks; i++) p[i] = {open[i] ? fds[i] : -1, POLLIN, 0};
        timespec ts{1, 0};
        if (next != UINT64_MAX) {
            Nanos now = env.now();
            Nanos wait = next > now ? next - now : 0;
            ts = {static_cast<time_t>(wait / 1'000'000'000), static_cast<long>(wait % 1'000'000'000)};
        }
        int n = ppoll(p, kLinks, &ts, nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < kLinks; i++)
            if (open[i] && (p[i].revents & (POLLIN | POLLHUP | POLLERR))) take(i, false);
    }
#ifdef FP_HAVE_MICOM_MODEL
    log_flash(env, *model, "end");
#endif
    env.log_line("end");
    for (int fd : fds)
        if (fd >= 0) close(fd);
    std::fclose(log);
    return 0;
}
