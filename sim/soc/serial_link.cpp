// SPDX-License-Identifier: MIT
#include "serial_link.h"

#include <cmath>

#include "core/bounded_log.h"

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

void SerialLink::host_send(uint8_t b, const LineFormat& fmt) {
    const Nanos start = m_.now();
    const Nanos end = start + fmt.char_time();
    const bool ok = micom_format.reads(fmt);
    log_dropped_ += append_bounded(log_, WireByte{start, end, Direction::HostToMicom, b, !ok, fmt}, log_limit_);
    uint8_t v = b;
    int copies = inject(v);
    for (int i = 0; i < copies; ++i)
        m_.events().at(end + Nanos(i) * fmt.char_time(), [this, v, start, ok] {
            if (deliver_to_micom)
                deliver_to_micom(v, start, ok);
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
    const Nanos end = start + micom_format.char_time();
    ++micom_sent_;
    const bool stalled = faults.stall_after && micom_sent_ > faults.stall_after;
    if (!stalled) {
        LineFormat rx = host_format ? host_format() : micom_format;
        const bool error = !rx.reads(micom_format);
        log_dropped_ += append_bounded(log_, WireByte{start, end, Direction::MicomToHost, b, error, micom_format},
                                       log_limit_);
        uint8_t v = b;
        int copies = inject(v);
        if (copies > 0) {
            // the byte arrives as its stop bit ends, and the next one starts:
            // one event (a byte on the line costs the box no second one)
            m_.events().at(end, [this, v, error] {
                to_host(v, error);
                micom_start_next();
            });
            for (int i = 1; i < copies; ++i)
                m_.events().at(end + Nanos(i) * micom_format.char_time(), [this, v, error] { to_host(v, error); });
            return;
        }
    }
    m_.events().at(end, [this] { micom_start_next(); });
}

void SerialLink::flush_micom() {
    micom_queue_.clear();
}

}  // namespace sim
