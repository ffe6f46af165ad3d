// SPDX-License-Identifier: MIT
// A serial line between a SoC UART and the micom: bytes travel with their
// wire time (start, data, parity and stop bits at the sender's bit rate).
// Faults can be injected, seeded; they sit in the line itself, between the
// sender and the receiver's pin.  The log records each byte as the receiver's
// pin sees it: a dropped byte is absent, a corrupted one corrupted, a
// duplicated one twice (the copy right after it, later bytes after that).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace sim {

/// Character framing and speed of one end of a line.
struct LineFormat {
    uint32_t baud = 115200;
    uint8_t data_bits = 8;
    char parity = 'N';  ///< 'N', 'E' or 'O'
    uint8_t stop_bits = 1;

    unsigned bits() const { return 1u + data_bits + (parity != 'N' ? 1u : 0u) + stop_bits; }
    Nanos char_time() const { return Nanos(bits()) * 1'000'000'000ull / (baud ? baud : 1); }
    /// Whether a receiver set to *this reads what a sender set to @tx sends.
    bool reads(const LineFormat& tx) const;
    bool operator==(const LineFormat&) const = default;
};

enum class Direction : uint8_t { HostToMicom, MicomToHost };

/// One byte on the wire.
struct WireByte {
    Nanos start;
    Nanos end;
    Direction dir;
    uint8_t byte;
    bool error;  ///< the receiver saw a parity or framing error
    LineFormat format;  ///< the sender's framing and speed (for bit-level traces)
    uint8_t sent = 0;   ///< the byte as its sender sent it (byte: as it arrived)
};

/// Seeded faults of a line.
struct LinkFaults {
    double drop = 0;      ///< probability that a byte is lost
    double corrupt = 0;   ///< probability that a byte arrives with one bit flipped
    double duplicate = 0; ///< probability that a byte arrives twice
    /// micom to host: stop sending after this many bytes of the run (0: never);
    /// SerialLink::stall_after_more() counts from now
    Nanos stall_after = 0;
};

class SerialLink {
public:
    /// The log keeps at least the latest @log_limit bytes.
    SerialLink(Machine& m, std::string name, uint64_t seed, size_t log_limit = 16384);

    const std::string& name() const { return name_; }

    // host side (the SoC UART)
    /// The UART starts sending @b now with framing @fmt.
    void host_send(uint8_t b, const LineFormat& fmt);
    std::function<void(uint8_t b, bool error)> deliver_to_host;
    std::function<LineFormat()> host_format;

    // micom side
    /// Queues @b; the micom's transmitter sends its bytes back to back.
    void micom_send(uint8_t b);
    std::function<void(uint8_t b, Nanos start, bool framing_ok)> deliver_to_micom;
    LineFormat micom_format;
    bool micom_busy() const { return micom_busy_ || !micom_queue_.empty(); }

    /// The bytes kept (at least the latest log_limit), in order.
    const std::vector<WireByte>& log() const { return log_; }
    /// Bytes dropped from the log so far (log()[0] is the byte of that number).
    size_t log_dropped() const { return log_dropped_; }
    /// Bytes logged since the start.
    size_t log_total() const { return log_dropped_ + log_.size(); }
    void clear_log() {
        log_dropped_ += log_.size();
        log_.clear();
    }
    LinkFaults faults;
    /// The micom stops sending after @more bytes from now (0: never).
    void stall_after_more(uint64_t more) { faults.stall_after = more ? Nanos(micom_sent_ + more) : 0; }
    uint64_t faults_injected() const { return faults_injected_; }
    /// Drops the bytes the micom still has to send (it lost power).
    void flush_micom();

private:
    void micom_start_next();
    /// Applies the faults; returns how many copies arrive (0, 1 or 2) and may flip a bit.
    int inject(uint8_t& b);
    /// Puts the byte @b the sender starts at @start through the line's
    /// faults: logs each copy as it arrives and calls @arrive at its end.
    /// Returns when the last copy ends (0: none arrives).
    template <typename Arrive>
    Nanos carry(Direction dir, uint8_t b, Nanos start, bool error, const LineFormat& fmt, Arrive arrive);

    Machine& m_;
    std::string name_;
    std::vector<WireByte> log_;
    size_t log_limit_;
    size_t log_dropped_ = 0;
    std::deque<uint8_t> micom_queue_;
    bool micom_busy_ = false;
    uint64_t micom_sent_ = 0;
    uint64_t seed_;
    std::unique_ptr<std::mt19937_64> rng_;  ///< seeded when a fault first needs it
    std::mt19937_64& rng();
    void to_host(uint8_t b, bool error) {
        if (deliver_to_host)
            deliver_to_host(b, error);
    }
    uint64_t faults_injected_ = 0;
    Nanos line_free_[2] = {0, 0};  ///< per direction: when the last copy on it ends

    /// What every byte asks of the formats (a 64-bit and a floating-point
    /// division), worked out again only when a format changes.
    struct FormatMemo {
        LineFormat fmt;
        Nanos char_time = LineFormat{}.char_time();
    };
    struct ReadsMemo {
        LineFormat rx, tx;
        bool reads = true;
    };
    FormatMemo char_memo_[2];  ///< per direction, of the sender's format
    ReadsMemo reads_memo_[2];  ///< per direction: the receiver's format and the sender's
    Nanos char_time_of(Direction dir, const LineFormat& f) {
        FormatMemo& m = char_memo_[dir == Direction::MicomToHost];
        if (!(m.fmt == f)) {
            m.fmt = f;
            m.char_time = f.char_time();
        }
        return m.char_time;
    }
    bool reads(Direction dir, const LineFormat& rx, const LineFormat& tx) {
        ReadsMemo& m = reads_memo_[dir == Direction::MicomToHost];
        if (!(m.rx == rx && m.tx == tx)) {
            m.rx = rx;
            m.tx = tx;
            m.reads = rx.reads(tx);
        }
        return m.reads;
    }
};

}  // namespace sim
