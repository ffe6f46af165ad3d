// SPDX-License-Identifier: MIT
#include "fake_box.h"

#include <cstdio>

#include "micom_ioctl.h"

namespace fake {

namespace {

constexpr uint32_t kGpioDirection = 0x10500;
constexpr uint32_t kGpioData = 0x10504;
constexpr int kClockLinePin = 2;
constexpr int kClockEnablePin = 3;  // low = 8 MHz on
constexpr int kPowerPin = 4;        // low = powered
constexpr int kResetPin = 5;        // low = held in reset

constexpr uint8_t kOldFirmwareByte = 0x5A;

std::string hex(uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*x", digits, value);
    return text;
}

} // namespace

Box &box()
{
    static Box the_box;
    return the_box;
}

uint16_t reference_checksum(const std::vector<uint8_t> &bytes)
{
    unsigned sum = 0;
    for (uint8_t b : bytes) {
        const bool carry = sum % 2 == 1;
        sum = (sum / 2) ^ b;
        if (carry)
            sum ^= 0x1B00;
    }
    return static_cast<uint16_t>(sum);
}

std::string ioctl_name(unsigned long command)
{
    switch (command) {
    case MICOM_ISP_SYNC: return "MICOM_ISP_SYNC";
    case MICOM_ISP_GET_SYNC: return "MICOM_ISP_GET_SYNC";
    case MICOM_ISP_CHECKSUM: return "MICOM_ISP_CHECKSUM";
    case MICOM_ISP_CHECKSUM_STATUS: return "MICOM_ISP_CHECKSUM_STATUS";
    case MICOM_ISP_CHECKSUM_VALUE: return "MICOM_ISP_CHECKSUM_VALUE";
    case MICOM_ISP_CHIP_ERASE: return "MICOM_ISP_CHIP_ERASE";
    case MICOM_ISP_CHIP_ERASE_STATUS: return "MICOM_ISP_CHIP_ERASE_STATUS";
    case MICOM_ISP_ERASE_VERIFY: return "MICOM_ISP_ERASE_VERIFY";
    case MICOM_ISP_ERASE_VERIFY_STATUS: return "MICOM_ISP_ERASE_VERIFY_STATUS";
    case MICOM_ISP_BLOCK_PROGRAM: return "MICOM_ISP_BLOCK_PROGRAM";
    case MICOM_ISP_BLOCK_PROGRAM_STATUS: return "MICOM_ISP_BLOCK_PROGRAM_STATUS";
    case MICOM_ISP_BYTE_STATUS: return "MICOM_ISP_BYTE_STATUS";
    case MICOM_ISP_BLOCK_VERIFY: return "MICOM_ISP_BLOCK_VERIFY";
    case MICOM_ISP_BLOCK_VERIFY_STATUS: return "MICOM_ISP_BLOCK_VERIFY_STATUS";
    default: return "ioctl-" + hex(static_cast<uint32_t>(command), 8);
    }
}

void Box::reset()
{
    *this = Box{};
    flash.assign(8192, kOldFirmwareByte);
}

void Box::record(const std::string &text)
{
    events.push_back({now_us, text});
}

std::vector<Event> Box::events_starting(const std::string &prefix) const
{
    std::vector<Event> found;
    for (const Event &e : events)
        if (e.text.rfind(prefix, 0) == 0)
            found.push_back(e);
    return found;
}

std::vector<std::string> Box::texts() const
{
    std::vector<std::string> all;
    all.reserve(events.size());
    for (const Event &e : events)
        all.push_back(e.text);
    return all;
}

uint64_t Box::time_of_first(const std::string &text) const
{
    for (const Event &e : events)
        if (e.text == text)
            return e.at_us;
    return UINT64_MAX;
}

uint64_t Box::time_of_last(const std::string &text) const
{
    for (auto it = events.rbegin(); it != events.rend(); ++it)
        if (it->text == text)
            return it->at_us;
    return UINT64_MAX;
}

void Box::gpio_write(uint32_t addr, uint32_t data)
{
    record("gpio " + hex(addr, 5) + " " + hex(data, 8));
    const uint32_t mask = data >> 16;
    const uint32_t values = data & 0xFFFFu;
    if (addr == kGpioDirection) {
        gpio_direction = (gpio_direction & ~mask) | (values & mask);
        return;
    }
    if (addr != kGpioData)
        return;
    const bool clock_line_was_high = pin_high(kClockLinePin);
    gpio_level = (gpio_level & ~mask) | (values & mask);

    // The micom: the flash programmer is selected by a low pulse on the ISP
    // clock line and the sync byte while powered and held in reset; it runs
    // once reset is released with the 8 MHz clock present.
    const bool powered = !pin_high(kPowerPin);
    const bool in_reset = !pin_high(kResetPin);
    if (!powered) {
        clock_pulse_seen = sync_received = programmer_running = false;
    } else if (in_reset) {
        programmer_running = false;
        if (clock_line_was_high && !pin_high(kClockLinePin))
            clock_pulse_seen = true;
    } else if (sync_received && !pin_high(kClockEnablePin) &&
               clock_divider_set && clock_routed) {
        programmer_running = true;
    }
}

int32_t Box::step_status(unsigned long command)
{
    const int n = status_requests[command & 0x3F]++;
    if (!programmer_running || !script.ack_after_sync)
        return MICOM_ISP_ARMED;
    if (command == script.nak_command && n == script.nak_occurrence)
        return MICOM_ISP_ARMED;
    return MICOM_ISP_ACK;
}

int Box::micom_ioctl(unsigned long command, void *arg)
{
    auto *word = static_cast<int32_t *>(arg);
    std::string text = "ioctl " + ioctl_name(command);
    if (command == MICOM_ISP_BLOCK_PROGRAM || command == MICOM_ISP_BLOCK_VERIFY)
        text += " " + std::to_string(*word);
    if (!device_open)
        text += " (device closed)";
    record(text);

    switch (command) {
    case MICOM_ISP_SYNC:
        if (!script.micom_silent && !pin_high(kPowerPin) &&
            !pin_high(kResetPin) && clock_pulse_seen && pin_high(kClockLinePin))
            sync_received = true;
        break;
    case MICOM_ISP_GET_SYNC:
        *word = sync_received && programmer_running ? 0 : 1;
        break;
    case MICOM_ISP_CHECKSUM_STATUS:
        *word = step_status(command);
        if (*word == MICOM_ISP_ACK)
            last_checksum = reference_checksum(flash);
        break;
    case MICOM_ISP_CHECKSUM_VALUE:
        *word = last_checksum;
        break;
    case MICOM_ISP_CHIP_ERASE_STATUS:
        *word = step_status(command);
        if (*word == MICOM_ISP_ACK)
            flash.assign(flash.size(), 0xFF);
        break;
    case MICOM_ISP_ERASE_VERIFY_STATUS:
        *word = step_status(command);
        for (uint8_t b : flash)
            if (b != 0xFF)
                *word = MICOM_ISP_ARMED;
        break;
    case MICOM_ISP_BLOCK_PROGRAM:
        block = *word;
        block_offset = 0;
        break;
    case MICOM_ISP_BLOCK_VERIFY:
        if (*word != block || block_offset != 256)
            block = -1;  // the verify fails
        break;
    case MICOM_ISP_BLOCK_PROGRAM_STATUS:
    case MICOM_ISP_BYTE_STATUS:
        *word = step_status(command);
        break;
    case MICOM_ISP_BLOCK_VERIFY_STATUS:
        *word = step_status(command);
        if (block < 0)
            *word = MICOM_ISP_ARMED;
        break;
    default:
        break;
    }
    return 0;
}

long Box::micom_write(const void *buf, unsigned long count)
{
    const auto *bytes = static_cast<const uint8_t *>(buf);
    std::string text = "write";
    for (unsigned long i = 0; i < count; ++i)
        text += " " + hex(bytes[i], 2);
    if (byte_index == script.write_fails_at) {
        record(text + " -> 0");
        ++byte_index;
        return 0;
    }
    record(text);
    for (unsigned long i = 0; i < count; ++i) {
        written.push_back(bytes[i]);
        if (programmer_running && block >= 0 && block < 32 && block_offset < 256)
            flash[block * 256 + block_offset] &= bytes[i];  // NOR: clears bits only
        ++block_offset;
    }
    ++byte_index;
    return static_cast<long>(count);
}

} // namespace fake
