// SPDX-License-Identifier: MIT
#include "input_core.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {

void InputDevice::event(Machine& m, unsigned type, unsigned code, int value) {
    if (type >= evbit.size() || !evbit.test(type))
        return;  // an event type the device did not announce
    if (type == kEvSyn) {
        if (code == 0)
            flush(m);
        return;
    }
    if (type == kEvKey) {
        if (code > kKeyMax || !keybit.test(code))
            return;
        if (value == 2) {
            batch_.push_back(InputEvent{m.now(), uint16_t(type), uint16_t(code), value});
            return;  // a repeat bypasses the key state
        }
        if (key_down.test(code) == (value != 0))
            return;  // a press of a key already down, or a release of a key already up
        key_down.flip(code);
        batch_.push_back(InputEvent{m.now(), uint16_t(type), uint16_t(code), value});
        if (soft_repeat) {
            if (value)
                start_soft_repeat(m, code);
            else if (code == repeat_key_) {
                m.events().cancel(repeat_timer_);
                repeat_timer_ = 0;
            }
        }
        return;
    }
    batch_.push_back(InputEvent{m.now(), uint16_t(type), uint16_t(code), value});
}

void InputDevice::flush(Machine& m) {
    if (batch_.empty())
        return;  // an empty report is not passed on
    for (auto& e : batch_)
        receive(e);
    receive(InputEvent{m.now(), uint16_t(kEvSyn), 0, 0});
    batch_.clear();
}

void InputDevice::pass(Machine& m, unsigned type, unsigned code, int value) {
    receive(InputEvent{m.now(), uint16_t(type), uint16_t(code), value});
}

void InputDevice::receive(const InputEvent& e) {
    if (!received_.empty() && received_.back().type == kEvKey && (e.type != kEvSyn || e.code != 0))
        key_sync_broken_ = true;
    received_.push_back(e);
}

void InputDevice::start_soft_repeat(Machine& m, unsigned code) {
    m.events().cancel(repeat_timer_);
    repeat_key_ = code;
    repeat_timer_ = m.events().at(m.now() + Nanos(rep_delay) * 1'000'000ull,
                                  [this, &m] { repeat_tick(m); });
}

void InputDevice::repeat_tick(Machine& m) {
    repeat_timer_ = 0;
    if (!registered || !key_down.test(repeat_key_))
        return;
    pass(m, kEvKey, repeat_key_, 2);
    pass(m, kEvSyn, 0, 0);
    repeat_timer_ = m.events().at(m.now() + Nanos(rep_period) * 1'000'000ull,
                                  [this, &m] { repeat_tick(m); });
}

static unsigned table_get(const void* table, unsigned size, unsigned i) {
    switch (size) {
    case 1: return static_cast<const uint8_t*>(table)[i];
    case 2: return static_cast<const uint16_t*>(table)[i];
    default: return static_cast<const uint32_t*>(table)[i];
    }
}

static void table_set(void* table, unsigned size, unsigned i, unsigned v) {
    switch (size) {
    case 1: static_cast<uint8_t*>(table)[i] = uint8_t(v); break;
    case 2: static_cast<uint16_t*>(table)[i] = uint16_t(v); break;
    default: static_cast<uint32_t*>(table)[i] = v; break;
    }
}

int InputDevice::get_keycode(unsigned scancode, unsigned* code) const {
    if (!keycode || scancode >= keycodemax)
        return -EINVAL;
    *code = table_get(keycode, keycodesize, scancode);
    return 0;
}

int InputDevice::set_keycode(Machine& m, unsigned scancode, unsigned code) {
    if (!keycode || scancode >= keycodemax || code > kKeyMax)
        return -EINVAL;
    if (keycodesize < sizeof(code) && (code >> (keycodesize * 8)))
        return -EINVAL;
    unsigned old = table_get(keycode, keycodesize, scancode);
    table_set(keycode, keycodesize, scancode, code);
    keybit.reset(old);
    keybit.set(code);
    for (unsigned i = 0; i < keycodemax; ++i)
        if (table_get(keycode, keycodesize, i) == old) {
            keybit.set(old);
            break;
        }
    keybit.reset(0);  // KEY_RESERVED never gets enabled
    // a held key that is no longer in the map is let go
    if (evbit.test(kEvKey) && !keybit.test(old) && key_down.test(old)) {
        key_down.reset(old);
        pass(m, kEvKey, old, 0);
        pass(m, kEvSyn, 0, 0);
    }
    return 0;
}

std::vector<unsigned> InputDevice::held_keys() const {
    std::vector<unsigned> v;
    // (asked after every step of a fuzz input: the set bits only)
    for (size_t i = key_down._Find_first(); i < key_down.size(); i = key_down._Find_next(i))
        v.push_back(unsigned(i));
    return v;
}

void InputDevice::release_all(Machine& m) {
    bool any = false;
    for (unsigned i = 0; i <= kKeyMax && key_down.any(); ++i)
        if (key_down.test(i)) {
            key_down.reset(i);
            pass(m, kEvKey, i, 0);
            any = true;
        }
    if (any)
        pass(m, kEvSyn, 0, 0);
    m.events().cancel(repeat_timer_);
    repeat_timer_ = 0;
}

InputDevice* InputCore::allocate() {
    if (fail_allocate)
        return nullptr;
    devices_.push_back(std::make_unique<InputDevice>());
    return devices_.back().get();
}

void InputCore::free(InputDevice* dev) {
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [dev](const auto& p) { return p.get() == dev; });
    if (it != devices_.end())
        devices_.erase(it);
}

int InputCore::register_device(Machine& m, InputDevice* dev) {
    (void)m;
    if (fail_register)
        return -ENOMEM;
    dev->evbit.set(kEvSyn);  // every device reports synchronisation events
    // Repeat values set before registration leave repeating to the driver.
    if (dev->evbit.test(kEvRep) && !dev->rep_delay && !dev->rep_period) {
        dev->soft_repeat = true;
        dev->rep_delay = 250;
        dev->rep_period = 33;
    }
    dev->registered = true;
    return 0;
}

void InputCore::unregister(Machine& m, InputDevice* dev) {
    auto it = std::find_if(devices_.begin(), devices_.end(),
                           [dev](const auto& p) { return p.get() == dev; });
    if (it == devices_.end() || !dev->registered)
        return;
    dev->release_all(m);
    dev->registered = false;
    dev->keycode = nullptr;  // the table belongs to the module
    if (retired_.size() >= kRetiredLimit)
        retired_.erase(retired_.begin());
    retired_.push_back(std::move(*it));
    devices_.erase(it);
}

bool InputCore::holds(const InputDevice* dev) const {
    auto is = [dev](const auto& p) { return p.get() == dev; };
    return std::any_of(devices_.begin(), devices_.end(), is) || std::any_of(retired_.begin(), retired_.end(), is);
}

std::vector<InputDevice*> InputCore::registered() const {
    std::vector<InputDevice*> v;
    for (auto& d : devices_)
        if (d->registered)
            v.push_back(d.get());
    return v;
}

InputDevice* InputCore::first_registered() const {
    for (auto& d : devices_)
        if (d->registered)
            return d.get();
    return nullptr;
}

InputDevice* InputCore::find(const std::string& name) const {
    for (auto& d : devices_)
        if (d->registered && d->name == name)
            return d.get();
    return nullptr;
}

size_t InputCore::allocated() const {
    return devices_.size();
}

void InputCore::reset() {
    devices_.clear();
}

}  // namespace sim
