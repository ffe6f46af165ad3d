// SPDX-License-Identifier: MIT
// Shared objects loaded afresh: the driver module and micomflash's builds
// each start from their load-time globals at every load, as a module or a
// program does on the box.  That holds only while every unload really
// unmaps the object, which is checked here.  (Header only: the simulator
// and the programmer's tests both use it.)
#pragma once

#include <dlfcn.h>

#include <string>

namespace sim {

/// A new mapping of the object at @path, or nullptr with @error set.
inline void* open_fresh(const std::string& path, std::string* error) {
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h && error)
        *error = dlerror();
    return h;
}

/// Unloads @handle; true when the object is gone from the process (no other
/// handle kept it mapped), so that the next load starts afresh.
inline bool close_unmapped(void* handle, const std::string& path) {
    dlclose(handle);
    void* again = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!again)
        return true;
    dlclose(again);
    return false;
}

}  // namespace sim
