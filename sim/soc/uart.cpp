// SPDX-License-Identifier: MIT
#include "uart.h"

namespace sim {

Uart::Uart(Machine& m, uint32_t base, unsigned irq_line, uint64_t uart_clock_hz)
    : m_(m), base_(base), irq_line_(irq_line), clock_hz_(uart_clock_hz) {
    reformat();
}

void Uart::attach(SerialLink* link) {
    link_ = link;
    link->host_format = [this] { return format(); };
    link->deliver_to_host = [this](uint8_t b, bool error) { receive(b, error); };
}

void Uart::reset() {
    ier_ = fcr_ = 0;
    lcr_ = SOC_UART_LCR_8N1;
    cfg2c_ = cfg38_ = 0;
    div_ = 4;
    reformat();
    rx_.clear();
    overrun_flag_ = error_flag_ = false;
    timeout_pending_ = false;
    m_.events().cancel(timeout_event_);
    timeout_event_ = 0;
    thr_full_ = shifting_ = false;
    update_irq();
}

// The line format follows the line control and divisor registers; it is
// asked for at every byte, so it is worked out when they change.
void Uart::reformat() {
    LineFormat f;
    f.baud = uint32_t(clock_hz_ / (16ull * (div_ ? div_ : 1)));
    f.data_bits = uint8_t(5 + (lcr_ & 0x03));
    f.stop_bits = (lcr_ & 0x04) ? 2 : 1;
    f.parity = (lcr_ & 0x08) ? ((lcr_ & 0x10) ? 'E' : 'O') : 'N';
    format_ = f;
    char_time_ = f.char_time();
}

size_t Uart::trigger() const {
    if (!(fcr_ & 0x01))
        return 1;
    static constexpr size_t levels[4] = {1, 4, 8, 14};
    return levels[(fcr_ >> 6) & 3];
}

void Uart::update_irq() {
    bool rx_irq = (ier_ & SOC_UART_IER_RDI) && !rx_.empty() && (rx_.size() >= trigger() || timeout_pending_);
    m_.set_irq_line(irq_line_, rx_irq);
}

// A receive FIFO below its trigger level raises the interrupt anyway once no
// byte has arrived or been read for four character times.
void Uart::arm_timeout() {
    timeout_pending_ = false;
    if (rx_.empty()) {
        m_.events().cancel(timeout_event_);
        timeout_event_ = 0;
        return;
    }
    // (every byte received moves it: the pending one is moved, not remade)
    const Nanos due = m_.now() + 4 * char_time_;
    if (m_.events().reschedule(timeout_event_, due))
        return;
    timeout_event_ = m_.events().at(due, [this] {
        timeout_event_ = 0;
        timeout_pending_ = !rx_.empty();
        update_irq();
    });
}

void Uart::receive(uint8_t b, bool error) {
    if (rx_.size() >= fifo_depth()) {
        overrun_flag_ = true;  // the FIFO is full: this byte is lost
        ++overruns_;
    } else {
        rx_.push_back(b);
        error_flag_ |= error;
    }
    arm_timeout();
    update_irq();
}

uint32_t Uart::read(uint32_t off) {
    switch (off) {
    case RBR:
        if (!rx_.empty()) {
            rbr_last_ = rx_.front();
            rx_.pop_front();
            arm_timeout();
            update_irq();
        }
        return rbr_last_;  // an empty FIFO gives the last byte again
    case IER:
        return ier_;
    case LCR:
        return lcr_;
    case LSR: {
        uint32_t v = 0;
        if (!rx_.empty())
            v |= SOC_UART_LSR_DR;
        if (overrun_flag_)
            v |= 0x02;
        if (error_flag_)
            v |= 0x04;
        if (!thr_full_)
            v |= SOC_UART_LSR_THRE;
        if (!thr_full_ && !shifting_)
            v |= 0x40;
        overrun_flag_ = error_flag_ = false;  // reading the status clears the error bits
        return v;
    }
    case CLKDIV:
        return div_;
    case CFG2C:
        return cfg2c_;
    case CFG38:
        return cfg38_;
    default:
        return 0;
    }
}

void Uart::start_shift(uint8_t b) {
    shifting_ = true;
    const LineFormat f = format();
    if (link_)
        link_->host_send(b, f);
    m_.events().at(m_.now() + f.char_time(), [this] {
        shifting_ = false;
        if (thr_full_) {
            thr_full_ = false;
            start_shift(thr_);
        }
    });
}

void Uart::write(uint32_t off, uint32_t value) {
    const uint8_t v = uint8_t(value);
    switch (off) {
    case THR:
        if (!shifting_) {
            start_shift(v);
        } else {
            thr_ = v;  // a byte written while the register is full replaces it
            thr_full_ = true;
        }
        break;
    case IER:
        ier_ = v & 0x0F;
        update_irq();
        break;
    case FCR:
        fcr_ = v;
        if (v & 0x02) {
            rx_.clear();
            arm_timeout();
        }
        if (v & 0x04)
            thr_full_ = false;
        update_irq();
        break;
    case LCR:
        lcr_ = v;
        reformat();
        break;
    case CLKDIV:
        div_ = value;
        reformat();
        break;
    case CFG2C:
        cfg2c_ = v;
        break;
    case CFG38:
        cfg38_ = v;
        break;
    default:
        break;
    }
}

}  // namespace sim
