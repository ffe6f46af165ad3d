// SPDX-License-Identifier: MIT
// A group of pending callbacks in the environment's time that can be cancelled
// together: each part of the micom keeps its own, so that a reset or a power
// failure drops exactly what that part still had to do.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
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

    /// Runs @fn at @t (at once-due times are clamped to now()).  The group
    /// keeps @fn itself and hands the environment only a two-word callable,
    /// so a small capture (up to two words) is never allocated on its way.
    template <class Fn>
    void at(Nanos t, Fn fn) {
        const uint32_t key = ++next_key_;
        const Nanos now = env_.now();
        const uint64_t id = env_.at(t < now ? now : t, [this, key] { run(key); });
        live_.push_back({key, id, std::move(fn)});
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
        std::function<void()> fn;
    };

    void run(uint32_t key) {
        auto it = std::find_if(live_.begin(), live_.end(), [key](const Entry& e) { return e.key == key; });
        if (it == live_.end()) return;
        std::function<void()> fn = std::move(it->fn);
        live_.erase(it);
        fn();
    }

    MicomEnv& env_;
    std::vector<Entry> live_;
    uint32_t next_key_ = 0;
};

}  // namespace micom::detail
