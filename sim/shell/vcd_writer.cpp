// SPDX-License-Identifier: MIT
#include "vcd_writer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "frame_decoder.h"

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

/// The levels a UART sender drives for each byte of @log in direction @dir,
/// from byte @start of the log on.
void serial_edges(const std::vector<sim::WireByte>& log, sim::Direction dir, size_t start, Signal& s) {
    for (size_t k = start; k < log.size(); ++k) {
        const auto& w = log[k];
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

/// The formats a line's sender used, in the order they first appear;
/// @setting when it carried nothing.
std::vector<sim::LineFormat> formats(const std::vector<sim::WireByte>& log, sim::Direction dir,
                                     const sim::LineFormat& setting) {
    std::vector<sim::LineFormat> out;
    for (const auto& w : log) {
        if (w.dir != dir)
            continue;
        const auto& f = w.format;
        if (std::none_of(out.begin(), out.end(), [&f](const sim::LineFormat& o) {
                return o.baud == f.baud && o.data_bits == f.data_bits && o.parity == f.parity &&
                       o.stop_bits == f.stop_bits;
            }))
            out.push_back(f);
    }
    if (out.empty())
        out.push_back(setting);
    return out;
}

std::string describe(const std::vector<sim::LineFormat>& fs) {
    std::string s;
    char buf[128];
    for (const auto& f : fs) {
        const char* parity = f.parity == 'E' ? "even" : f.parity == 'O' ? "odd" : "no";
        std::snprintf(buf, sizeof buf, "%s%u bit/s %u%c%u (%u data bits, %s parity, %u stop bit%s)",
                      s.empty() ? "" : ", then ", unsigned(f.baud), unsigned(f.data_bits), f.parity,
                      unsigned(f.stop_bits), unsigned(f.data_bits), parity, unsigned(f.stop_bits),
                      f.stop_bits == 1 ? "" : "s");
        s += buf;
    }
    return s;
}

/// The coarsest time unit (1 us down to 1 ns) that gives the fastest line at
/// least 8 units a bit: a decoder that samples each bit in its middle then
/// misses no edge rounded to the unit.
unsigned unit_ns(uint32_t fastest_baud) {
    unsigned unit = 1000;
    while (unit > 1 && 1e9 / double(fastest_baud ? fastest_baud : 1) < 8.0 * unit)
        unit /= 10;
    return unit;
}

}  // namespace

std::string make_vcd(sim::Box& box, sim::Nanos from, sim::Nanos to) {
    // the pins by their number and function (_n: low is active), the serial
    // lines by their link and the way they carry
    std::vector<Signal> sig = {
        {"gpio2_isp_clock", false, {}},        {"gpio3_clock_8mhz_enable_n", true, {}},
        {"gpio4_micom_power_n", false, {}},    {"gpio5_micom_reset_n", true, {}},
        {"gpio6_isp_enable_n", true, {}},      {"primary_host_to_micom", true, {}},
        {"primary_micom_to_host", true, {}},   {"isp_host_to_micom", true, {}},
        {"isp_micom_to_host", true, {}},
    };
    gpio_edges(box.soc().gpio().writes(), sig);
    struct Line {
        const sim::SerialLink& link;
        sim::Direction dir;
        const char* says;
    };
    const Line lines[] = {
        {box.soc().primary(), sim::Direction::HostToMicom, "primary link, host to micom"},
        {box.soc().primary(), sim::Direction::MicomToHost, "primary link, micom to host"},
        {box.soc().isp(), sim::Direction::HostToMicom, "ISP link, host to micom"},
        {box.soc().isp(), sim::Direction::MicomToHost, "ISP link, micom to host"},
    };
    uint32_t fastest = box.config().baud;
    std::string comments;
    char buf[400];
    for (size_t i = 0; i < 4; ++i) {
        const auto& l = lines[i];
        // a record that lost its start begins at the primary link's first whole frame
        const bool cut = l.link.log_dropped() > 0;
        const size_t start = cut && i < 2 ? resync_point(l.link.log(), l.dir) : 0;
        serial_edges(l.link.log(), l.dir, start, sig[5 + i]);
        if (cut) {
            std::snprintf(buf, sizeof buf,
                          "$comment %s: the first %zu bytes of the link are no longer kept; the line "
                          "starts at the first whole frame after them $end\n",
                          sig[5 + i].name, l.link.log_dropped());
            comments += buf;
        }
        // a line that carried nothing: the link's format as the micom speaks
        // it (the host's UART is set to it only when the link is used)
        const auto fs = formats(l.link.log(), l.dir, l.link.micom_format);
        for (const auto& f : fs)
            fastest = std::max(fastest, f.baud);
        std::snprintf(buf, sizeof buf, "$comment %s: %s, %s $end\n", sig[5 + i].name, l.says,
                      describe(fs).c_str());
        comments += buf;
    }
    const unsigned unit = unit_ns(fastest);
    auto ticks = [from, unit](double t_ns) {
        const double rel = (t_ns - double(from)) / double(unit);
        return rel <= 0 ? uint64_t(0) : uint64_t(std::llround(rel));
    };

    std::string out;
    out += "$version fpsim $end\n";
    std::snprintf(buf, sizeof buf, "$comment virtual time %.6f s to %.6f s of the box $end\n",
                  sim::seconds(from), sim::seconds(to));
    out += buf;
    out += comments;
    out += unit == 1000 ? std::string("$timescale 1 us $end\n")
                        : "$timescale " + std::to_string(unit) + " ns $end\n";
    out += "$scope module box $end\n";
    for (size_t i = 0; i < sig.size(); ++i) {
        std::snprintf(buf, sizeof buf, "$var wire 1 %c %s $end\n", char('!' + i), sig[i].name);
        out += buf;
    }
    out += "$upscope $end\n$enddefinitions $end\n";

    // levels at the start of the window, then every change within it
    struct Change {
        uint64_t tick;
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
            if (ticks(e.t) == 0)
                level[i] = e.level;
            else
                changes.push_back(Change{ticks(e.t), i, e.level});
        }
    }
    std::stable_sort(changes.begin(), changes.end(),
                     [](const Change& a, const Change& b) { return a.tick < b.tick; });
    out += "#0\n";
    for (size_t i = 0; i < sig.size(); ++i) {
        out += level[i] ? '1' : '0';
        out += char('!' + i);
        out += '\n';
    }
    std::vector<bool> current = level;
    uint64_t stamp = 0;
    for (size_t k = 0; k < changes.size();) {
        // all changes of one time unit; the last one of a signal wins
        size_t end = k;
        while (end < changes.size() && changes[end].tick == changes[k].tick)
            ++end;
        std::vector<int> final_level(sig.size(), -1);
        for (size_t j = k; j < end; ++j)
            final_level[changes[j].sig] = changes[j].level;
        bool stamped = false;
        for (size_t i = 0; i < sig.size(); ++i) {
            if (final_level[i] < 0 || bool(final_level[i]) == current[i])
                continue;
            if (!stamped) {
                stamp = changes[k].tick;
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
    const uint64_t last = to > from ? ticks(double(to)) : 0;
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
