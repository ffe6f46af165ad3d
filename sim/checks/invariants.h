// SPDX-License-Identifier: MIT
// The invariants of the box that hold whatever the micom, the lines or a
// user program did: fpsim soak checks them after every step, the fuzz
// harnesses (tests/fuzz) after their operations and at the end of every
// input.  They look at the driver's state as a debugger would, through the
// loaded module's globals; their users get verdicts in words and never read
// that state themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "box/box.h"

namespace sim::checks {

/// What a check found: empty when the invariant holds, else what broke, in
/// words (a string is made only then).
using Finding = std::string;

/// The simulated kernel saw nothing of the "BUG" class.
Finding kernel_saw_no_bug(Box& box);

/// Local interrupts were never off longer than @bound; @why names what
/// allows that long.
Finding irqs_off_within(Box& box, Nanos bound, const char* why);

/// The longest stretch that local interrupts may stay off while the parser
/// reads what the micom sent on @link: the parser drains the UART while bytes
/// keep coming, so a chain of bytes each of which starts within the parser's
/// poll limit of the previous one's end may be read in one run.  The bound is
/// the longest such chain, plus the poll limit after its last byte, plus two
/// character times (@char_time) for the byte in flight and the register
/// accesses.
Nanos parser_irqs_off_bound(const SerialLink& link, Nanos char_time);

/// An ISP status word (@name, its value @v) holds 0 (idle), 1 (armed or
/// refused) or 6 (acknowledged).
Finding isp_status_word(int32_t v, const char* name);

/// The driver's words are in their ranges: every ISP status word (see
/// isp_status_word()), the pending ISP sync (0 or 1), the power state (0 or
/// 1), the rescue hand-shake's state (0 to 2) and its choice (0 to 3).
Finding driver_words_in_range(Box& box);

/// What user space believes held agrees with what the driver has pending:
/// no key is held unless it is the key of the driver's pending press (a key
/// held with nothing pending would repeat in every application until the
/// next press of it).
Finding held_keys_agree(Box& box);

/// The converse, that the key of a pending press is held, is the soak's
/// alone: the driver does not keep it where the front panel's power frame,
/// a whole press and release whatever is pending (frontpanel(4)), comes
/// while the remote's power key is pending.  User space then lets KEY_POWER
/// go, the driver still waits for the remote's release, and the remote's
/// repeats reach user space as repeats of a key that is up (the seeds
/// fuzz_key_decoder/front_power_while_power_held and
/// fuzz_frame_path/47ebb40f... hold the case).  The soak sends no frame of
/// the front panel.
Finding pending_press_held(Box& box);

/// Every key event user space read is followed at once by its sync.
Finding key_events_synced(Box& box);

/// What the RTC class says of its alarm is what the next power-off sends:
/// an alarm the class has on is the driver's pending wake-up time.
Finding rtc_alarm_agrees(Box& box);

/// Every invariant above that holds at any moment between two steps of a
/// box (the interrupts' bound, which depends on what was sent, aside): the
/// kernel's bugs first, then, while the module is loaded, the driver's
/// words, the RTC alarm, and, while its input device is registered, the
/// held keys (unless @compare_held_keys is false: the soak leaves them out
/// while the micom is in the middle of a press) and the syncs.  The first
/// that broke, or empty.
Finding box_state(Box& box, bool compare_held_keys = true);

/// The key code the driver's key map gives the key byte @key_byte now (0
/// while the module is not loaded).
unsigned key_code_of(Box& box, uint8_t key_byte);

/// Liveness, the verdict of a clean tap of the valid key byte @key_byte:
/// the key events user space read from the driver's input device since the
/// @from-th event are exactly the press and the release of @code (the code
/// the key map gave the byte before the tap).
Finding clean_tap_read(Box& box, size_t from, uint8_t key_byte, unsigned code);

/// How many events user space has read from the driver's input device (0
/// while none is registered).
size_t input_events_read(Box& box);

}  // namespace sim::checks
