// SPDX-License-Identifier: MIT
#include "soc/soc.h"

#include <cstdio>

#include "machine/bounded_log.h"
#include "machine/box_heap.h"
#include "soc_map.h"

namespace sim {

namespace {

constexpr uint32_t kUart0 = FP_UART_BASE, kUart1 = FP_UART_ALT_BASE;

// What the records keep at least: the register writes, and the bytes of each
// line (the ISP link's whole flash session, some 50,000 bytes, is kept).
constexpr size_t kRegWriteLimit = 16384;
constexpr size_t kPrimaryLogLimit = 16384, kIspLogLimit = 65536;

}  // namespace

Soc::Soc(Machine& m, const SocConfig& cfg) : m_(m), cfg_(cfg) {
    // divisor 4 gives the configured line speed
    const uint64_t uart_clock = uint64_t(cfg_.baud) * 16 * 4;
    primary_ = std::make_unique<SerialLink>(m_, "primary", cfg_.seed * 2 + 1, kPrimaryLogLimit);
    isp_ = std::make_unique<SerialLink>(m_, "isp", cfg_.seed * 2 + 2, kIspLogLimit);
    primary_->micom_format = LineFormat{cfg_.baud, 8, 'N', 1};
    isp_->micom_format = LineFormat{cfg_.baud, 8, 'E', 1};
    uart0_ = std::make_unique<Uart>(m_, kUart0, FP_IRQ, uart_clock);
    uart1_ = std::make_unique<Uart>(m_, kUart1, FP_ISP_IRQ, uart_clock);
    uart0_->attach(primary_.get());
    uart1_->attach(isp_.get());
}

Soc::~Soc() = default;

uint32_t Soc::read(uint32_t addr) {
    m_.busy_wait(cfg_.reg_access_ns);
    if (addr >= kUart0 && addr < kUart0 + Uart::kBlockSize)
        return uart0_->read(addr - kUart0);
    if (addr >= kUart1 && addr < kUart1 + Uart::kBlockSize)
        return uart1_->read(addr - kUart1);
    if (addr == Gpio::kDirAddr || addr == Gpio::kDataAddr)
        return gpio_.read(addr);
    char msg[64];
    std::snprintf(msg, sizeof msg, "bus error reading %05X", addr);
    if (on_bus_error)
        on_bus_error(msg);
    return 0;
}

bool Soc::read_has_side_effects(uint32_t addr) const {
    return addr == kUart0 + Uart::RBR || addr == kUart1 + Uart::RBR;
}

void Soc::write(uint32_t addr, uint32_t value, bool via_gbus) {
    if (reg_writes_.size() == reg_writes_.capacity())
        make_room_bounded(reg_writes_, kRegWriteLimit, !box_heap::on());  // (bounded_log.h)
    append_bounded(reg_writes_, RegWrite{m_.now(), addr, value, via_gbus}, kRegWriteLimit);
    m_.busy_wait(cfg_.reg_access_ns);
    if (addr >= kUart0 && addr < kUart0 + Uart::kBlockSize)
        return uart0_->write(addr - kUart0, value);
    if (addr >= kUart1 && addr < kUart1 + Uart::kBlockSize)
        return uart1_->write(addr - kUart1, value);
    if (addr == Gpio::kDirAddr || addr == Gpio::kDataAddr)
        return gpio_.write(m_.now(), addr, value);
    char msg[64];
    std::snprintf(msg, sizeof msg, "bus error writing %05X", addr);
    if (on_bus_error)
        on_bus_error(msg);
}

void Soc::power_lost() {
    uart0_->reset();
    uart1_->reset();
    gpio_.reset();
}

}  // namespace sim
