// SPDX-License-Identifier: MIT
// The kernel's module loader, for the driver's shared object: every load
// gives an image as freshly loaded, and an unloaded image can no longer be
// run.
//
// Two ways to get there:
//  - mapping (the default): dlopen at every load, dlclose at every unload,
//    which really unmaps the image (checked);
//  - restoring: the image is mapped once per process and its writable
//    bytes saved as they were right after the mapping, before any code of
//    the module ran.  A load puts those bytes back; an unload takes the
//    right to run the module's code away (its text becomes inaccessible),
//    so that a stale pointer to a function of the module faults as it would
//    on an unmapped image (or, where every edge of the module's code calls
//    a hook of the program, that hook aborts: see guard_by_edge_hook()).
//    Its data stays accessible (taking that away too
//    cost an eighth of a boot): stale data pointers are caught instead by
//    the check of what the module left registered at every unload.  A
//    harness that boots thousands of boxes saves the dynamic linker's work
//    and the page faults of a new mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

class ModuleLoader {
public:
    ModuleLoader(std::string path, bool restore);

    /// A freshly loaded image of the module (a dlopen handle), or nullptr
    /// with @error set.
    void* load(std::string* error);
    /// The image goes; false when it is still mapped and runnable (a fault
    /// of the loader, reported by the caller).
    bool unload(void* handle);
    bool restoring() const { return restore_; }

    /// The bytes of @handle's image that a load may change (its writable
    /// part outside the read-only-after-relocation range), with the image's
    /// load address: what a restored image and a fresh one are compared by.
    struct Writable {
        uintptr_t base = 0;   ///< load address of the image
        uintptr_t start = 0;  ///< address of bytes[0]
        std::vector<uint8_t> bytes;
    };
    static Writable writable_image(void* handle);

    /// The kept image as it is now (restoring loaders only): whether a box
    /// has it loaded and its writable bytes.  Put back with restore_kept(),
    /// the image is loaded and runnable with those bytes, as when it was taken.
    struct KeptState {
        bool in_use = false;
        std::vector<uint8_t> bytes;
    };
    static KeptState kept_state();
    static void restore_kept(const KeptState& state);

    /// Changes whenever an image is mapped or unmapped: an address found in
    /// an image holds while it stays the same.
    static unsigned mappings();

    /// A program whose module is built to call a hook at every edge of its
    /// code (a fuzz harness's coverage hook) reads kept_image_runnable_flag()
    /// there and aborts when it is false; then the kept image's text keeps
    /// its protections at an unload.  Changing them cost a reboot's
    /// mprotect() calls and the page faults after them: 60 % of a fuzz
    /// harness that reboots the box.  Called before the first load.
    static void guard_by_edge_hook();
    /// False while the kept image is unloaded (its code must not run): the
    /// flag itself, for a hook that is not to call into the simulator.
    static const bool* kept_image_runnable_flag();

private:
    std::string path_;
    bool restore_;
};

}  // namespace sim
