// SPDX-License-Identifier: MIT
// What the micom model needs from the world around it: a clock, timers, two
// serial transmitters and the box's power switch.  The simulator implements it
// in virtual time; the QEMU harness implements it with the host clock.
#pragma once

#include <cstdint>
#include <functional>

namespace micom {

/// Nanoseconds on the environment's clock (virtual or host time).
using Nanos = uint64_t;

/// The two serial lines between the SoC and the micom.
enum class Link : uint8_t {
    Primary,  ///< normal firmware frames, 8N1
    Isp,      ///< flash programmer, single data line, 8E1
};

/// SoC GPIO pins wired to the micom (numbers are the SoC's GPIO numbers).
enum class Pin : uint8_t {
    IspClock = 2,    ///< ISP clock line
    Clock8MhzN = 3,  ///< enable of the 8 MHz clock, active low
    PowerN = 4,      ///< micom power, active low
    Reset = 5,       ///< micom reset, low = held in reset
    IspEnableN = 6,  ///< ISP enable, active low
};

class MicomEnv {
public:
    virtual ~MicomEnv() = default;
    virtual Nanos now() const = 0;
    /// Runs @fn at time @t (>= now()); returns an id for cancel().
    virtual uint64_t at(Nanos t, std::function<void()> fn) = 0;
    virtual void cancel(uint64_t id) = 0;
    /// Queues one byte for transmission on @link.  The environment sends the
    /// queued bytes back to back at the line's speed, in order.
    virtual void transmit(Link link, uint8_t byte) = 0;
    /// Duration of one character on @link (start, data, parity, stop bits).
    virtual Nanos char_time(Link link) const = 0;
    /// The micom switches the box (the SoC) on or off.
    virtual void set_box_power(bool on) = 0;
};

}  // namespace micom
