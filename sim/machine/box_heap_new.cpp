// SPDX-License-Identifier: MIT
// The global operator new and delete of a program that runs boxes on the box
// heap (box_heap.h): while the heap is on, memory comes from it; memory goes
// back to whichever heap it came from.  Otherwise the C library's malloc
// serves, so the sanitizers still watch everything outside the box heap.
#include <cstdlib>
#include <new>

#include "machine/box_heap.h"

namespace {

void* take(std::size_t n, std::size_t align) {
    namespace heap = sim::box_heap;
    if (heap::on())
        return heap::allocate(n ? n : 1, align);
    void* p = align > alignof(std::max_align_t) ? std::aligned_alloc(align, (n + align - 1) / align * align)
                                                 : std::malloc(n ? n : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}

void give(void* p) noexcept {
    if (!p)
        return;
    if (sim::box_heap::contains(p))
        sim::box_heap::deallocate(p);
    else
        std::free(p);
}

constexpr std::size_t kDefault = alignof(std::max_align_t);

}  // namespace

void* operator new(std::size_t n) { return take(n, kDefault); }
void* operator new[](std::size_t n) { return take(n, kDefault); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return take(n, kDefault);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    try {
        return take(n, kDefault);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t n, std::align_val_t a) { return take(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return take(n, std::size_t(a)); }

void operator delete(void* p) noexcept { give(p); }
void operator delete[](void* p) noexcept { give(p); }
void operator delete(void* p, std::size_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t) noexcept { give(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { give(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { give(p); }
void operator delete(void* p, std::align_val_t) noexcept { give(p); }
void operator delete[](void* p, std::align_val_t) noexcept { give(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { give(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { give(p); }
