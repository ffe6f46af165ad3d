// SPDX-License-Identifier: MIT
#include "frame_decoder.h"

#include <algorithm>
#include <initializer_list>

#include "format.h"
#include "key_names.h"

namespace fpsim {

namespace {

bool is(const std::vector<uint8_t>& p, std::initializer_list<uint8_t> want) {
    return p.size() == want.size() && std::equal(p.begin(), p.end(), want.begin());
}

/// Bytes 0-6 of a clock record (packed BCD; the century in bit 6 of the hour
/// byte), with the masks the driver applies.  A digit that is no decimal digit
/// shows as it is.
std::string date(const uint8_t* r) {
    return format("%s%02X-%02X-%02X %02X:%02X:%02X", (r[2] & 0x40) ? "20" : "19", r[6], r[5] & 0x1F,
                  r[4] & 0x3F, r[2] & 0x3F, r[1] & 0x7F, r[0] & 0x7F);
}

/// The flags byte of a set-time command or a time answer: 0x80 for a '+',
/// OR-ed with a digit.
std::string flags(uint8_t f) {
    if (f == 0)
        return "";
    const unsigned digit = f & 0x7F;
    if (digit > 9)
        return format(" flags 0x%02X", f);
    return format(" %c%u", (f & 0x80) ? '+' : '-', digit);
}

std::string host_command(unsigned code, const std::vector<uint8_t>& p) {
    switch (code) {
    case 0x3:
        if (is(p, {0x03, 0x03}))
            return "display clock";
        break;
    case 0x4:
        if (p.size() == 2 && p[0] == 0x00)
            return format("led %u", p[1]);
        if (is(p, {0x0C, 0x00}))
            return "deep standby";
        if (p.size() == 9 && p[0] == 0x0C && p[1] == 0x01)
            return "deep standby, wake-up " + date(&p[2]);
        if (is(p, {0x0F, 0x00}))
            return "hand over to flash programmer";
        if (is(p, {0x55, 0x00}))
            return "reboot";
        break;
    case 0xA:
        if (is(p, {0x0A, 0x0A}))
            return "get boot info";
        break;
    case 0xC:
        if (p.size() == 8)
            return "set time " + date(p.data()) + flags(p[7]);
        break;
    case 0xD:
        if (is(p, {0x0D, 0x0D}))
            return "get time";
        break;
    }
    return format("command 0x%X length %zu", code, p.size());
}

std::string micom_frame(uint8_t code_length, const std::vector<uint8_t>& p, uint8_t sum, unsigned& held) {
    switch (code_length) {
    case 0xA8:
        if (p[7] == 0)
            return "boot info: no wake-up";
        return "boot info: wake-up " + date(p.data()) + format(" status %u", p[7]);
    case 0xD8:
        return "time " + date(p.data()) + flags(p[7]);
    case 0xE5: {
        if (is(p, {0x02, 0x12, 0x12, 0x00, 0xFF}) && sum == 0xC7)
            return "front power key";
        const std::string from = p[2] == 0x5F ? "remote" : p[2] == 0x12 ? "front" : format("address 0x%02X", p[2]);
        if (p[2] != 0x5F && p[2] != 0x12)
            return format("key 0x%02X ", p[3]) + from;  // the driver drops it
        // as the driver reads them: the same two bytes again repeat the key
        // held, the two swapped release it, anything else presses a key
        const unsigned code = unsigned(p[3]) << 8 | p[4], swapped = unsigned(p[4]) << 8 | p[3];
        if (held && code == held)
            return format("key 0x%02X ", p[3]) + from + " repeat";
        if (held && swapped == held) {
            held = 0;
            return format("key 0x%02X ", p[4]) + from + " release";
        }
        held = code;
        return format("key 0x%02X ", p[3]) + from;
    }
    }
    return format("frame type 0x%02X", code_length);
}

// ---- the ISP link ----

enum class Role { Echo, Status, ValueLow, ValueHigh, SyncAnswer, Answer, Unexpected };

std::string status_text(uint8_t b) {
    return b == 0x06 ? "ACK" : b == 0x15 ? "NAK" : format("status 0x%02X", b);
}

/// A unit the host sends, and what the micom's answer to it holds.
struct IspUnit {
    enum class Kind { None, Sync, Command, Data, Standard } kind = Kind::None;
    std::vector<uint8_t> sent;
    size_t need = 0;          ///< bytes of the unit
    unsigned address = 0;     ///< data byte: its place in the flash
    std::vector<Role> answer; ///< the roles of the answer's bytes, in order
    size_t answered = 0;
    size_t echoed = 0;

