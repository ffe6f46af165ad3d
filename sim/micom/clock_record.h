// SPDX-License-Identifier: MIT
// The micom's real-time clock and the 8-byte packed-BCD clock record that the
// set-clock command, the wake-up payload and the 0xA8/0xD8 answers carry.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "micom_env.h"
#include "micom_model.h"

namespace micom::detail {

/// Seconds since 1970-01-01 00:00:00 (proleptic Gregorian, no time zone).
int64_t to_epoch(const DateTime& t);
DateTime from_epoch(int64_t seconds);

/// Record bytes 0-6 of @t (weekday 0x00, both century bits for years >= 2000)
/// and @byte7 as the last byte.
std::array<uint8_t, 8> encode_record(const DateTime& t, uint8_t byte7);

/// Decodes record bytes 0-6 (the weekday is ignored, the century comes from
/// bit 6 of the hour byte).  Empty when a field is not BCD or out of range:
/// the micom refuses such a record instead of guessing.
std::optional<DateTime> decode_record(const uint8_t* rec);

/// The micom's real-time clock: a date that runs on in the environment's time.
class RealTimeClock {
public:
    explicit RealTimeClock(MicomEnv& env);
    void set(const DateTime& t);
    DateTime now() const;
    int64_t epoch_now() const;
    /// Environment time at which the clock reaches second @epoch.
    Nanos instant_of(int64_t epoch) const;

private:
    MicomEnv& env_;
    int64_t base_epoch_;  ///< what the clock showed at base_at_
    Nanos base_at_;
};

}  // namespace micom::detail
