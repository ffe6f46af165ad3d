// SPDX-License-Identifier: MIT
#include "serial_link.h"

#include <algorithm>
#include <cmath>

#include "machine/bounded_log.h"
#include "machine/box_heap.h"

namespace sim {

bool LineFormat::reads(const LineFormat& tx) const {
    double ratio = double(baud) / double(tx.baud ? tx.baud : 1);
    return std::fabs(ratio - 1.0) <= 0.03 && data_bits == tx.data_bits && parity == tx.parity;
}

SerialLink::SerialLink(Machine& m, std::string name, uint64_t seed, size_t log_limit)
    : m_(m), name_(std::move(name)), log_limit_(log_limit), seed_(seed) {}

std::mt19937_64& SerialLink::rng() {
    if (!rng_)
        rng_ = std::make_unique<std::mt19937_64>(seed_);
    return *rng_;
}

int SerialLink::inject(uint8_t& b) {
    std::uniform_real_distribution<double> u(0.0, 1.0);
    if (faults.drop > 0 && u(rng()) < faults.drop) {
        ++faults_injected_;
        return 0;
    }
    if (faults.corrupt > 0 && u(rng()) < faults.corrupt) {
        ++faults_injected_;
        b ^= uint8_t(1u << (rng()() % 8));
    }
    if (faults.duplicate > 0 && u(rng()) < faults.duplicate) {
        ++faults_injected_;
        return 2;
    }
    return 1;
}

template <typename Arrive>
Nanos SerialLink::carry(Direction dir, uint8_t b, Nanos start, bool error, const LineFormat& fmt,
                        Arrive arrive) {
    uint8_t v = b;
    const int copies = inject(v);
    const Nanos ct = char_time_of(dir, fmt);
    Nanos& free = line_free_[dir == Direction::MicomToHost];
    // a copy still on the line holds back what follows it
    Nanos at = std::max(start, free);
    for (int i = 0; i < copies; ++i, at += ct) {
        if (log_.size() == log_.capacity())
            make_room_bounded(log_, log_limit_, !box_heap::on());
        WireByte& w = append_bounded_entry(log_, log_limit_, log_dropped_);
        w.start = at;
        w.end = at + ct;
        w.dir = dir;
        w.byte = v;
        w.error = error;
        w.format = fmt;
        w.sent = b;
        arrive(v, at, at + ct);
    }
    if (copies == 0)
        return 0;
    free = at;
    return at;
}

void SerialLink::host_send(uint8_t b, const LineFormat& fmt) {
    const bool ok = reads(Direction::HostToMicom, micom_format, fmt);
    carry(Direction::HostToMicom, b, m_.now(), !ok, fmt, [this, ok](uint8_t v, Nanos start, Nanos end) {
        m_.events().at(end, [this, v, start, ok] {
            if (deliver_to_micom)
                deliver_to_micom(v, start, ok);
        });
    });
}

void SerialLink::micom_send(uint8_t b) {
    micom_queue_.push_back(b);
    if (!micom_busy_)
        micom_start_next();
}

void SerialLink::micom_start_next() {
    if (micom_queue_.empty()) {
        micom_busy_ = false;
        return;
    }
    micom_busy_ = true;
    uint8_t b = micom_queue_.front();
    micom_queue_.pop_front();
    const Nanos start = m_.now();
    const Nanos end = start + char_time_of(Direction::MicomToHost, micom_format);
    ++micom_sent_;
    const bool stalled = faults.stall_after && micom_sent_ > faults.stall_after;
    bool next_sent = false;
    if (!stalled) {
        const LineFormat rx = host_format ? host_format() : micom_format;
        const bool error = !reads(Direction::MicomToHost, rx, micom_format);
        carry(Direction::MicomToHost, b, start, error, micom_format,
              [this, error, end, &next_sent](uint8_t v, Nanos, Nanos arrives) {
                  if (arrives == end && !next_sent) {
                      // the byte arrives as its stop bit ends, and the next one
                      // starts: one event (a byte on the line costs the box no
                      // second one)
                      next_sent = true;
                      m_.events().at(end, [this, v, error] {
                          to_host(v, error);
                          micom_start_next();
                      });
                  } else {
                      m_.events().at(arrives, [this, v, error] { to_host(v, error); });
                  }
              });
    }
    if (!next_sent)
        m_.events().at(end, [this] { micom_start_next(); });
}

void SerialLink::flush_micom() {
    micom_queue_.clear();
}

}  // namespace sim