    std::string name() const {
        switch (kind) {
        case Kind::None: return "";
        case Kind::Sync: return "sync";
        case Kind::Data: return format("data byte at 0x%04X", address);
        case Kind::Command: {
            const unsigned block = sent.size() > 1 ? sent[1] : 0;
            switch (sent[0]) {
            case 0xB0: return "checksum";
            case 0x20: return "erase";
            case 0x30: return "erase verify";
            case 0x40: return format("block 0x%02X programming", block);
            case 0x19: return format("block 0x%02X verify", block);
            }
            return format("command 0x%02X", sent[0]);
        }
        case Kind::Standard:
            if (sent.size() < 3)
                return "standard frame";
            switch (sent[2]) {
            case 0x00: return "standard reset";
            case 0x90: return "standard frequency set";
            case 0xB0: return "standard checksum";
            case 0x20: return "standard erase";
            case 0x40: return "standard programming";
            }
            return format("standard command 0x%02X", sent[2]);
        }
        return "";
    }
    /// The host's line: the unit's name, and what is wrong with it.
    std::string host_meaning() const {
        std::string m = name();
        if (sent.size() < need)
            return m + ", cut short";
        if (kind == Kind::Standard) {
            unsigned sum = 0;
            for (size_t i = 1; i + 1 < sent.size(); ++i)
                sum += sent[i];
            if (sum % 256 != 0)
                m += ", wrong checksum";
        }
        return m;
    }
};

struct MicomRun {
    DecodedLine line;
    std::vector<Role> roles;
    std::vector<bool> differs;  ///< echo bytes: not what was sent
    bool answers = false;       ///< the run answers the host's current unit
    std::string unit;           ///< its name
};

/// "checksum echo, ACK, value 0x1234": the unit's name and the parts of its
/// answer in this run.
std::string micom_meaning(const MicomRun& r) {
    std::vector<std::string> parts;
    auto add = [&parts](const std::string& s) {
        if (parts.empty() || parts.back() != s)
            parts.push_back(s);
    };
    const auto& b = r.line.bytes;
    for (size_t i = 0; i < r.roles.size(); ++i) {
        switch (r.roles[i]) {
        case Role::Echo: {
            bool differs = false;
            size_t j = i;
            for (; j < r.roles.size() && r.roles[j] == Role::Echo; ++j)
                differs = differs || r.differs[j];
            add(differs ? "echo differs" : "echo");
            i = j - 1;
            break;
        }
        case Role::Status: add(status_text(b[i])); break;
        case Role::ValueLow:
            if (i + 1 < r.roles.size() && r.roles[i + 1] == Role::ValueHigh) {
                add(format("value 0x%04X", b[i] | b[i + 1] << 8));
                ++i;
            } else {
                add(format("value low byte 0x%02X", b[i]));
            }
            break;
        case Role::ValueHigh: add(format("value high byte 0x%02X", b[i])); break;
        case Role::SyncAnswer: add(b[i] == 0xAA ? "answer" : "unexpected"); break;
        case Role::Answer: add("answer"); break;
        case Role::Unexpected: add("unexpected"); break;
        }
    }
    std::string m = r.unit;
    for (size_t i = 0; i < parts.size(); ++i)
        m += (i ? ", " : m.empty() ? "" : " ") + parts[i];
    return m;
}

// The longest pause inside one run of the micom's answer besides a character
// time: the host paces the bytes of a command 30 us apart, and the micom
// echoes them as they come.
constexpr sim::Nanos kIspAnswerPause = 100'000;

}  // namespace

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

std::string primary_meaning(const std::vector<uint8_t>& g, unsigned& held) {
    if (g.empty() || g[0] != 0xAA)
        return "no frame";
    const size_t len = g.size() >= 3 ? frame_length(g) : 0;
    if (len == 0 || g.size() < len)
        return "frame cut short";
    const size_t from = len > 4 && (g[2] & 0x0F) == 0 ? 4 : 3;
    const std::vector<uint8_t> payload(g.begin() + long(from), g.begin() + long(len) - 1);
    uint8_t sum = 0;
    for (size_t i = 1; i + 1 < len; ++i)
        sum ^= g[i];
    std::string m;
    if (g[1] == 0x20)
        m = host_command(g[2] >> 4, payload);
    else if (g[1] == 0xDF)
        m = micom_frame(g[2], payload, g[len - 1], held);
    else
        m = format("unknown direction 0x%02X", g[1]);
    if (sum != g[len - 1])
        m += ", wrong checksum";
    return m;
}

size_t resync_point(const std::vector<sim::WireByte>& log, sim::Direction dir) {
    const sim::WireByte* before = nullptr;
    for (size_t i = 0; i < log.size(); ++i) {
        const auto& w = log[i];
        if (w.dir != dir)
            continue;
        const bool after_pause = before && w.start > before->end + w.format.char_time();
        before = &w;
        if (!after_pause || w.byte != 0xAA)
            continue;
        std::vector<uint8_t> f;
        for (size_t j = i; j < log.size() && f.size() < 9; ++j)
            if (log[j].dir == dir)
                f.push_back(log[j].byte);
        // a release (the key's two bytes swapped) of a press that went with the lost part
        const bool release = f.size() == 9 && f[2] == 0xE5 && (f[5] == 0x5F || f[5] == 0x12) &&
                             f[7] == uint8_t(~f[6]) && accepted_key_byte(f[7]) && !accepted_key_byte(f[6]);
        if (!release)
            return i;
    }
    return log.size();
}

std::vector<DecodedLine> decode_primary(const std::vector<sim::WireByte>& log, bool cut) {
    std::vector<DecodedLine> out;
    for (auto dir : {sim::Direction::HostToMicom, sim::Direction::MicomToHost}) {
        const size_t start = cut ? resync_point(log, dir) : 0;
        DecodedLine g;
        sim::Nanos last_end = 0;
        unsigned held = 0;
        auto close = [&] {
            if (g.bytes.empty())
                return;
            g.meaning = primary_meaning(g.bytes, held);
            out.push_back(std::move(g));
            g = DecodedLine{};
        };
        for (size_t i = start; i < log.size(); ++i) {
            const auto& w = log[i];
            if (w.dir != dir)
                continue;
            // a pause longer than one character ends a frame
            if (!g.bytes.empty() && w.start > last_end + w.format.char_time())
                close();
            // a start byte ends whatever was not a frame
            if (!g.bytes.empty() && g.bytes[0] != 0xAA && w.byte == 0xAA)
                close();
            if (g.bytes.empty()) {
                g.t = w.start;
                g.dir = dir;
                g.first = i;
            }
            g.bytes.push_back(w.byte);
            g.last = i;
            last_end = w.end;
            if (g.bytes[0] == 0xAA && g.bytes.size() >= 3) {
                const size_t len = frame_length(g.bytes);
                if (len && g.bytes.size() >= len)
                    close();
            }
        }
        close();
    }
    std::stable_sort(out.begin(), out.end(), [](const DecodedLine& a, const DecodedLine& b) { return a.t < b.t; });
    return out;
}

std::vector<DecodedLine> decode_isp(const std::vector<sim::WireByte>& log) {
    using Kind = IspUnit::Kind;
    std::vector<DecodedLine> out;
    IspUnit unit;
    DecodedLine host;
    MicomRun run;
    sim::Nanos micom_end = 0;
    unsigned data_left = 0, data_address = 0;

    auto close_host = [&] {
        if (host.bytes.empty())
            return;
        host.meaning = unit.host_meaning();
        out.push_back(std::move(host));
        host = DecodedLine{};
    };
    auto close_run = [&] {
        if (run.line.bytes.empty())
            return;
        if (run.answers)
            run.unit = unit.name();
        run.line.meaning = micom_meaning(run);
        out.push_back(std::move(run.line));
        run = MicomRun{};
    };
    for (size_t i = 0; i < log.size(); ++i) {
        const auto& w = log[i];
        if (w.dir == sim::Direction::HostToMicom) {
            if (host.bytes.empty()) {
                // a new unit: what the micom sends from now on answers it
                close_run();
                unit = IspUnit{};
                if (data_left) {
                    unit.kind = Kind::Data;
                    unit.need = 1;
                    unit.address = data_address++;
                    --data_left;
                    unit.answer = {Role::Echo, Role::Status};
                } else if (w.byte == 0xAA) {
                    unit.kind = Kind::Sync;
                    unit.need = 1;
                    unit.answer = {Role::SyncAnswer};
                } else if (w.byte == 0x01) {
                    unit.kind = Kind::Standard;
                    unit.need = 2;  // until the length byte says more
                } else {
                    unit.kind = Kind::Command;
                    unit.need = 4;
                    unit.answer = {Role::Echo, Role::Echo, Role::Echo, Role::Echo, Role::Status};
                    if (w.byte == 0xB0)
                        unit.answer.insert(unit.answer.end(), {Role::ValueLow, Role::ValueHigh});
                }
                host.t = w.start;
                host.dir = w.dir;
                host.first = i;
            }
            host.bytes.push_back(w.byte);
            host.last = i;
            unit.sent.push_back(w.byte);
            if (unit.kind == Kind::Standard && unit.sent.size() == 2)
                unit.need = size_t(w.byte) + 4;  // 01 LEN COM data SUM 03
            if (unit.sent.size() >= unit.need) {
                if (unit.kind == Kind::Command && unit.sent[0] == 0x40) {
                    // the block's 256 bytes follow, whatever the answer
                    data_left = 256;
                    data_address = unsigned(unit.sent[1]) * 256;
                }
                close_host();
            }
            continue;
        }
        if (!run.line.bytes.empty() &&
            w.start > micom_end + std::max(w.format.char_time(), kIspAnswerPause))
            close_run();
        if (run.line.bytes.empty()) {
            run.line.t = w.start;
            run.line.dir = w.dir;
            run.line.first = i;
            run.answers = unit.kind == Kind::Standard || unit.answered < unit.answer.size();
        }
        Role role = Role::Unexpected;
        if (unit.kind == Kind::Standard)
            role = Role::Answer;
        else if (unit.answered < unit.answer.size())
            role = unit.answer[unit.answered++];
        bool differs = false;
        if (role == Role::Echo) {
            differs = unit.echoed >= unit.sent.size() || unit.sent[unit.echoed] != w.byte;
            ++unit.echoed;
        }
        run.line.bytes.push_back(w.byte);
        run.line.last = i;
        run.roles.push_back(role);
        run.differs.push_back(differs);
        micom_end = w.end;
        if (role != Role::Unexpected && role != Role::Answer && unit.answered == unit.answer.size())
            close_run();  // the answer is whole; what follows is unexpected
    }
    close_host();
    close_run();
    std::stable_sort(out.begin(), out.end(), [](const DecodedLine& a, const DecodedLine& b) { return a.t < b.t; });
    return out;
}

}  // namespace fpsim
