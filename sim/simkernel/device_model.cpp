// SPDX-License-Identifier: MIT
#include "simkernel/device_model.h"

#include <cerrno>

namespace sim {

int DeviceModel::register_device(const std::string& name, Device** dev) {
    if (fail_register)
        return -ENOMEM;
    for (auto& d : all_)
        if (d->registered && d->name == name)
            return -EEXIST;
    all_.push_back(std::make_unique<Device>());
    all_.back()->name = name;
    all_.back()->registered = true;
    *dev = all_.back().get();
    return 0;
}

bool DeviceModel::registered(const Device* dev) const {
    for (auto& d : all_)
        if (d.get() == dev)
            return d->registered;
    return false;
}

bool DeviceModel::unregister(Device* dev) {
    if (!registered(dev))
        return false;
    dev->registered = false;
    return true;
}

std::vector<const Device*> DeviceModel::devices() const {
    std::vector<const Device*> v;
    for (auto& d : all_)
        if (d->registered)
            v.push_back(d.get());
    return v;
}

}  // namespace sim
