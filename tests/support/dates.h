// SPDX-License-Identifier: MIT
// Calendar dates as seconds since 1970, the way the tests work out what the
// driver should make of the micom's clock: counted day by day, no formula
// shared with the driver's own conversion.
#pragma once

#include <cstdint>

#include "micom/micom_model.h"

namespace fptest {

/// Seconds since 1970-01-01 00:00:00 UTC of a date and time from 1970 on.
int64_t epoch_of(int year, int mon, int day, int hour, int min, int sec);
/// The same of the micom's date and time @t.
int64_t epoch_of(const micom::DateTime& t);

}  // namespace fptest
