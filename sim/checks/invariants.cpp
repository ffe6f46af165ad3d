// SPDX-License-Identifier: MIT
#include "checks/invariants.h"

#include <cstdarg>
#include <cstdio>

#include "ir_vfd.h"
#include "uart.h"

namespace sim::checks {

namespace {

[[gnu::format(printf, 1, 2)]] Finding format(const char* fmt, ...) {
    va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    Finding s(size_t(std::vsnprintf(nullptr, 0, fmt, ap)), '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, again);
    va_end(again);
    va_end(ap);
    return s;
}

/// The driver's state, or null while the module is not loaded.
const fp_priv_t* driver(Box& box) { return static_cast<const fp_priv_t*>(box.kernel().module_symbol("fp_priv")); }

/// The driver's input device, or null while none is registered.
const InputDevice* driver_input(Box& box) { return box.kernel().input().first_registered(); }

}  // namespace

Finding kernel_saw_no_bug(Box& box) {
    if (!box.kernel().bugs().empty())
        return "the kernel saw: " + box.kernel().bugs().front();
    return {};
}

Finding irqs_off_within(Box& box, Nanos bound, const char* why) {
    const Nanos longest = box.machine().irqs_off_longest();
    if (longest > bound)
        return format("interrupts off for %.3f ms, more than the %.3f ms that %s allows", double(longest) / 1e6,
                      double(bound) / 1e6, why);
    return {};
}

Nanos parser_irqs_off_bound(const SerialLink& link, Nanos char_time) {
    const Nanos poll = Nanos(UART_POLL_LIMIT_US) * 1000;
    Nanos longest = 0, chain_start = 0, prev_end = 0;
    bool any = false;
    for (const auto& w : link.log()) {
        if (w.dir != Direction::MicomToHost)
            continue;
        if (!any || w.start > prev_end + poll)
            chain_start = w.start;
        any = true;
        prev_end = w.end;
        if (prev_end - chain_start > longest)
            longest = prev_end - chain_start;
    }
    return longest + poll + 2 * char_time;
}

Finding isp_status_word(int32_t v, const char* name) {
    if (v != 0 && v != 1 && v != 6)
        return format("%s is %d, not 0, 1 or 6", name, v);
    return {};
}

Finding driver_words_in_range(Box& box) {
    const fp_priv_t* p = driver(box);
    if (!p)
        return {};
#define FP_CHECK_WORD(f)                                   \
    if (Finding found = isp_status_word(p->f, #f); !found.empty()) \
        return found;
    FP_CHECK_WORD(isp_checksum_state)
    FP_CHECK_WORD(isp_erase_state)
    FP_CHECK_WORD(isp_erase_verify_state)
    FP_CHECK_WORD(isp_program_state)
    FP_CHECK_WORD(isp_byte_state)
    FP_CHECK_WORD(isp_verify_state)
    FP_CHECK_WORD(isp_std_reset_state)
    FP_CHECK_WORD(isp_std_freq_state)
    FP_CHECK_WORD(isp_std_checksum_state)
    FP_CHECK_WORD(isp_std_erase_state)
    FP_CHECK_WORD(isp_std_program_state)
#undef FP_CHECK_WORD
    if (p->isp_sync_pending != 0 && p->isp_sync_pending != 1)
        return format("isp_sync_pending is %d", p->isp_sync_pending);
    if (p->power_state != 0 && p->power_state != 1)
        return format("power_state is %d", p->power_state);
    if (p->rescue_state < 0 || p->rescue_state > 2)
        return format("rescue_state is %d", p->rescue_state);
    if (p->rescue_choice < 0 || p->rescue_choice > 3)
        return format("rescue_choice is %d", p->rescue_choice);
    return {};
}

Finding held_keys_agree(Box& box) {
    const fp_priv_t* p = driver(box);
    const InputDevice* dev = driver_input(box);
    if (!p || !dev)
        return {};
    // (the set bits of key_down, as held_keys() gives them, without a copy)
    const auto& down = dev->key_down;
    if (p->last_key == 0) {
        if (down.any())
            return format("no press pending, but user space holds key %u", unsigned(down._Find_first()));
        return {};
    }
    const unsigned pending = p->keymap[p->last_key >> 8];
    for (size_t k = down._Find_first(); k < down.size(); k = down._Find_next(k))
        if (k != pending)
            return format("press %04X pending (key %u), but user space holds key %u", p->last_key, pending,
                          unsigned(k));
    return {};
}

Finding pending_press_held(Box& box) {
    const fp_priv_t* p = driver(box);
    const InputDevice* dev = driver_input(box);
    if (!p || !dev || p->last_key == 0)
        return {};
    const unsigned pending = p->keymap[p->last_key >> 8];
    if (pending >= dev->key_down.size() || !dev->key_down.test(pending))
        return format("press %04X pending (key %u), but user space does not hold it", p->last_key, pending);
    return {};
}

Finding key_events_synced(Box& box) {
    const InputDevice* dev = driver_input(box);
    if (!dev)
        return {};
    if (dev->key_events_synced())
        return {};
    const auto& ev = dev->received();  // (which one, in words)
    for (size_t i = 0; i < ev.size(); ++i)
        if (ev[i].type == kEvKey && (i + 1 >= ev.size() || ev[i + 1].type != kEvSyn || ev[i + 1].code != 0))
            return format("key event %u/%d without its sync", unsigned(ev[i].code), int(ev[i].value));
    return {};
}

Finding rtc_alarm_agrees(Box& box) {
    const fp_priv_t* p = driver(box);
    if (!p)
        return {};
    const RtcDevice* rtc = box.kernel().rtc().first_registered();
    if (!rtc)
        return "the RTC device is not registered";
    if (rtc->aie_enabled && p->alarm_pending != 1)
        return "the RTC class has its alarm on, but the power-off would send no wake-up time";
    return {};
}

Finding box_state(Box& box, bool compare_held_keys) {
    for (Finding (*check)(Box&) :
         {kernel_saw_no_bug, driver_words_in_range, rtc_alarm_agrees, held_keys_agree, key_events_synced}) {
        if (check == held_keys_agree && !compare_held_keys)
            continue;
        if (Finding found = check(box); !found.empty())
            return found;
    }
    return {};
}

unsigned key_code_of(Box& box, uint8_t key_byte) {
    const fp_priv_t* p = driver(box);
    return p ? p->keymap[key_byte] : 0;
}

Finding clean_tap_read(Box& box, size_t from, uint8_t key_byte, unsigned code) {
    const InputDevice* dev = driver_input(box);
    if (!dev)
        return format("a clean tap of key byte %02X: no input device", key_byte);
    const auto& ev = dev->received();
    std::string got;
    for (size_t i = from; i < ev.size(); ++i)
        if (ev[i].type == kEvKey)
            got += " " + std::to_string(ev[i].code) + "/" + std::to_string(ev[i].value);
    const std::string want = " " + std::to_string(code) + "/1 " + std::to_string(code) + "/0";
    if (got != want)
        return format("a clean tap of key byte %02X after a quiet line: user space read%s, not%s", key_byte,
                      got.empty() ? " nothing" : got.c_str(), want.c_str());
    return {};
}

size_t input_events_read(Box& box) {
    const InputDevice* dev = driver_input(box);
    return dev ? dev->received().size() : 0;
}

}  // namespace sim::checks
