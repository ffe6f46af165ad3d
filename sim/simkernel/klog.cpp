// SPDX-License-Identifier: MIT
#include "klog.h"

#include <cstdio>

namespace sim {

int LogLine::level() const {
    if (text.size() >= 2 && text[0] == '\x01' && text[1] >= '0' && text[1] <= '7')
        return text[1] - '0';
    return 4;
}

std::string LogLine::message() const {
    if (text.size() >= 2 && text[0] == '\x01')
        return text.substr(2);
    return text;
}

void KernelLog::add(Nanos t, std::string_view text) {
    // one record per line; the lines after the first keep the first's level
    std::string_view prefix;
    if (text.size() >= 2 && text[0] == '\x01')
        prefix = text.substr(0, 2);
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    size_t pos = 0;
    for (;;) {
        const size_t nl = text.find('\n', pos);
        const std::string_view part = text.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
        std::string line;
        line.reserve((pos == 0 ? 0 : prefix.size()) + part.size());
        if (pos != 0)
            line.append(prefix);
        line.append(part);
        dropped_ += append_bounded(lines_, LogLine{t, std::move(line)}, kLimit);
        if (nl == std::string_view::npos)
            break;
        pos = nl + 1;
    }
}

void KernelLog::vprintk(Nanos t, const char* fmt, va_list ap) {
    char buf[1024];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    add(t, buf);
}

void KernelLog::hex_dump(Nanos t, const char* level, const char* prefix, int rowsize,
                         int groupsize, const void* buf, size_t len) {
    (void)groupsize;  // the driver dumps byte by byte
    const auto* p = static_cast<const unsigned char*>(buf);
    if (rowsize != 16 && rowsize != 32)
        rowsize = 16;
    static constexpr char kHex[] = "0123456789abcdef";
    const std::string_view head_level(level), head_prefix(prefix);
    // A row is one line of the log as add() would make it of the same text
    // when its head has no line end: then it is made in place, in one go
    // (the driver dumps every frame it reads).
    const bool one_line = head_level.find('\n') == std::string_view::npos &&
                          head_prefix.find('\n') == std::string_view::npos;
    for (size_t i = 0; i < len; i += size_t(rowsize)) {
        const size_t n = len - i < size_t(rowsize) ? len - i : size_t(rowsize);
        char row[3 * 32];  // the bytes as text, made here and appended at once
        size_t k = 0;
        for (size_t j = 0; j < n; ++j) {
            if (j)
                row[k++] = ' ';
            row[k++] = kHex[p[i + j] >> 4];
            row[k++] = kHex[p[i + j] & 15];
        }
        std::string line;
        line.reserve(head_level.size() + head_prefix.size() + k);
        line.append(head_level).append(head_prefix).append(row, k);
        if (one_line)
            dropped_ += append_bounded(lines_, LogLine{t, std::move(line)}, kLimit);
        else
            add(t, line);
    }
}

std::string KernelLog::format(size_t from) const {
    std::string out;
    char stamp[32];
    for (size_t i = from; i < lines_.size(); ++i) {
        std::snprintf(stamp, sizeof stamp, "[%12.6f] ", seconds(lines_[i].t));
        out += stamp;
        out += lines_[i].message();
        out += '\n';
    }
    return out;
}

bool KernelLog::contains(const std::string& needle) const {
    for (const auto& l : lines_)
        if (l.message().find(needle) != std::string::npos)
            return true;
    return false;
}

}  // namespace sim
