// SPDX-License-Identifier: MIT
// micomflash's two builds, A and B, from one source: the name every loader
// of them (the simulator, the tests) uses.
#pragma once

namespace micomflash {

enum class Build { A, B };

inline const char* build_name(Build build) { return build == Build::A ? "A" : "B"; }

}  // namespace micomflash
