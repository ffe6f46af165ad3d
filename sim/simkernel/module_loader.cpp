// SPDX-License-Identifier: MIT
#include "simkernel/module_loader.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "machine/box_heap.h"
#include "machine/fresh_object.h"

namespace sim {

namespace {

struct PageRange {
    uintptr_t lo = 0, hi = 0;
    int prot = 0;  ///< as mapped
};

/// The one image a process keeps for restoring.
struct Kept {
    std::string path;
    void* handle = nullptr;
    bool in_use = false;          ///< a box has it loaded
    bool runnable = true;         ///< its code may run (its protections are as mapped)
    std::vector<PageRange> text;  ///< executable segments
    uintptr_t start = 0;          ///< where the restored bytes begin
    std::vector<uint8_t> fresh;   ///< those bytes right after the mapping
};

Kept& kept() {
    static Kept k;
    return k;
}

/// Images mapped or unmapped so far (by boxes on any thread).
std::atomic<unsigned> g_mappings;

void* map_image(const std::string& path, std::string* error) {
    g_mappings.fetch_add(1, std::memory_order_relaxed);
    return open_fresh(path, error);
}

bool unmap_image(void* handle, const std::string& path) {
    g_mappings.fetch_add(1, std::memory_order_relaxed);
    return close_unmapped(handle, path);
}

const uintptr_t kPage = uintptr_t(sysconf(_SC_PAGESIZE));

uintptr_t page_floor(uintptr_t a) { return a & ~(kPage - 1); }
uintptr_t page_ceil(uintptr_t a) { return page_floor(a + kPage - 1); }

/// The loaded object of @handle, found by its load address.
struct Segments {
    uintptr_t base = 0;
    std::vector<PageRange> text;
    uintptr_t data_lo = 0, data_hi = 0;  ///< writable bytes outside RELRO
};

Segments segments_of(void* handle) {
    Segments s;
    link_map* lm = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &lm) != 0 || !lm)
        return s;
    s.base = lm->l_addr;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* arg) {
            auto* s = static_cast<Segments*>(arg);
            if (info->dlpi_addr != s->base)
                return 0;
            uintptr_t relro_end = 0;
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                if (p.p_type == PT_GNU_RELRO)
                    relro_end = page_floor(s->base + p.p_vaddr + p.p_memsz);
            }
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                if (p.p_type != PT_LOAD)
                    continue;
                const uintptr_t lo = s->base + p.p_vaddr, hi = lo + p.p_memsz;
                if (p.p_flags & PF_X)
                    s->text.push_back({page_floor(lo), page_ceil(hi), PROT_READ | PROT_EXEC});
                if (p.p_flags & PF_W) {
                    s->data_lo = lo > relro_end ? lo : relro_end;
                    s->data_hi = hi;
                }
            }
            return 1;
        },
        &s);
    return s;
}

// The module's globals lie in redzones the sanitizers watch, and a copy of
// its whole data is no access of the program's: these copies are not
// instrumented, and volatile keeps them from becoming a (checked) memcpy.
__attribute__((no_sanitize("address", "thread", "undefined"))) void copy_raw(void* to, const void* from,
                                                                             size_t n) {
    auto* d = static_cast<volatile uint8_t*>(to);
    auto* s = static_cast<const volatile uint8_t*>(from);
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        *reinterpret_cast<volatile uint64_t*>(d + i) = *reinterpret_cast<const volatile uint64_t*>(s + i);
    for (; i < n; ++i)
        d[i] = s[i];
}

/// A hook at every edge of the module's code stops it while it may not run
/// (ModuleLoader::guard_by_edge_hook()): its protections stay as mapped.
bool g_edge_guard;

void protect(Kept& k, bool runnable) {
    if (k.runnable == runnable)
        return;
    if (!g_edge_guard)
        for (const PageRange& r : k.text)
            mprotect(reinterpret_cast<void*>(r.lo), r.hi - r.lo, runnable ? r.prot : PROT_NONE);
    k.runnable = runnable;
}

// The module's destructors run at exit: its code must be runnable again.
void make_kept_runnable_at_exit() { protect(kept(), true); }

void drop_kept() {
    Kept& k = kept();
    if (!k.handle)
        return;
    protect(k, true);
    unmap_image(k.handle, k.path);
    k = Kept{};
}

}  // namespace

unsigned ModuleLoader::mappings() { return g_mappings.load(std::memory_order_relaxed); }

void ModuleLoader::guard_by_edge_hook() {
    // (the kept image, if any, is runnable: only its text's protections change)
    protect(kept(), true);
    g_edge_guard = true;
}

const bool* ModuleLoader::kept_image_runnable_flag() { return &kept().runnable; }

ModuleLoader::ModuleLoader(std::string path, bool restore) : path_(std::move(path)), restore_(restore) {
#ifdef FP_MODULE_HAS_GCOV
    // its edge counts live in its data and are written at its unmapping
    restore_ = false;
#endif
}

void* ModuleLoader::load(std::string* error) {
    // the kept image outlives every box: none of it is on a box's heap
    box_heap::Outside outside;
    Kept& k = kept();
    if (k.in_use) {
        *error = "the module is loaded by another box of this process";
        return nullptr;
    }
    // (a mapping of the kept file would be the kept image itself)
    if (!restore_ || k.path != path_)
        drop_kept();
    if (!restore_)
        return map_image(path_, error);
    if (!k.handle) {
        void* h = map_image(path_, error);
        if (!h)
            return nullptr;
        const Segments s = segments_of(h);
        k.path = path_;
        k.handle = h;
        k.text = s.text;
        k.start = s.data_lo;
        k.fresh.resize(s.data_hi - s.data_lo);
        copy_raw(k.fresh.data(), reinterpret_cast<const void*>(k.start), k.fresh.size());
        static const bool registered = (std::atexit(make_kept_runnable_at_exit), true);
        (void)registered;
    } else {
        protect(k, true);
        copy_raw(reinterpret_cast<void*>(k.start), k.fresh.data(), k.fresh.size());
    }
    k.in_use = true;
    return k.handle;
}

bool ModuleLoader::unload(void* handle) {
    Kept& k = kept();
    if (handle == k.handle) {
        k.in_use = false;
        protect(k, false);
        return true;
    }
    return unmap_image(handle, path_);
}

ModuleLoader::KeptState ModuleLoader::kept_state() {
    box_heap::Outside outside;
    const Kept& k = kept();
    KeptState st;
    st.in_use = k.in_use;
    if (k.handle) {
        st.bytes.resize(k.fresh.size());
        copy_raw(st.bytes.data(), reinterpret_cast<const void*>(k.start), st.bytes.size());
    }
    return st;
}

void ModuleLoader::restore_kept(const KeptState& st) {
    Kept& k = kept();
    if (!k.handle || st.bytes.size() != k.fresh.size())
        return;
    protect(k, true);
    copy_raw(reinterpret_cast<void*>(k.start), st.bytes.data(), st.bytes.size());
    k.in_use = st.in_use;
    if (!st.in_use)
        protect(k, false);
}

ModuleLoader::Writable ModuleLoader::writable_image(void* handle) {
    const Segments s = segments_of(handle);
    Writable w;
    w.base = s.base;
    w.start = s.data_lo;
    w.bytes.resize(s.data_hi - s.data_lo);
    copy_raw(w.bytes.data(), reinterpret_cast<const void*>(w.start), w.bytes.size());
    return w;
}

}  // namespace sim
