// SPDX-License-Identifier: MIT
#include "machine/box_heap.h"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim::box_heap {

namespace {

// Address space only: pages are backed once touched.
constexpr size_t kRegionSize = size_t(4) << 30;
constexpr size_t kHeader = 16;
// Chunks (header included) of up to 512 bytes in steps of 16, then powers of two.
constexpr unsigned kSmallClasses = 512 / 16;
constexpr unsigned kClasses = kSmallClasses + 24;
constexpr uint32_t kMagic = 0xb0c5b0c5, kAlignedMagic = 0xa119e0d5;

struct Chunk {
    uint32_t cls;
    uint32_t magic;
    uint64_t offset;  ///< an aligned allocation: bytes back to its chunk
};
static_assert(sizeof(Chunk) == kHeader);

/// At the start of the region, so that an image holds it too.
struct State {
    char* top;
    void* free[kClasses];
};

char* g_region = nullptr;
bool g_on = false;

State& state() { return *reinterpret_cast<State*>(g_region); }
char* first_chunk() { return g_region + ((sizeof(State) + 63) & ~size_t(63)); }

void map_region() {
    void* m = mmap(nullptr, kRegionSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) {
        std::perror("fpsim: no address space for the box heap");
        std::abort();
    }
    g_region = static_cast<char*>(m);
    state().top = first_chunk();
}

unsigned class_of(size_t total) {
    if (total <= 512)
        return unsigned((total + 15) / 16) - 1;
    unsigned log = 10;  // 1024 is the first power-of-two class
    while ((size_t(1) << log) < total)
        ++log;
    return kSmallClasses + (log - 10);
}

size_t class_size(unsigned cls) {
    return cls < kSmallClasses ? size_t(cls + 1) * 16 : size_t(1) << (cls - kSmallClasses + 10);
}

}  // namespace

bool on() { return g_on; }

bool set_on(bool on) {
    const bool was = g_on;
    g_on = on;
    return was;
}

bool contains(const void* p) {
    const char* c = static_cast<const char*>(p);
    return g_region && c >= g_region && c < g_region + kRegionSize;
}

void* allocate(size_t n, size_t align) {
    if (!g_region)
        map_region();
    if (align > kHeader) {
        // room for the alignment and a second header in front of the result
        char* raw = static_cast<char*>(allocate(n + align + kHeader, kHeader));
        auto a = (reinterpret_cast<uintptr_t>(raw) + kHeader + align - 1) & ~(uintptr_t(align) - 1);
        auto* h = reinterpret_cast<Chunk*>(a - kHeader);
        h->cls = 0;
        h->magic = kAlignedMagic;
        h->offset = uint64_t(a - reinterpret_cast<uintptr_t>(raw));
        return reinterpret_cast<void*>(a);
    }
    const unsigned cls = class_of(n + kHeader);
    if (cls >= kClasses) {
        std::fputs("fpsim: an allocation larger than the box heap\n", stderr);
        std::abort();
    }
    State& s = state();
    char* c;
    if (void* f = s.free[cls]) {
        c = static_cast<char*>(f);
        std::memcpy(&s.free[cls], c + kHeader, sizeof(void*));
        std::memset(c + kHeader, 0, sizeof(void*));
    } else {
        c = s.top;
        if (size_t(c + class_size(cls) - g_region) > kRegionSize) {
            std::fputs("fpsim: the box heap is full\n", stderr);
            std::abort();
        }
        s.top += class_size(cls);
    }
    auto* h = reinterpret_cast<Chunk*>(c);
    h->cls = cls;
    h->magic = kMagic;
    h->offset = 0;
    return c + kHeader;
}

void deallocate(void* p) {
    auto* h = reinterpret_cast<Chunk*>(static_cast<char*>(p) - kHeader);
    if (h->magic == kAlignedMagic) {
        void* raw = static_cast<char*>(p) - h->offset;
        std::memset(h, 0, kHeader);
        return deallocate(raw);
    }
    if (h->magic != kMagic) {
        std::fputs("fpsim: freeing memory the box heap did not give\n", stderr);
        std::abort();
    }
    // What a freed object held must not show in a later one (nor in a
    // comparison of two heaps): the chunk is zeroed, its link aside.
    const unsigned cls = h->cls;
    char* c = reinterpret_cast<char*>(h);
    std::memset(c + kHeader, 0, class_size(cls) - kHeader);
    State& s = state();
    std::memcpy(c + kHeader, &s.free[cls], sizeof(void*));
    s.free[cls] = c;
}

void reset() {
    if (!g_region)
        return;
    const size_t used_bytes = size_t(state().top - g_region);
    // whole pages back to zero pages, the rest by hand
    const size_t page = 4096, pages = used_bytes / page * page;
    if (pages)
        madvise(g_region, pages, MADV_DONTNEED);
    std::memset(g_region + pages, 0, used_bytes - pages);
    std::memset(g_region, 0, sizeof(State));
    state().top = first_chunk();
}

const void* region() { return g_region; }

size_t used() { return g_region ? size_t(state().top - g_region) : 0; }

void save(Image& image) {
    Outside outside;
    image.bytes.assign(g_region, g_region + used());
}

void restore(const Image& image) {
    if (image.bytes.empty())
        return;
    std::memcpy(g_region, image.bytes.data(), image.bytes.size());
}

}  // namespace sim::box_heap
