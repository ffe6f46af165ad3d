// SPDX-License-Identifier: MIT
// The kernel's device model, as far as the driver uses it: the platform
// device it registers at its start (wake-up capable: the micom switches the
// box on at its alarm), the parent of its RTC and input devices.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace sim {

struct Device {
    std::string name;
    bool registered = false;
    bool wakeup_capable = true;  ///< device_init_wakeup(dev, true): power/wakeup reads "enabled"
};

class DeviceModel {
public:
    /// Fault: registrations fail with -ENOMEM (set at each boot from KernelFaults).
    bool fail_register = false;

    /// 0 and the device in *@dev, or a negative error and nothing registered
    /// (-EEXIST: a device of that name is there already).
    int register_device(const std::string& name, Device** dev);
    /// False when @dev is not a registered device (a double unregister).
    bool unregister(Device* dev);
    /// Whether @dev is a device registered now.
    bool registered(const Device* dev) const;
    std::vector<const Device*> devices() const;
    /// Forgets every device (the module went, or the box lost power).
    void reset() { all_.clear(); }

private:
    // every device of this boot, unregistered ones too: a stale handle is
    // told apart from a live one
    std::vector<std::unique_ptr<Device>> all_;
};

}  // namespace sim
