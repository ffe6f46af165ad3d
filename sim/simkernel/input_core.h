// SPDX-License-Identifier: MIT
// The input core of the simulated kernel, as the driver and user space meet
// it: devices with their capabilities and key-code table, and the core's
// event filtering (a press of a key already down and a release of a key
// already up are dropped, repeats pass, a report with nothing in it is not
// passed on).  What passes is what user space reads from the device.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"

namespace sim {

constexpr unsigned kEvSyn = 0, kEvKey = 1, kEvRep = 0x14;
constexpr unsigned kKeyMax = 0x2ff;

struct InputEvent {
    Nanos t;
    uint16_t type;
    uint16_t code;
    int32_t value;
};

class InputDevice {
public:
    std::string name;
    uint16_t bustype = 0, vendor = 0, product = 0, version = 0;
    std::bitset<0x20> evbit;
    std::bitset<kKeyMax + 1> keybit;
    std::bitset<kKeyMax + 1> key_down;
    void* keycode = nullptr;
    unsigned keycodesize = 0, keycodemax = 0;
    int rep_delay = 0, rep_period = 0;
    bool registered = false;
    bool soft_repeat = false;  ///< the core repeats held keys itself

private:
    // (here, in what was padding: the device's size and layout stay as they were)
    bool key_sync_broken_ = false;  ///< a key event was passed on without a sync right after it

public:

    /// input_event(): filters, batches until SYN_REPORT, then passes on.
    void event(Machine& m, unsigned type, unsigned code, int value);
    /// What user space has read from the device (events with their syncs).
    const std::vector<InputEvent>& received() const { return received_; }
    void clear_received() {
        received_.clear();
        key_sync_broken_ = false;
    }
    /// Whether every key event of received() is followed at once by its
    /// sync, kept as they come (asked after every step of a fuzz input).
    bool key_events_synced() const {
        return !key_sync_broken_ && (received_.empty() || received_.back().type != kEvKey);
    }
    /// EVIOCGKEYCODE: 0 or -22 (EINVAL).
    int get_keycode(unsigned scancode, unsigned* keycode) const;
    /// EVIOCSKEYCODE, with the core's key-bit bookkeeping; 0 or -22.
    int set_keycode(Machine& m, unsigned scancode, unsigned keycode);
    /// Keys that user space believes are held.
    std::vector<unsigned> held_keys() const;
    /// At unregistration: releases the keys still down.
    void release_all(Machine& m);

private:
    void pass(Machine& m, unsigned type, unsigned code, int value);
    void receive(const InputEvent& e);
    void flush(Machine& m);
    void start_soft_repeat(Machine& m, unsigned code);
    void repeat_tick(Machine& m);

    std::vector<InputEvent> batch_;
    std::vector<InputEvent> received_;
    EventQueue::Id repeat_timer_ = 0;
    unsigned repeat_key_ = 0;
};

class InputCore {
public:
    InputDevice* allocate();
    /// Releases a device that is not registered.
    void free(InputDevice* dev);
    int register_device(Machine& m, InputDevice* dev);
    void unregister(Machine& m, InputDevice* dev);
    /// Registered devices, in registration order.
    std::vector<InputDevice*> registered() const;
    /// The first of them, or null.
    InputDevice* first_registered() const;
    InputDevice* find(const std::string& name) const;
    /// Devices the core still holds (allocated and not freed).
    size_t allocated() const;
    /// The last device unregistered (kept for inspection), or null.
    InputDevice* last_unregistered() const { return retired_.empty() ? nullptr : retired_.back().get(); }
    /// Whether @dev is still there: allocated, or among the last kRetiredLimit unregistered.
    bool holds(const InputDevice* dev) const;
    static constexpr size_t kRetiredLimit = 16;
    void reset();

    bool fail_allocate = false;
    bool fail_register = false;

private:
    std::vector<std::unique_ptr<InputDevice>> devices_;
    std::vector<std::unique_ptr<InputDevice>> retired_;
};

}  // namespace sim
