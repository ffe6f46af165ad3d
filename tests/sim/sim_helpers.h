// SPDX-License-Identifier: MIT
// Helpers shared by the tests that run the driver on the simulated box.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "box/box.h"
#include "ir_vfd.h"

namespace simtest {

/// Bytes that went over @link in direction @dir, in order.
inline std::vector<uint8_t> wire_bytes(const sim::SerialLink& link, sim::Direction dir) {
    std::vector<uint8_t> v;
    for (auto& w : link.log())
        if (w.dir == dir)
            v.push_back(w.byte);
    return v;
}

inline std::vector<uint8_t> host_bytes(const sim::SerialLink& link) {
    return wire_bytes(link, sim::Direction::HostToMicom);
}

inline std::string hex(const std::vector<uint8_t>& v) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < v.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", v[i]);
        s += b;
    }
    return s;
}

/// The driver state of the loaded module.
inline fp_priv_t* priv(sim::Box& box) {
    return static_cast<fp_priv_t*>(box.kernel().module_symbol("fp_priv"));
}

/// The register writes of the driver other than over gbus (the UARTs'
/// configuration), as (bus address, value), in order.
inline std::vector<std::pair<uint32_t, uint32_t>> config_writes(sim::Box& box) {
    std::vector<std::pair<uint32_t, uint32_t>> v;
    for (auto& w : box.soc().reg_writes())
        if (!w.via_gbus)
            v.emplace_back(w.bus_addr, w.value);
    return v;
}

/// Messages of the kernel log (level prefix dropped), in order.
inline std::vector<std::string> log_messages(sim::Box& box, size_t from = 0) {
    std::vector<std::string> v;
    const auto& lines = box.kernel().log().lines();
    for (size_t i = from; i < lines.size(); ++i)
        v.push_back(lines[i].message());
    return v;
}

/// The micom sends @bytes on the primary line back to back; the box runs until they are through.
inline void micom_sends(sim::Box& box, const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes)
        box.soc().primary().micom_send(b);
    box.machine().run_for(sim::Nanos(bytes.size() + 4) * box.soc().primary().micom_format.char_time() + 5'000'000);
}

/// The driver's input device.
inline sim::InputDevice& input(sim::Box& box) { return *box.kernel().input().registered().at(0); }

/// Key events user space read (code, value); every one must be followed by its sync.
inline std::vector<std::pair<unsigned, int>> keys_read(sim::Box& box) {
    std::vector<std::pair<unsigned, int>> v;
    const auto& ev = input(box).received();
    for (size_t i = 0; i < ev.size(); ++i) {
        if (ev[i].type != sim::kEvKey)
            continue;
        v.emplace_back(ev[i].code, ev[i].value);
        EXPECT_TRUE(i + 1 < ev.size() && ev[i + 1].type == sim::kEvSyn && ev[i + 1].code == 0)
            << "key event " << ev[i].code << " without its sync";
    }
    return v;
}

/// How many kernel log messages from @from on contain @needle.
inline size_t count_containing(sim::Box& box, const std::string& needle, size_t from = 0) {
    size_t n = 0;
    for (auto& m : log_messages(box, from))
        if (m.find(needle) != std::string::npos)
            ++n;
    return n;
}

/// Seconds since 1970 of a calendar date, counted day by day (no shortcut formula).
inline int64_t epoch_of(int year, int mon, int day, int hour, int min, int sec) {
    static const int mdays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    auto leap = [](int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; };
    int64_t days = 0;
    for (int y = 1970; y < year; ++y)
        days += leap(y) ? 366 : 365;
    for (int m = 1; m < mon; ++m)
        days += mdays[m - 1] + (m == 2 && leap(year) ? 1 : 0);
    days += day - 1;
    return ((days * 24 + hour) * 60 + min) * 60 + sec;
}

}  // namespace simtest
