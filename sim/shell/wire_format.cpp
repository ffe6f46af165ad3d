// SPDX-License-Identifier: MIT
#include "wire_format.h"

#include <algorithm>
#include <cstdio>

namespace fpsim {

namespace {

/// Number of bytes of the frame that begins with @g (at least 3 bytes known),
/// or 0 when a fourth byte is needed to tell.
size_t frame_length(const std::vector<uint8_t>& g) {
    const unsigned low = g[2] & 0x0F;
    if (low)
        return low + 4;
    if (g.size() < 4)
        return 0;
    // low nibble 0: no payload (the fourth byte is the checksum) or the long
    // form (the fourth byte is a length of 16 to 32)
    if (g[3] == uint8_t(g[1] ^ g[2]))
        return 4;
    if (g[3] >= 16 && g[3] <= 32)
        return size_t(g[3]) + 5;
    return 4;
}

struct Group {
    sim::Nanos t = 0;
    sim::Nanos last_end = 0;
    std::vector<uint8_t> bytes;
};

std::string line_text(const Group& g, const std::string& link, sim::Direction dir) {
    std::string s;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f %s %s", sim::seconds(g.t), link.c_str(),
                  dir == sim::Direction::HostToMicom ? "host>micom" : "micom>host");
    s = buf;
    for (uint8_t b : g.bytes) {
        std::snprintf(buf, sizeof buf, " %02X", b);
        s += buf;
    }
    return s;
}

}  // namespace

std::vector<WireLine> wire_lines(const std::vector<sim::WireByte>& log, size_t from,
                                 const std::string& link_name, bool framed) {
    std::vector<WireLine> out;
    for (auto dir : {sim::Direction::HostToMicom, sim::Direction::MicomToHost}) {
        Group g;
        auto close = [&] {
            if (!g.bytes.empty())
                out.push_back(WireLine{g.t, line_text(g, link_name, dir)});
            g = Group{};
        };
        for (size_t i = from; i < log.size(); ++i) {
            const auto& w = log[i];
            if (w.dir != dir)
                continue;
            // a pause longer than one character ends a frame or a burst
            if (!g.bytes.empty() && w.start > g.last_end + w.format.char_time())
                close();
            // a start byte ends whatever was not a frame
            if (framed && !g.bytes.empty() && g.bytes[0] != 0xAA && w.byte == 0xAA)
                close();
            if (g.bytes.empty())
                g.t = w.start;
            g.bytes.push_back(w.byte);
            g.last_end = w.end;
            if (framed && g.bytes[0] == 0xAA && g.bytes.size() >= 3) {
                size_t len = frame_length(g.bytes);
                if (len && g.bytes.size() >= len)
                    close();
            }
        }
        close();
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const WireLine& a, const WireLine& b) { return a.t < b.t; });
    return out;
}

std::string format_wire(const std::vector<sim::WireByte>& primary, size_t primary_from,
                        const std::vector<sim::WireByte>& isp, size_t isp_from) {
    auto lines = wire_lines(primary, primary_from, "primary", true);
    auto isp_lines = wire_lines(isp, isp_from, "isp", false);
    lines.insert(lines.end(), isp_lines.begin(), isp_lines.end());
    std::stable_sort(lines.begin(), lines.end(),
                     [](const WireLine& a, const WireLine& b) { return a.t < b.t; });
    std::string s;
    for (auto& l : lines)
        s += l.text + "\n";
    return s;
}

}  // namespace fpsim
