// SPDX-License-Identifier: MIT
// A scripted stand-in for everything micomflash reaches on the box: the
// vendor libraries (llad, gbus with the GPIO block, RUA with the clock
// generator), /dev/micom with a micom behind it, /proc/enableisp through
// system(), the sleeps (virtual time) and standard output and error.
//
// The test executable defines the __wrap_<call> functions that the program's
// shared object calls; they all land here. Calls on anything but the micom
// device go to the C library.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fake {

// File descriptor handed out for /dev/micom.
constexpr int kMicomFd = 1042;

struct Event {
    uint64_t at_us;     // virtual time when the call was made
    std::string text;   // "gpio 10504 00040004", "usleep 150", ...
};

// What the box does; every field defaults to a healthy box.
struct Script {
    bool llad_opens = true;
    bool gbus_opens = true;
    int32_t rua_create_status = 6;
    int32_t clock_set_status = 6;    // property 4409
    int32_t clock_query_status = 6;  // property 4411
    int32_t clock_route_status = 6;  // property 4417
    bool micom_device_opens = true;
    bool micom_silent = false;        // never answers the sync
    bool ack_after_sync = true;       // false: every later step answers 1
    // One step answered with 1: the status request `nak_command` at its
    // `nak_occurrence`-th use (0-based) in the run.
    uint32_t nak_command = 0;
    int nak_occurrence = -1;
    // write() of the byte with this index (0-based) returns 0.
    int write_fails_at = -1;
};

struct Box {
    Script script;

    std::vector<Event> events;
    std::string out;  // standard output of the program
    std::string err;  // standard error of the program
    uint64_t now_us = 0;
    uint64_t clock_us = 0;  // what RMGetTimeInMicroSeconds answers

    // Pins 0..15 of the GPIO block.
    uint32_t gpio_direction = 0;
    uint32_t gpio_level = 0;

    // The micom.
    std::vector<uint8_t> flash;  // its 8 KiB flash
    std::vector<uint8_t> written;  // every data byte received, in order
    bool clock_divider_set = false;
    bool clock_routed = false;
    bool clock_pulse_seen = false;   // ISP clock pulsed low while in reset
    bool sync_received = false;      // sync byte arrived in the right state
    bool programmer_running = false;
    bool device_open = false;
    int32_t block = -1;
    int block_offset = 0;
    int32_t last_checksum = 0;
    int byte_index = 0;
    int status_requests[64] = {};

    void reset();
    void record(const std::string &text);
    // Events whose text starts with prefix.
    std::vector<Event> events_starting(const std::string &prefix) const;
    std::vector<std::string> texts() const;
    uint64_t time_of_first(const std::string &text) const;
    uint64_t time_of_last(const std::string &text) const;

    // Called by the wrappers.
    void gpio_write(uint32_t addr, uint32_t data);
    int micom_ioctl(unsigned long command, void *arg);
    long micom_write(const void *buf, unsigned long count);
    int32_t step_status(unsigned long command);
    bool pin_high(int pin) const { return (gpio_level >> pin) & 1u; }
};

// The one box all wrappers talk to.
Box &box();

// The micom's flash checksum (the same sum the programmer prints for its file).
uint16_t reference_checksum(const std::vector<uint8_t> &bytes);

// Name of an ioctl of /dev/micom, as the events show it.
std::string ioctl_name(unsigned long command);

} // namespace fake
