// SPDX-License-Identifier: MIT
// fpsim: the simulated set-top box on the command line.
#include <cstdio>
#include <cstring>
#include <string>

#include "box.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: fpsim demo\n");
    return 2;
}

void say(const char* what) { std::printf("\n== %s\n", what); }

int demo() {
    sim::Box box;
    box.micom().set_time(micom::DateTime{2026, 12, 7, 21, 30, 0});

    say("Boot: the box starts and the driver module loads (kernel log, virtual time)");
    int r = box.boot();
    std::printf("init_fp returned %d after %.6f s of virtual time\n", r, sim::seconds(box.now()));
    std::fputs(box.log().format().c_str(), stdout);

    say("What the driver registered");
    for (auto& name : box.procfs().names())
        std::printf("/proc/%s\n", name.c_str());
    if (box.chrdevs().registered(75))
        std::printf("/dev/micom: character device, major 75, minors 0-255\n");
    for (auto* dev : box.input().registered())
        std::printf("input device: \"%s\" (vendor %04x, product %04x, version %04x)\n", dev->name.c_str(),
                    dev->vendor, dev->product, dev->version);

    say("Frames the micom received from the driver");
    for (auto& f : box.micom().frames()) {
        std::printf("%10.6f  code %X, payload", sim::seconds(f.time), f.code);
        for (uint8_t b : f.payload)
            std::printf(" %02X", b);
        std::printf("\n");
    }

    say("Unload: the module stops and gives everything back");
    size_t from = box.log().lines().size();
    r = box.unload_module();
    std::printf("unload returned %d; still registered: %zu\n", r, box.leftovers().size());
    std::fputs(box.log().format(from).c_str(), stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    if (std::strcmp(argv[1], "demo") == 0)
        return demo();
    return usage();
}
