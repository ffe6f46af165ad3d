// SPDX-License-Identifier: MIT
// micomflash_expected: what a run of micomflash must print and do, for test
// scripts that run the real program elsewhere (the QEMU guest), from the same
// description the simulator's tests use (expected_run.cpp).
//
//   micomflash_expected output CHECKSUM IMAGE
//       the standard output of a good run whose first checksum answer is
//       CHECKSUM (hex) and whose image file is IMAGE
//   micomflash_expected pins a|b
//       the GPIO writes of the ISP entry and exit, one a line:
//       "entry|exit ADDRESS VALUE US", US being the sleeps the program
//       must make between the previous write of the same sequence and this
//       one (0 for the first of each)
//   micomflash_expected sleeps a|b
//       the microseconds a good run spends in the sleeps the program must make
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "expected_run.h"
#include "micom_model.h"

namespace {

int usage() {
    std::fputs("usage: micomflash_expected output CHECKSUM IMAGE | pins a|b | sleeps a|b\n", stderr);
    return 2;
}

// Microseconds of a "sleep N" or "usleep N" line, else 0.
unsigned long sleep_us(const std::string& call) {
    if (call.rfind("sleep ", 0) == 0) return std::stoul(call.substr(6)) * 1'000'000ul;
    if (call.rfind("usleep ", 0) == 0) return std::stoul(call.substr(7));
    return 0;
}

void print_pins(const char* name, const expected::Calls& calls) {
    unsigned long slept = 0;
    bool first = true;
    for (const std::string& call : calls) {
        unsigned addr = 0, value = 0;
        if (std::sscanf(call.c_str(), "gpio %x %x", &addr, &value) == 2) {
            std::printf("%s %05X %08X %lu\n", name, addr, value, first ? 0ul : slept);
            first = false;
            slept = 0;
        } else {
            slept += sleep_us(call);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "output") {
        std::ifstream in(argv[3], std::ios::binary);
        if (!in) return usage();
        const auto image = expected::padded_image(
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
        const auto first = static_cast<uint16_t>(std::strtoul(argv[2], nullptr, 16));
        std::fputs(expected::good_output(first, micom::flash_checksum(image.data(), image.size())).c_str(),
                   stdout);
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "pins") {
        const bool build_a = std::string(argv[2]) == "a";
        print_pins("entry", expected::isp_entry(build_a));
        print_pins("exit", expected::isp_exit(build_a));
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "sleeps") {
        unsigned long total = 0;
        for (const std::string& call : expected::good_run(std::string(argv[2]) == "a", expected::padded_image("")))
            total += sleep_us(call);
        std::printf("%lu\n", total);
        return 0;
    }
    return usage();
}
