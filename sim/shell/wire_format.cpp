// SPDX-License-Identifier: MIT
#include "wire_format.h"

#include <algorithm>
#include <cstdio>

#include "frame_decoder.h"

namespace fpsim {

namespace {

struct Line {
    sim::Nanos t;
    std::string text;
};

void add_lines(std::vector<Line>& out, const std::vector<DecodedLine>& lines, size_t from,
               const char* link) {
    char buf[64];
    for (const auto& l : lines) {
        // the whole log is decoded, so that each line knows what came before
        // it (the ISP link's answers belong to what the host sent)
        if (l.last < from)
            continue;
        // columns: time, link, direction, the bytes, the meaning (as dmesg and
        // candump align theirs; a frame longer than 12 bytes pushes its meaning)
        std::snprintf(buf, sizeof buf, "%12.6f %-7s %s", sim::seconds(l.t), link,
                      l.dir == sim::Direction::HostToMicom ? "host>micom" : "micom>host");
        std::string s = buf, bytes;
        for (uint8_t b : l.bytes) {
            std::snprintf(buf, sizeof buf, " %02X", b);
            bytes += buf;
        }
        bytes.resize(std::max<size_t>(bytes.size(), 36), ' ');
        out.push_back(Line{l.t, s + bytes + "  " + l.meaning});
    }
}

}  // namespace

std::string format_wire(const WireRecord& primary, const WireRecord& isp, bool show_primary,
                        bool show_isp) {
    std::vector<Line> lines;
    if (show_primary)
        add_lines(lines, decode_primary(primary.log, primary.cut), primary.from, "primary");
    if (show_isp)
        add_lines(lines, decode_isp(isp.log), isp.from, "isp");
    std::stable_sort(lines.begin(), lines.end(), [](const Line& a, const Line& b) { return a.t < b.t; });
    std::string s;
    for (const auto* r : {show_primary ? &primary : nullptr, show_isp ? &isp : nullptr})
        if (r && r->lost)
            s += std::to_string(r->lost) + " earlier bytes of the " + (r == &primary ? "primary" : "isp") +
                 " link were dropped from the record unseen; it goes on from the first whole frame\n";
    for (auto& l : lines)
        s += l.text + "\n";
    return s;
}

}  // namespace fpsim
