// SPDX-License-Identifier: MIT
// One UART block of the SoC, as the driver sees it: a receive FIFO with its
// trigger level and character time-out, a transmit holding register in
// front of the shift register, line status, interrupt enable, line control
// with parity, and a clock divisor that sets the bit rate from the board's
// UART clock.  Register offsets and bits are the SoC's (soc_map.h).
#pragma once

#include <cstdint>
#include <deque>

#include "machine/machine.h"
#include "serial_link.h"
#include "soc_map.h"

namespace sim {

class Uart {
public:
    static constexpr uint32_t RBR = SOC_UART_RBR, THR = SOC_UART_THR, IER = SOC_UART_IER, FCR = SOC_UART_FCR,
                              LCR = SOC_UART_LCR, LSR = SOC_UART_LSR, CLKDIV = SOC_UART_CLKDIV,
                              CFG2C = SOC_UART_CFG, CFG38 = SOC_UART_CFG2;
    static constexpr uint32_t kBlockSize = FP_UART_BLOCK_SIZE;

    Uart(Machine& m, uint32_t base, unsigned irq_line, uint64_t uart_clock_hz);

    uint32_t base() const { return base_; }
    unsigned irq_line() const { return irq_line_; }
    void attach(SerialLink* link);

    uint32_t read(uint32_t off);
    void write(uint32_t off, uint32_t value);
    /// A byte arrives from the line (its stop bit has just ended).
    void receive(uint8_t b, bool error);

    LineFormat format() const { return format_; }
    uint8_t ier() const { return ier_; }
    uint8_t lcr() const { return lcr_; }
    uint32_t divisor() const { return div_; }
    size_t rx_level() const { return rx_.size(); }
    uint64_t overruns() const { return overruns_; }
    /// Back to its power-on state (the SoC was switched off).
    void reset();

private:
    size_t fifo_depth() const { return (fcr_ & 0x01) ? 16 : 1; }
    size_t trigger() const;
    void update_irq();
    void start_shift(uint8_t b);
    void arm_timeout();
    void reformat();

    Machine& m_;
    uint32_t base_;
    unsigned irq_line_;
    uint64_t clock_hz_;
    SerialLink* link_ = nullptr;

    uint8_t ier_ = 0, fcr_ = 0, lcr_ = SOC_UART_LCR_8N1, cfg2c_ = 0, cfg38_ = 0;
    uint32_t div_ = 4;
    LineFormat format_;  ///< what lcr_ and div_ give
    Nanos char_time_ = 0;
    std::deque<uint8_t> rx_;
    uint8_t rbr_last_ = 0;
    bool overrun_flag_ = false, error_flag_ = false;
    uint64_t overruns_ = 0;
    bool timeout_pending_ = false;
    EventQueue::Id timeout_event_ = 0;
    bool thr_full_ = false;
    uint8_t thr_ = 0;
    bool shifting_ = false;
};

}  // namespace sim
