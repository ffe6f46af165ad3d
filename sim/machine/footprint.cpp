// SPDX-License-Identifier: MIT
#include "footprint.h"

#include <fstream>
#include <string>

namespace sim {

HostFootprint host_footprint() {
    HostFootprint f;
    std::ifstream maps("/proc/self/maps");
    for (std::string line; std::getline(maps, line);)
        ++f.mappings;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            f.rss_kb = std::stol(line.substr(6));
    return f;
}

}  // namespace sim
