// SPDX-License-Identifier: MIT
// The kernel log of the simulated box, with virtual timestamps.  The level
// prefix ("\x01" and a digit) stays in the text as the driver wrote it.
#pragma once

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

#include "machine/bounded_log.h"
#include "machine/sim_time.h"

namespace sim {

struct LogLine {
    Nanos t;
    std::string text;  ///< with its level prefix, without the final line end

    /// The level digit of the prefix, or 4 (the default level) when there is none.
    int level() const;
    /// The text without its level prefix, as dmesg shows it.
    std::string message() const;
};

class KernelLog {
public:
    void vprintk(Nanos t, const char* fmt, va_list ap);
    void add(Nanos t, std::string_view text);
    /// The kernel's hex dump: rows of @rowsize bytes in lower-case hex, one log line each.
    void hex_dump(Nanos t, const char* level, const char* prefix, int rowsize, int groupsize,
                  const void* buf, size_t len);
    /// The lines kept: at least the latest kLimit, as the kernel's buffer keeps its latest lines.
    const std::vector<LogLine>& lines() const { return lines_; }
    /// Lines dropped so far to keep the log bounded (lines()[0] is the line of that number).
    size_t dropped() const { return dropped_; }
    /// Lines logged since the start: the number of the next line.
    size_t total() const { return dropped_ + lines_.size(); }
    static constexpr size_t kLimit = 4096;
    /// Lines from index @from on, each "[%12.6f] message\n".
    std::string format(size_t from = 0) const;
    /// Whether some line's message contains @needle.
    bool contains(const std::string& needle) const;

private:
    std::vector<LogLine> lines_;
    size_t dropped_ = 0;
};

}  // namespace sim
