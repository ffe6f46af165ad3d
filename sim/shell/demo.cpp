// SPDX-License-Identifier: MIT
// The guided tour of `fpsim demo` (what `make demo` runs): each step says in
// one line what it shows, then types shell commands at the box, so that a
// newcomer sees both the box and the commands to drive it.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "micom/micom_model.h"
#include "tool.h"
#include "vcd_writer.h"

namespace fpsim {

namespace {

struct Step {
    const char* says;
    std::vector<std::string> commands;
};

/// Types @line at the shell; false when the command failed (said on stderr).
bool type(Shell& shell, const std::string& line) {
    std::printf("fpsim> %s\n", line.c_str());
    std::fflush(stdout);
    auto c = parse_line(line, 0);
    return !c || shell.run(*c);
}

/// A firmware image of 8192 bytes: a text banner, then bytes from a fixed
/// generator, the last block left erased.
std::vector<uint8_t> demo_image() {
    std::vector<uint8_t> image(8192, 0xFF);
    const std::string banner = "fpsim demo firmware for the front-panel micom, build 1";
    uint32_t x = 0x1234567;
    for (size_t i = 0; i < 8192 - 256; ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = i < banner.size() ? uint8_t(banner[i]) : uint8_t(x >> 16);
    }
    return image;
}

}  // namespace

int run_demo(const ToolOptions& options, const std::string& out_dir) {
    // the files are written after the tour: a folder they cannot go into
    // is said before it starts
    const std::string image_path = out_dir + "/fpsim-demo-image.bin";
    const std::string vcd_path = out_dir + "/fpsim-demo-flash.vcd";
    struct stat st {};
    int e = 0;
    if (stat(out_dir.c_str(), &st) != 0)
        e = errno;
    else if (!S_ISDIR(st.st_mode))
        e = ENOTDIR;
    else if (access(out_dir.c_str(), W_OK) != 0)
        e = errno;
    if (e) {
        std::fprintf(stderr, "fpsim: demo: cannot write %s: %s\n", image_path.c_str(), std::strerror(e));
        return 1;
    }
    Shell shell(options);
    const std::vector<Step> steps = {
        {"Boot: the micom's clock is set, the box switches on and the driver loads; its kernel log",
         {"micom time 2026-12-07 21:30:00", "boot", "log"}},
        {"/proc/model: the model the driver detected",
         {"cat /proc/model"}},
        {"The kernel clock follows the micom: each time answer sets it",
         {"wait 2s", "date", "micom time 2027-01-01 08:00:00", "call get_RTC_time", "date"}},
        {"Remote-control presses, as the input events user space reads (a long press repeats)",
         {"press KEY_UP", "press KEY_OK 400ms", "events"}},
        {"An LED change: /proc/led mode 1, the frames it sent and the micom's view",
         {"echo 1 > /proc/led", "wire", "micom show"}},
        {"The rescue hand-shake: a read of /proc/rescue waits for two key presses (KEY_VOLUMEUP, KEY_1)",
         {"after 300ms press KEY_VOLUMEUP", "after 900ms press KEY_1", "cat /proc/rescue", "wait 200ms", "events"}},
        {"Power-off with a wake-up time: the micom keeps it, switches the box off and on again at that time",
         {"call set_ALARM_time 20270101080100", "poweroff", "micom show", "wait 60s", "micom show",
          "log", "call get_ALARM_status", "date"}},
    };
    shell.skip_shown();
    for (const auto& step : steps) {
        std::printf("\n== %s\n", step.says);
        try {
            for (const auto& line : step.commands)
                if (!type(shell, line))
                    return 1;
        } catch (const ParseError& e) {
            std::fprintf(stderr, "fpsim: demo: %s\n", e.message.c_str());
            return 2;
        }
        shell.skip_shown();
    }

    // the firmware image
    const auto image = demo_image();
    FILE* f = std::fopen(image_path.c_str(), "wb");
    if (!f || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "fpsim: demo: cannot write %s: %s\n", image_path.c_str(), std::strerror(errno));
        return 1;
    }
    const uint16_t file_sum = micom::flash_checksum(image.data(), image.size());
    std::printf("\n== Flash: micomflash build A writes a generated image (%s) into the micom\n",
                image_path.c_str());
    const sim::Nanos started = shell.box().machine().now();
    type(shell, "flash a " + image_path);
    const uint16_t micom_sum = shell.box().micom().flash_checksum();
    std::printf("file checksum 0x%04X, micom flash checksum 0x%04X: %s\n", file_sum, micom_sum,
                file_sum == micom_sum ? "equal" : "DIFFERENT");

    // the entry sequence: power, reset, clock and ISP pins, then the first
    // bytes on the ISP link (the sync)
    sim::Nanos first_isp = 0;
    for (const auto& w : shell.box().soc().isp().log())
        if (w.start >= started) {
            first_isp = w.start;
            break;
        }
    const sim::Nanos to = (first_isp ? first_isp : started) + 5'000'000;
    // a millisecond of idle lines before, so that a decoder sees the first start bit
    const sim::Nanos from = started > 1'000'000 ? started - 1'000'000 : 0;
    std::printf("\n== Trace: the flash's entry sequence (pins 2-6, both serial lines) as a VCD file\n");
    if (!save_vcd(vcd_path, shell.box(), from, to)) {
        std::fprintf(stderr, "fpsim: demo: cannot write %s: %s\n", vcd_path.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("%s: %.6f s to %.6f s of virtual time\n", vcd_path.c_str(), sim::seconds(from),
                sim::seconds(to));
    std::printf("open it with: gtkwave %s   or   pulseview -I vcd -i %s\n", vcd_path.c_str(),
                vcd_path.c_str());
    if (!shell.write_traces())
        return 1;
    return file_sum == micom_sum ? 0 : 1;
}

}  // namespace fpsim
