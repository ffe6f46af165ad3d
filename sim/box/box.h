// SPDX-License-Identifier: MIT
// The simulated set-top box: the machine (virtual time, the CPU), the SoC
// with its two serial lines, the simulated kernel with the driver module,
// and the front-panel micom on the other end of the lines.  The box wires
// them together and switches the power; each part does its own work.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "machine/machine.h"
#include "micom/micom_model.h"
#include "simkernel/kernel.h"
#include "soc/soc.h"

namespace sim {

struct BoxConfig {
    unsigned hz = 100;                 ///< kernel tick rate
    uint32_t baud = 115200;            ///< line speed that the driver's divisor 4 gives
    uint64_t seed = 1;                 ///< fault and timing randomness
    uint32_t chip_id = 0x86520102;     ///< upper 16 bits: the chip number
    Nanos reg_access_ns = 100;         ///< cost of one register access
    std::string module_path;           ///< the driver's shared object; empty: the built one
    /// Each load restores the writable bytes of one image kept for the
    /// process, instead of mapping the shared object anew (module_loader.h).
    bool restore_module_image = false;
    micom::MicomConfig micom;
};

class Box {
public:
    explicit Box(BoxConfig cfg = {});
    ~Box();
    Box(const Box&) = delete;
    Box& operator=(const Box&) = delete;

    Machine& machine() { return *m_; }
    Soc& soc() { return *soc_; }
    Kernel& kernel() { return *kernel_; }
    micom::MicomModel& micom() { return *micom_; }
    const BoxConfig& config() const { return cfg_; }

    // ---- power ----
    /// Switches the box on (if off: the micom switches it on) and loads the
    /// module; init_fp's result, -2 when the module file cannot be loaded, or
    /// -5 when the box is off and the micom, its firmware not running, cannot
    /// switch it on.
    int boot();
    bool powered() const { return powered_; }
    /// The box loses power now (the micom switched it off).
    void power_off_now();
    /// The micom switches the box on: it boots and loads the module.
    void power_on_boot();
    /// A boot that power_on_boot() started is still loading the module.
    bool booting() const { return booting_; }

private:
    class MicomPort;

    BoxConfig cfg_;
    std::unique_ptr<Machine> m_;
    std::unique_ptr<Soc> soc_;
    std::unique_ptr<Kernel> kernel_;
    std::unique_ptr<MicomPort> port_;
    std::unique_ptr<micom::MicomModel> micom_;
    bool powered_ = true;
    bool booting_ = false;
};

}  // namespace sim
