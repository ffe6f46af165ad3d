// SPDX-License-Identifier: MIT
// /proc of the simulated kernel with the legacy read and write callbacks,
// and the kernel's read loop around the read callback.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel.h"

namespace sim {

struct ProcEntry {
    std::string name;
    unsigned short mode = 0;
    kp_read_proc_t read_proc = nullptr;
    kp_write_proc_t write_proc = nullptr;
    void* data = nullptr;
    unsigned read_calls = 0;  ///< calls of the read callback, for tests
};

class Procfs {
public:
    static constexpr long kPageSize = 4096;
    static constexpr long kBlockSize = kPageSize - 1024;  ///< at most this much per callback call
    static constexpr size_t kRemovedLimit = 1024;

    ProcEntry* create(const std::string& name, unsigned short mode);
    void remove(const std::string& name);
    ProcEntry* find(const std::string& name) const;
    std::vector<std::string> names() const;
    void reset() { entries_.clear(); creations_ = 0; }
    /// Names removed by remove(), in order (tests read it): at least the latest kRemovedLimit.
    const std::vector<std::string>& removed() const { return removed_; }
    void clear_removed() { removed_.clear(); }

    /// read() of @n bytes at *@pos into the user's @ubuf; @copy_out copies to
    /// user memory and returns false when that fails.
    long read(ProcEntry* e, char* ubuf, size_t n, long long* pos,
              const std::function<bool(void*, const void*, size_t)>& copy_out);
    long write(ProcEntry* e, kp_file* file, const char* ubuf, size_t n);

    /// Fault: the @n-th creation from now on fails (0: none).
    void fail_creation(int n) { fail_nth_ = n; creations_ = 0; }

private:
    std::map<std::string, std::unique_ptr<ProcEntry>> entries_;
    std::vector<std::string> removed_;
    int fail_nth_ = 0;
    int creations_ = 0;
};

}  // namespace sim
