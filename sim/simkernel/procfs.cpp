// SPDX-License-Identifier: MIT
#include "procfs.h"

#include <cerrno>

#include "machine/bounded_log.h"

namespace sim {

ProcEntry* Procfs::create(const std::string& name, unsigned short mode) {
    ++creations_;
    if (fail_nth_ && creations_ == fail_nth_)
        return nullptr;
    if (entries_.count(name))
        return nullptr;  // the name is taken
    auto e = std::make_unique<ProcEntry>();
    e->name = name;
    e->mode = mode;
    ProcEntry* raw = e.get();
    entries_[name] = std::move(e);
    return raw;
}

void Procfs::remove(const std::string& name) {
    if (entries_.erase(name))
        append_bounded(removed_, name, kRemovedLimit);
}

ProcEntry* Procfs::find(const std::string& name) const {
    auto it = entries_.find(name);
    return it == entries_.end() ? nullptr : it->second.get();
}

std::vector<std::string> Procfs::names() const {
    std::vector<std::string> v;
    for (auto& [name, e] : entries_)
        v.push_back(name);
    return v;
}

// The legacy read loop: with *start left NULL the callback puts the data of
// the offset at that offset in the page and returns the bytes from the page's
// start to the end of its data; the loop calls it again at the advanced
// offset until it sets end of file or has nothing beyond the offset.
long Procfs::read(ProcEntry* e, char* ubuf, size_t nbytes, long long* ppos,
                  const std::function<bool(void*, const void*, size_t)>& copy_out) {
    std::vector<char> page(kPageSize, 0);
    long retval = 0;
    int eof = 0;

    while (nbytes > 0 && !eof) {
        long count = nbytes < size_t(kBlockSize) ? long(nbytes) : kBlockSize;
        char* start = nullptr;
        long n;
        if (!e->read_proc)
            break;
        ++e->read_calls;
        n = e->read_proc(page.data(), &start, long(*ppos), int(count), &eof, e->data);
        if (n == 0)
            break;
        if (n < 0) {
            if (retval == 0)
                retval = n;
            break;
        }
        if (start == nullptr) {
            if (n > kPageSize)
                n = kPageSize;
            n -= long(*ppos);
            if (n <= 0)
                break;
            if (n > count)
                n = count;
            start = page.data() + *ppos;
        } else if (start < page.data()) {
            // the callback's own offset bookkeeping ("start" is a count)
            if (n > count)
                n = count;
        } else {
            if (n > count)
                n = count;
        }
        const char* from = start < page.data() ? page.data() : start;
        if (!copy_out(ubuf, from, size_t(n))) {
            if (retval == 0)
                retval = -EFAULT;
            break;
        }
        *ppos += start < page.data() ? (long long)(uintptr_t)start : n;
        nbytes -= size_t(n);
        ubuf += n;
        retval += n;
    }
    return retval;
}

long Procfs::write(ProcEntry* e, kp_file* file, const char* ubuf, size_t n) {
    if (!e->write_proc)
        return -EIO;
    return e->write_proc(file, ubuf, (unsigned long)n, e->data);
}

}  // namespace sim
