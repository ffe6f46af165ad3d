// SPDX-License-Identifier: MIT
#include "checks/key_table.h"

#include <array>

#include "key_map.h"

namespace sim::checks {

namespace {

constexpr auto kDefaultKeys = [] {
    std::array<DefaultKey, fp_default_key_count> keys{};
    for (int i = 0; i < fp_default_key_count; ++i)
        keys[size_t(i)] = DefaultKey{fp_default_keys[i].key_byte, fp_default_keys[i].code};
    return keys;
}();

}  // namespace

std::span<const DefaultKey> default_keys() { return kDefaultKeys; }

}  // namespace sim::checks
