// SPDX-License-Identifier: MIT
// The SoC's GPIO block: a direction and a data register, both written with a
// mask in the upper half (bit 16+p selects pin p, bit p is its new value).
// Pins that are not outputs take the board's default level.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "machine/sim_time.h"

namespace sim {

class Gpio {
public:
    static constexpr uint32_t kDirAddr = 0x10500, kDataAddr = 0x10504;

    struct Write {
        Nanos t;
        uint32_t addr;
        uint32_t value;
    };

    Gpio();
    void write(Nanos t, uint32_t addr, uint32_t value);
    uint32_t read(uint32_t addr) const;
    bool level(unsigned pin) const;
    bool is_output(unsigned pin) const { return dir_ & (1u << pin); }
    void set_default_level(unsigned pin, bool level);
    /// The writes kept: at least the latest kWriteLimit, in order.
    const std::vector<Write>& writes() const { return writes_; }
    static constexpr size_t kWriteLimit = 16384;
    void clear_writes() { writes_.clear(); }
    /// Pins back to inputs (the SoC was switched off).
    void reset();

    /// Called when a pin's level changes: (time, pin, level).
    std::function<void(Nanos, unsigned, bool)> on_change;

private:
    uint16_t dir_ = 0, data_ = 0, defaults_ = 0;
    std::vector<Write> writes_;
};

}  // namespace sim
