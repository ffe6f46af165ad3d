// SPDX-License-Identifier: MIT
// Good runs of both builds: the exact output, every call in order, the
// flash contents, the pin rules and the virtual time the run takes.
#include <chrono>
#include <cstdio>
#include <random>

#include "expected_run.h"
#include "flash_fixture.h"

namespace {

const std::vector<uint8_t> kOldFirmware(8192, 0x5A);

constexpr uint64_t kEntryUs = 1000000 + 20000 + 10 + 10 + 10 + 5000 + 20;
constexpr uint64_t kExitUs = 2000000 + 10000 + 1000 + 1000 + 1000;
constexpr uint64_t kBuildAWaitUs = 6000000;
constexpr uint64_t kFlashWaitsUs = 12000 + 20000 + 8192 * 150 + 32 * 10000;

} // namespace

using GoodRun = FlashRun;

TEST_P(GoodRun, PrintsTheTwelveItemsAndLeavesTheImageInFlash)
{
    const int status = flash(image_file(kAbc));

    EXPECT_EQ(status, 0);
    EXPECT_EQ(box().out, expected::good_output(fake::reference_checksum(kOldFirmware), 0x0129));
    EXPECT_EQ(box().err, "");
    EXPECT_EQ(box().flash, expected::padded_image(kAbc));
}

TEST_P(GoodRun, MakesEveryCallInOrder)
{
    flash(image_file(kAbc));

    const expected::Calls want = expected::good_run(build_a(), expected::padded_image(kAbc));
    const std::vector<std::string> got = box().texts();
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(got[i], want[i]) << "call " << i;
}

TEST_P(GoodRun, EmptyImageProgramsZeros)
{
    const int status = flash(image_file(""));

    EXPECT_EQ(status, 0);
    EXPECT_NE(box().out.find("FILE CHECKSUM= 0x0000\n"), std::string::npos);
    EXPECT_EQ(box().written, std::vector<uint8_t>(8192, 0x00));
    EXPECT_EQ(box().flash, std::vector<uint8_t>(8192, 0x00));
}

TEST_P(GoodRun, ImageLongerThanTheFlashUsesItsFirst8192Bytes)
{
    std::mt19937 random(7);
    std::string contents(9000, '\0');
    for (char &c : contents)
        c = static_cast<char>(random());
    const std::vector<uint8_t> image = expected::padded_image(contents);
    const uint16_t sum = fake::reference_checksum(image);

    const int status = flash(image_file(contents));

    EXPECT_EQ(status, 0);
    EXPECT_EQ(box().out, expected::good_output(fake::reference_checksum(kOldFirmware), sum));
    EXPECT_EQ(box().written, image);
    EXPECT_EQ(box().flash, image);
}

TEST_P(GoodRun, GpioWritesSelectOnePinEachAndBuildBNeverNamesGpio6)
{
    flash(image_file(kAbc));

    const auto writes = box().events_starting("gpio ");
    ASSERT_FALSE(writes.empty());
    bool gpio6_named = false;
    for (const fake::Event &e : writes) {
        const uint32_t data = std::stoul(e.text.substr(11), nullptr, 16);
        const uint32_t mask = data >> 16;
        const uint32_t values = data & 0xFFFFu;
        EXPECT_EQ(__builtin_popcount(mask), 1) << e.text;
        EXPECT_EQ(values & ~mask, 0u) << e.text;
        if (((mask | values) & 0x40u) != 0)
            gpio6_named = true;
    }
    EXPECT_EQ(gpio6_named, build_a());
    if (build_a()) {
        EXPECT_EQ(writes.back().text, "gpio 10504 00400040");
    }

    // Levels the exit leaves: clock line low, 8 MHz off, powered, running.
    EXPECT_FALSE(box().pin_high(2));
    EXPECT_TRUE(box().pin_high(3));
    EXPECT_FALSE(box().pin_high(4));
    EXPECT_TRUE(box().pin_high(5));
    EXPECT_EQ(box().gpio_direction, build_a() ? 0x7Cu : 0x3Cu);
    EXPECT_EQ(box().pin_high(6), build_a());
}

TEST_P(GoodRun, VirtualTimeOfEntryExitAndWholeRun)
{
    const auto started = std::chrono::steady_clock::now();
    flash(image_file(kAbc));
    const double wall_s =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    const uint64_t first_gpio = box().events_starting("gpio ").front().at_us;
    const uint64_t sync_asked = box().time_of_first("ioctl MICOM_ISP_GET_SYNC");
    const uint64_t exit_started = box().time_of_first("sleep 2");
    const uint64_t closed = box().time_of_first("close /dev/micom");
    const uint64_t wait_a = build_a() ? kBuildAWaitUs : 0;

    EXPECT_EQ(sync_asked - first_gpio, kEntryUs + wait_a);  // entry: 1.02505 s
    EXPECT_EQ(closed - exit_started, kExitUs);              // exit: 2.013 s
    EXPECT_EQ(box().now_us, kEntryUs + wait_a + kFlashWaitsUs + kExitUs);
    // The sync byte goes out 1.02003 s into the entry, before reset is released.
    EXPECT_EQ(box().time_of_first("ioctl MICOM_ISP_SYNC") - first_gpio, 1020020u);

    std::printf("build %s: virtual %.6f s (entry %.6f s, exit %.6f s), wall %.3f s, %.0fx real time\n",
                build_name(GetParam()), box().now_us / 1e6, (sync_asked - first_gpio) / 1e6,
                (closed - exit_started) / 1e6, wall_s, box().now_us / 1e6 / wall_s);
}

TEST_P(GoodRun, EachRunStartsFromFreshGlobals)
{
    // A failed run first: its failure count and descriptor must not leak
    // into the next run.
    script().micom_silent = true;
    EXPECT_EQ(flash(image_file(kAbc)), 1);

    box().reset();
    EXPECT_EQ(flash(image_file(kAbc)), 0);
    EXPECT_EQ(box().out, expected::good_output(fake::reference_checksum(kOldFirmware), 0x0129));
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, GoodRun, ::testing::Values(Build::A, Build::B),
                         build_param_name);
