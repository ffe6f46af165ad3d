// SPDX-License-Identifier: MIT
// Boot/unload pairs a second: a box is made, boots (the module is loaded and
// started), unloads the module and goes away, N times (default 200); once
// with the module mapped anew at each load, once with its load-time bytes
// restored.
//
//   bench_boot_unload [N]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "box/box.h"

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200;
    if (n <= 0) {
        std::fprintf(stderr, "usage: bench_boot_unload [N]\n");
        return 2;
    }
    for (bool restore : {false, true}) {
        const auto t0 = std::chrono::steady_clock::now();
        for (long i = 0; i < n; ++i) {
            sim::BoxConfig cfg;
            cfg.restore_module_image = restore;
            sim::Box box(cfg);
            if (box.boot() != 0 || box.kernel().unload_module() != 0) {
                std::fprintf(stderr, "bench_boot_unload: pair %ld failed\n", i);
                return 1;
            }
        }
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("boot/unload (%s): %ld pairs in %.3f s, %.0f pairs a second\n",
                    restore ? "image restored" : "image mapped", n, s, double(n) / s);
    }
    return 0;
}
