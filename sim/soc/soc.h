// SPDX-License-Identifier: MIT
// The box's SoC as its CPU sees it: the two UART blocks with their serial
// lines, the GPIO block, the clock generator, and the bus that decodes the
// CPU's register accesses onto them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "soc/clock_generator.h"
#include "soc/gpio.h"
#include "soc/serial_link.h"
#include "soc/uart.h"

namespace sim {

/// A register write of the CPU, in program order.
struct RegWrite {
    Nanos t;
    uint32_t bus_addr;
    uint32_t value;
    bool via_gbus;  ///< through gbus_write_uint32 (else an uncached store)
};

/// The SoC's settings.  (No padding: a copy of one from the stack brings no
/// stray bytes into the box, whose snapshot is compared byte for byte.)
struct SocConfig {
    uint64_t seed = 1;              ///< the lines' fault randomness
    Nanos reg_access_ns = 100;      ///< cost of one register access
    uint32_t baud = 115200;         ///< line speed that the driver's divisor 4 gives
    uint32_t chip_id = 0x86520102;  ///< upper 16 bits: the chip number
};
static_assert(sizeof(SocConfig) == 24);

class Soc {
public:
    Soc(Machine& m, const SocConfig& cfg);
    ~Soc();
    Soc(const Soc&) = delete;
    Soc& operator=(const Soc&) = delete;

    Uart& uart(int i) { return i == 0 ? *uart0_ : *uart1_; }
    SerialLink& primary() { return *primary_; }
    SerialLink& isp() { return *isp_; }
    Gpio& gpio() { return gpio_; }
    /// The clock generator, which user programs reach through the resource
    /// access library; it gives the micom its 8 MHz reference.
    ClockGenerator& clock_generator() { return clock_generator_; }
    uint32_t chip_id() const { return cfg_.chip_id; }
    /// What one register access costs the CPU.
    Nanos access_ns() const { return cfg_.reg_access_ns; }

    // ---- the bus ----
    uint32_t read(uint32_t addr);
    void write(uint32_t addr, uint32_t value, bool via_gbus);
    /// Whether reading @addr changes the device (the receive buffer pops its
    /// FIFO); a status read only clears what a device event sets again.
    bool read_has_side_effects(uint32_t addr) const;
    /// An access that no block answers (the CPU's bus error).
    std::function<void(const std::string&)> on_bus_error;
    const std::vector<RegWrite>& reg_writes() const { return reg_writes_; }
    void clear_reg_writes() { reg_writes_.clear(); }

    /// The box lost power: the UARTs and the GPIO block start from their reset state.
    void power_lost();

private:
    Machine& m_;
    SocConfig cfg_;
    Gpio gpio_;
    ClockGenerator clock_generator_;
    std::unique_ptr<SerialLink> primary_, isp_;
    std::unique_ptr<Uart> uart0_, uart1_;
    std::vector<RegWrite> reg_writes_;
};

}  // namespace sim
