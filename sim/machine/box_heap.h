// SPDX-License-Identifier: MIT
// A heap of its own for one simulated box, so that the box's whole state can
// be saved and put back as bytes: the box and everything it allocates (its
// parts, their containers, the contexts' bookkeeping) live in one region
// whose allocator keeps its own state (free lists, top) inside the region.
// Copying the used part of the region back puts every object back at its
// address with its contents, and the allocator with them: a box started from
// the copy is the box as it was, pointer for pointer.
//
// The heap is used only where the program replaces the global operator new
// with the one of box_heap_new.cpp (the fuzz harnesses and the simulator's
// tests) and only while it is switched on; memory is given back to whichever
// heap it came from.  Elsewhere these functions are never reached.
//
// What lives outside the region is not in the copy: the module image (its
// writable bytes are put back by the module loader), the contexts' stacks
// (a copy is taken only when no context but the world is alive), and what is
// allocated while the heap is off (the snapshot's own buffers, the loader's
// kept image: Outside).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::box_heap {

/// Whether operator new takes memory from the box heap now.
bool on();
/// Switches it; returns what it was.
bool set_on(bool on);
/// Whether @p was allocated from the box heap.
bool contains(const void* p);
void* allocate(size_t n, size_t align);
void deallocate(void* p);
/// Forgets everything allocated and zeroes the region (what a box left there
/// must not show through in the next one).
void reset();
/// Bytes of the region in use (up to the top).
size_t used();
/// Where the region starts (null before the first allocation).
const void* region();

/// The heap's bytes up to its top at one moment.
struct Image {
    std::vector<uint8_t> bytes;
};
/// Takes the image (its buffer is allocated outside the heap).
void save(Image& image);
/// Puts the image back: the heap and every object in it as they were.
void restore(const Image& image);

/// The heap switched on or off for the lifetime of the guard, then back.
class Switched {
public:
    explicit Switched(bool on) : was_(set_on(on)) {}
    ~Switched() { set_on(was_); }
    Switched(const Switched&) = delete;
    Switched& operator=(const Switched&) = delete;

private:
    bool was_;
};

/// Off: for memory that must outlive a box, or that holds a copy of one.
struct Outside : Switched {
    Outside() : Switched(false) {}
};

/// On: what the box allocates now is part of it.
struct Inside : Switched {
    Inside() : Switched(true) {}
};

}  // namespace sim::box_heap
