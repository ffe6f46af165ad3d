// SPDX-License-Identifier: MIT
// Character devices of the simulated kernel and the files opened on them.
// An open file of a module's device holds a reference on the module.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "platform/kernel.h"

namespace sim {

struct Chrdev {
    unsigned major = 0, baseminor = 0, count = 0;
    std::string name;
    const kp_file_ops* ops = nullptr;
    bool builtin = false;  ///< registered by another driver of the box, not by the module
};

/// An open file (the kernel's struct file).
struct OpenFile {
    Chrdev* dev = nullptr;
    unsigned minor = 0;
    void* private_data = nullptr;
    long long pos = 0;
};

class CharDevices {
public:
    /// 0, or -16 (EBUSY) when the major is taken.
    int register_chrdev(unsigned major, unsigned baseminor, unsigned count, std::string name,
                        const kp_file_ops* ops, bool builtin = false);
    /// Unregisters the module's device (@builtin: another driver's).
    void unregister_chrdev(unsigned major, bool builtin = false);
    Chrdev* find(unsigned major, unsigned minor) const;
    bool registered(unsigned major) const { return devs_.count(major) != 0; }
    /// Files open on module devices (references on the module).
    int module_refs() const { return module_refs_; }
    void add_ref(const OpenFile& f) { if (!f.dev->builtin) ++module_refs_; }
    void drop_ref(const OpenFile& f) { if (!f.dev->builtin) --module_refs_; }
    /// Drops everything the module registered (the box lost power).
    void reset_module_devices();
    size_t module_devices() const;

private:
    std::map<unsigned, std::unique_ptr<Chrdev>> devs_;
    int module_refs_ = 0;
};

}  // namespace sim
