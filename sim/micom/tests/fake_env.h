// SPDX-License-Identifier: MIT
// A deterministic MicomEnv for tests: an event queue in virtual time that
// paces and records every byte the micom transmits, and a host side that
// delivers bytes to the micom as a UART would (back to back, each received
// one character time after its start bit).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <utility>
#include <vector>

#include "micom_model.h"

namespace micom::test {

constexpr Nanos kUs = 1'000;
constexpr Nanos kMs = 1'000'000;
constexpr Nanos kSec = 1'000'000'000;

class FakeEnv : public MicomEnv {
public:
    struct Sent {
        Link link;
        uint8_t byte;
        Nanos start;  ///< start bit on the wire
        Nanos end;
    };
    struct PowerChange {
        Nanos time;
        bool on;
    };

    Nanos now() const override { return now_; }

    uint64_t at(Nanos t, std::function<void()> fn) override {
        const uint64_t id = ++next_id_;
        queue_.emplace(std::make_pair(t < now_ ? now_ : t, id), std::move(fn));
        return id;
    }

    void cancel(uint64_t id) override {
        for (auto it = queue_.begin(); it != queue_.end(); ++it)
            if (it->first.second == id) {
                queue_.erase(it);
                return;
            }
    }

    void transmit(Link link, uint8_t byte) override {
        Nanos& busy = busy_until_[static_cast<int>(link)];
        const Nanos start = busy > now_ ? busy : now_;
        busy = start + char_time(link);
        sent.push_back({link, byte, start, busy});
        per_link_[static_cast<int>(link)].push_back(sent.back());
    }

    Nanos char_time(Link link) const override {
        // 115200 bit/s: 10 bits (8N1) on the primary link, 11 (8E1) on the ISP link.
        return link == Link::Primary ? 86'806 : isp_char_time;
    }
    Nanos isp_char_time = 95'486;

    void set_box_power(bool on) override { power.push_back({now_, on}); }

    /// Runs every event due up to @t, then sets the clock to @t.
    void run_until(Nanos t) {
        while (!queue_.empty() && queue_.begin()->first.first <= t) step();
        if (t > now_) now_ = t;
    }
    void run_for(Nanos d) { run_until(now_ + d); }
    /// Runs until nothing is left to do (at most @limit events).
    void run(size_t limit = 1'000'000) {
        while (!queue_.empty() && limit--) step();
    }
    bool idle() const { return queue_.empty(); }

    /// The host sends @bytes on @link, the first start bit at now() + @delay.
    void host_send(MicomModel& m, Link link, const std::vector<uint8_t>& bytes, Nanos delay = 0,
                   bool framing_ok = true) {
        Nanos start = now_ + delay;
        for (uint8_t b : bytes) {
            const Nanos end = start + char_time(link);
            at(end, [&m, link, b, start, framing_ok] { m.receive(link, b, start, framing_ok); });
            start = end;
        }
    }

    /// Bytes the micom sent on @link, from index @from of that link's bytes.
    std::vector<uint8_t> bytes(Link link, size_t from = 0) const {
        std::vector<uint8_t> out;
        const auto& v = sent_on(link);
        for (size_t i = from; i < v.size(); ++i) out.push_back(v[i].byte);
        return out;
    }
    const std::vector<Sent>& sent_on(Link link) const { return per_link_[static_cast<int>(link)]; }
    size_t count(Link link) const { return sent_on(link).size(); }

    std::vector<Sent> sent;
    std::vector<PowerChange> power;

private:
    void step() {
        auto it = queue_.begin();
        now_ = it->first.first;
        auto fn = std::move(it->second);
        queue_.erase(it);
        fn();
    }

    Nanos now_ = 0;
    uint64_t next_id_ = 0;
    std::map<std::pair<Nanos, uint64_t>, std::function<void()>> queue_;
    Nanos busy_until_[2] = {0, 0};
    std::vector<Sent> per_link_[2];
};

/// A host frame AA 20 <code/len> [len] payload XOR.
inline std::vector<uint8_t> host_frame(uint8_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f{0xAA, 0x20};
    const size_t n = payload.size();
    if (n < 16) {
        f.push_back(static_cast<uint8_t>(code << 4 | n));
    } else {
        f.push_back(static_cast<uint8_t>(code << 4));
        f.push_back(static_cast<uint8_t>(n));
    }
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t sum = 0;
    for (size_t i = 1; i < f.size(); ++i) sum ^= f[i];
    f.push_back(sum);
    return f;
}

/// A frame from the micom: AA DF <code/len> payload XOR.
inline std::vector<uint8_t> micom_frame(uint8_t code_length, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f{0xAA, 0xDF, code_length};
    f.insert(f.end(), payload.begin(), payload.end());
    uint8_t sum = 0;
    for (size_t i = 1; i < f.size(); ++i) sum ^= f[i];
    f.push_back(sum);
    return f;
}

}  // namespace micom::test
