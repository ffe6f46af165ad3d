// SPDX-License-Identifier: MIT
// A booted box kept and put back: what the fuzz harnesses start each input
// from instead of booting again.  A snapshot is the box's heap (box_heap.h:
// the box and every object of it, at the same addresses) and the writable
// bytes of the module image (the driver's globals), the only state of a box
// outside its heap once no context but the world is alive.
#pragma once

#include <string>

#include "box/box.h"
#include "machine/box_heap.h"
#include "simkernel/module_loader.h"

namespace sim {

class BoxSnapshot {
public:
    /// Takes @box's state.  False, with @why, when it cannot be taken: the
    /// box must be on the box heap, its module image kept by a restoring
    /// loader, and no context but the world may be alive (their stacks are
    /// not in the copy).
    bool take(Box& box, std::string* why = nullptr);
    /// Puts the state back into the same box: the contexts started since
    /// are ended and freed, the module image gets its bytes, the heap its.
    void restore(Box& box) const;
    bool taken() const { return taken_; }
    /// Bytes copied at each restore.
    size_t size() const { return heap_.bytes.size() + module_.bytes.size(); }

private:
    box_heap::Image heap_;
    ModuleLoader::KeptState module_;
    bool taken_ = false;
};

}  // namespace sim
