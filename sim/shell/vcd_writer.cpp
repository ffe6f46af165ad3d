// SPDX-License-Identifier: MIT
#include "vcd_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace fpsim {

namespace {

struct Edge {
    double t;    ///< exact time in ns
    bool level;
};

struct Signal {
    const char* name;
    bool initial;
    std::vector<Edge> edges;  ///< in time order
};

/// The levels a UART sender drives for each byte of @log in direction @dir.
void serial_edges(const std::vector<sim::WireByte>& log, sim::Direction dir, Signal& s) {
    for (const auto& w : log) {
        if (w.dir != dir)
            continue;
        const auto& f = w.format;
        const double bit = 1e9 / double(f.baud ? f.baud : 1);
        std::vector<bool> bits;
        bits.push_back(false);  // start bit
        unsigned ones = 0;
        for (unsigned i = 0; i < f.data_bits; ++i) {
            bool b = (w.byte >> i) & 1;
            ones += b;
            bits.push_back(b);
        }
        if (f.parity == 'E')
            bits.push_back(ones % 2 != 0);
        else if (f.parity == 'O')
            bits.push_back(ones % 2 == 0);
        for (unsigned i = 0; i < f.stop_bits; ++i)
            bits.push_back(true);
        for (size_t i = 0; i < bits.size(); ++i)
            s.edges.push_back(Edge{double(w.start) + double(i) * bit, bits[i]});
    }
    std::stable_sort(s.edges.begin(), s.edges.end(),
                     [](const Edge& a, const Edge& b) { return a.t < b.t; });
}

/// The pins' levels from the GPIO writes: a pin that is no output has the
/// board's default level.
void gpio_edges(const std::vector<sim::Gpio::Write>& writes, std::vector<Signal>& pins) {
    const bool defaults[7] = {false, false, false, true, false, true, true};
    uint16_t dir = 0, data = 0;
    for (const auto& w : writes) {
        const uint16_t mask = uint16_t(w.value >> 16), bits = uint16_t(w.value);
        if (w.addr == sim::Gpio::kDirAddr)
            dir = uint16_t((dir & ~mask) | (bits & mask));
        else if (w.addr == sim::Gpio::kDataAddr)
            data = uint16_t((data & ~mask) | (bits & mask));
        else
            continue;
        for (unsigned p = 2; p <= 6; ++p) {
            bool level = (dir >> p) & 1 ? (data >> p) & 1 : defaults[p];
            pins[p - 2].edges.push_back(Edge{double(w.t), level});
        }
    }
}

uint64_t to_us(double t_ns, sim::Nanos from) {
    double rel = (t_ns - double(from)) / 1000.0;
    return rel <= 0 ? 0 : uint64_t(std::llround(rel));
}

}  // namespace

std::string make_vcd(sim::Box& box, sim::Nanos from, sim::Nanos to) {
    std::vector<Signal> sig = {
        {"gpio2", false, {}},     {"gpio3", true, {}},      {"gpio4", false, {}},
        {"gpio5", true, {}},      {"gpio6", true, {}},      {"primary_tx", true, {}},
        {"primary_rx", true, {}}, {"isp_tx", true, {}},     {"isp_rx", true, {}},
    };
    gpio_edges(box.gpio().writes(), sig);
    serial_edges(box.primary().log(), sim::Direction::HostToMicom, sig[5]);
    serial_edges(box.primary().log(), sim::Direction::MicomToHost, sig[6]);
    serial_edges(box.isp().log(), sim::Direction::HostToMicom, sig[7]);
    serial_edges(box.isp().log(), sim::Direction::MicomToHost, sig[8]);

    std::string out;
    char buf[160];
    out += "$version fpsim $end\n";
    std::snprintf(buf, sizeof buf, "$comment virtual time %.6f s to %.6f s of the box $end\n",
                  sim::seconds(from), sim::seconds(to));
    out += buf;
    out += "$timescale 1 us $end\n$scope module box $end\n";
    for (size_t i = 0; i < sig.size(); ++i) {
        std::snprintf(buf, sizeof buf, "$var wire 1 %c %s $end\n", char('!' + i), sig[i].name);
        out += buf;
    }
    out += "$upscope $end\n$enddefinitions $end\n";

    // levels at the start of the window, then every change within it
    struct Change {
        uint64_t us;
        size_t sig;
        bool level;
    };
    std::vector<Change> changes;
    std::vector<bool> level(sig.size());
    for (size_t i = 0; i < sig.size(); ++i) {
        level[i] = sig[i].initial;
        for (const auto& e : sig[i].edges) {
            if (e.t > double(to))
                break;
            if (to_us(e.t, from) == 0)
                level[i] = e.level;
            else
                changes.push_back(Change{to_us(e.t, from), i, e.level});
        }
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.us < b.us; });
    out += "#0\n";
    for (size_t i = 0; i < sig.size(); ++i) {
        out += level[i] ? '1' : '0';
        out += char('!' + i);
        out += '\n';
    }
    std::vector<bool> current = level;
    uint64_t stamp = 0;
    for (size_t k = 0; k < changes.size();) {
        // all changes of one microsecond; the last one of a signal wins
        size_t end = k;
        while (end < changes.size() && changes[end].us == changes[k].us)
            ++end;
        std::vector<int> final_level(sig.size(), -1);
        for (size_t j = k; j < end; ++j)
            final_level[changes[j].sig] = changes[j].level;
        bool stamped = false;
        for (size_t i = 0; i < sig.size(); ++i) {
            if (final_level[i] < 0 || bool(final_level[i]) == current[i])
                continue;
            if (!stamped) {
                stamp = changes[k].us;
                out += "#" + std::to_string(stamp) + "\n";
                stamped = true;
            }
            current[i] = final_level[i];
            out += current[i] ? '1' : '0';
            out += char('!' + i);
            out += '\n';
        }
        k = end;
    }
    const uint64_t last = to > from ? (to - from + 500) / 1000 : 0;
    if (last > stamp)
        out += "#" + std::to_string(last) + "\n";
    return out;
}

bool save_vcd(const std::string& path, sim::Box& box, sim::Nanos from, sim::Nanos to) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f)
        return false;
    std::string text = make_vcd(box, from, to);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace fpsim
