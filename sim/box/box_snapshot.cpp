// SPDX-License-Identifier: MIT
#include "box/box_snapshot.h"

namespace sim {

bool BoxSnapshot::take(Box& box, std::string* why) {
    box_heap::Outside outside;
    const char* refused = nullptr;
    if (!box_heap::contains(&box))
        refused = "the box is not on the box heap";
    else if (!box.config().restore_module_image)
        refused = "the module is mapped anew at each load";
    else if (!box.machine().live_tasks().empty() || box.machine().current() != box.machine().world())
        refused = "a context besides the world is alive";
    if (refused) {
        if (why)
            *why = refused;
        return false;
    }
    module_ = ModuleLoader::kept_state();
    box_heap::save(heap_);
    taken_ = true;
    return true;
}

void BoxSnapshot::restore(Box& box) const {
    {
        box_heap::Inside inside;
        box.machine().drop_contexts();
    }
    ModuleLoader::restore_kept(module_);
    box_heap::restore(heap_);
}

}  // namespace sim
