// SPDX-License-Identifier: MIT
#include "gpio.h"

#include "machine/bounded_log.h"

namespace sim {

Gpio::Gpio() {}

bool Gpio::level(unsigned pin) const {
    const uint16_t bit = uint16_t(1u << pin);
    return (dir_ & bit) ? (data_ & bit) != 0 : (defaults_ & bit) != 0;
}

void Gpio::set_default_level(unsigned pin, bool level) {
    if (level)
        defaults_ |= uint16_t(1u << pin);
    else
        defaults_ &= uint16_t(~(1u << pin));
}

uint32_t Gpio::read(uint32_t addr) const {
    return addr == kDirAddr ? dir_ : addr == kDataAddr ? data_ : 0;
}

void Gpio::write(Nanos t, uint32_t addr, uint32_t value) {
    append_bounded(writes_, Write{t, addr, value}, kWriteLimit);
    bool before[16];
    for (unsigned p = 0; p < 16; ++p)
        before[p] = level(p);
    const uint16_t mask = uint16_t(value >> 16), bits = uint16_t(value);
    if (addr == kDirAddr)
        dir_ = uint16_t((dir_ & ~mask) | (bits & mask));
    else if (addr == kDataAddr)
        data_ = uint16_t((data_ & ~mask) | (bits & mask));
    for (unsigned p = 0; p < 16; ++p)
        if (level(p) != before[p] && on_change)
            on_change(t, p, level(p));
}

void Gpio::reset() {
    dir_ = 0;
    data_ = 0;
}

}  // namespace sim
