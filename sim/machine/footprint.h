// SPDX-License-Identifier: MIT
// The simulator's own memory, as the host kernel sees it: how long runs show
// that nothing accumulates (every context's thread and every module image
// goes away again, the box's records stay within their bounds).
#pragma once

namespace sim {

struct HostFootprint {
    long mappings = 0;  ///< lines of /proc/self/maps (0 when it cannot be read)
    long rss_kb = 0;    ///< VmRSS of /proc/self/status
};

HostFootprint host_footprint();

/// Whether the resident size follows what the process holds: under
/// AddressSanitizer a quarantine keeps freed memory back for a while.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kResidentSizeTracksHeap = false;
#else
inline constexpr bool kResidentSizeTracksHeap = true;
#endif

}  // namespace sim
