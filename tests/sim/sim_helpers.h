// SPDX-License-Identifier: MIT
// Helpers shared by the tests that run the driver on the simulated box.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "booted_box.h"
#include "box/box.h"
#include "dates.h"
#include "frames.h"
#include "ir_vfd.h"

namespace simtest {

using fptest::epoch_of;

/// A box booted for a test with its live micom (fptest::BootedBox): a boot
/// that fails fails the test.
struct Booted : fptest::BootedBox {
    explicit Booted(uint64_t seed = 1, const fptest::AfterBoot& after = {})
        : BootedBox(fptest::with_seed(seed), after) {
        EXPECT_EQ(boot_result, 0);
    }
};

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

/// The same of a frame of fptest (frames.h).
template <size_t N>
inline void micom_sends(sim::Box& box, const std::array<uint8_t, N>& frame) {
    micom_sends(box, std::vector<uint8_t>(frame.begin(), frame.end()));
}

/// The end of the last byte the micom sent.
inline sim::Nanos last_rx_end(sim::Box& box) {
    sim::Nanos end = 0;
    for (auto& w : box.soc().primary().log())
        if (w.dir == sim::Direction::MicomToHost)
            end = w.end;
    return end;
}

/// The kernel clock as it read when the last byte from the micom ended.
inline int64_t wall_at_last_rx(sim::Box& box) { return box.kernel().wall_ns() - int64_t(box.machine().now() - last_rx_end(box)); }

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

}  // namespace simtest
