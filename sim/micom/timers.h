// SPDX-License-Identifier: MIT
// A group of pending callbacks in the environment's time that can be cancelled
// together: each part of the micom keeps its own, so that a reset or a power
// failure drops exactly what that part still had to do.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "micom_env.h"

namespace micom::detail {

class Timers {
public:
    explicit Timers(MicomEnv& env) : env_(env) {}
    ~Timers() { cancel_all(); }
    Timers(const Timers&) = delete;
    Timers& operator=(const Timers&) = delete;

    /// Runs @fn at @t (at once-due times are clamped to now()).
    template <class Fn>
    void at(Nanos t, Fn fn) {
        const uint32_t key = ++next_key_;
        const Nanos now = env_.now();
        const uint64_t id = env_.at(t < now ? now : t, [this, key, fn = std::move(fn)]() mutable {
            forget(key);
            fn();
        });
        live_.push_back({key, id});
    }

    void cancel_all() {
        std::vector<Entry> live;
        live.swap(live_);
        for (const Entry& e : live) env_.cancel(e.id);
    }

    bool empty() const { return live_.empty(); }

private:
    struct Entry {
        uint32_t key;
        uint64_t id;
    };

    void forget(uint32_t key) {
        auto it = std::find_if(live_.begin(), live_.end(), [key](const Entry& e) { return e.key == key; });
        if (it != live_.end()) live_.erase(it);
    }

    MicomEnv& env_;
    std::vector<Entry> live_;
    uint32_t next_key_ = 0;
};

}  // namespace micom::detail
