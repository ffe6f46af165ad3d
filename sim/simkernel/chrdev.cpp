// SPDX-License-Identifier: MIT
#include "chrdev.h"

#include <cerrno>

namespace sim {

int CharDevices::register_chrdev(unsigned major, unsigned baseminor, unsigned count,
                                 std::string name, const kp_file_ops* ops, bool builtin) {
    if (devs_.count(major))
        return -EBUSY;
    auto d = std::make_unique<Chrdev>();
    *d = Chrdev{major, baseminor, count, std::move(name), ops, builtin};
    devs_[major] = std::move(d);
    return 0;
}

void CharDevices::unregister_chrdev(unsigned major, bool builtin) {
    auto it = devs_.find(major);
    if (it != devs_.end() && it->second->builtin == builtin)
        devs_.erase(it);
}

Chrdev* CharDevices::find(unsigned major, unsigned minor) const {
    auto it = devs_.find(major);
    if (it == devs_.end())
        return nullptr;
    Chrdev* d = it->second.get();
    if (minor < d->baseminor || minor >= d->baseminor + d->count)
        return nullptr;
    return d;
}

void CharDevices::reset_module_devices() {
    for (auto it = devs_.begin(); it != devs_.end();)
        it = it->second->builtin ? std::next(it) : devs_.erase(it);
    module_refs_ = 0;
}

size_t CharDevices::module_devices() const {
    size_t n = 0;
    for (auto& [major, d] : devs_)
        if (!d->builtin)
            ++n;
    return n;
}

}  // namespace sim
