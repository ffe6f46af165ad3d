// SPDX-License-Identifier: MIT
// micomflash, build A and build B, end to end on the simulated box: the
// program's exact output and exit status, the micom's flash, the pins it
// drives and when, the clock it sets up, and how it fails.
#include <gtest/gtest.h>

#include <algorithm>

#include <array>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "sim_helpers.h"
#include "userland/program_runner.h"
#include "userland/user_process.h"

using namespace sim;
using namespace simtest;
using sim::userland::Build;
using sim::userland::ProgramRunner;
using sim::userland::RunResult;

namespace {

constexpr uint32_t kDir = 0x10500, kData = 0x10504;
constexpr unsigned kClk = 2, kClkEnN = 3, kPwrN = 4, kRst = 5, kIspN = 6;
constexpr size_t kFlashSize = 8192;


std::string format(const char* fmt, unsigned v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string join_lines(const std::vector<std::string>& lines) {
    std::string s;
    for (auto& l : lines)
        s += l + "\n";
    return s;
}

/// Writes @bytes to a fresh file in the test's temporary folder, named
/// after the test too: the two builds' runs of a test may run side by side.
std::string image_file(const std::string& tag, const std::vector<uint8_t>& bytes) {
    std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(test.begin(), test.end(), '/', '_');
    const std::string path = ::testing::TempDir() + "micomflash_" + tag + "_" + test + ".bin";
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return path;
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = uint8_t(gen());
    return v;
}

/// What the flash holds after programming @file: its first 8192 bytes, zero-filled.
std::array<uint8_t, kFlashSize> flash_image(const std::vector<uint8_t>& file) {
    std::array<uint8_t, kFlashSize> img{};
    for (size_t i = 0; i < file.size() && i < kFlashSize; ++i)
        img[i] = file[i];
    return img;
}

/// The output of a run that flashed @image into a micom whose flash summed to @before.
std::vector<std::string> good_run_lines(uint16_t before, uint16_t image_sum) {
    std::vector<std::string> v = {"OPEN MICOM",
                                  "CHECKSUM",
                                  format("CHECKSUM = 0x%04X", before),
                                  "CHIP ERASE",
                                  "ERASE OK",
                                  "CHIP ERASE VERIFY",
                                  "ERASE VERIFY OK",
                                  format("FILE CHECKSUM= 0x%04X", image_sum)};
    for (unsigned b = 0; b < 32; ++b) {
        v.push_back(format("0x%02X BLOCK PROGRAMMING", b));
        v.push_back(format("0x%02X BLOCK VERIFY OK", b));
    }
    v.push_back("CHECKSUM");
    v.push_back(format("CHECKSUM = 0x%04X", image_sum));
    v.push_back("CLOSE MICOM");
    return v;
}

/// A booted box with a runner, the micom's flash holding a known old firmware.
struct Bench {
    Box box;
    ProgramRunner runner{box};
    std::array<uint8_t, kFlashSize> old_flash{};

    Bench() {
        EXPECT_EQ(box.boot(), 0);
        auto old = random_bytes(kFlashSize, 7);
        std::copy(old.begin(), old.end(), old_flash.begin());
        box.micom().set_flash(old_flash);
        box.soc().gpio().clear_writes();
    }
    RunResult run(Build b, const std::string& image) {
        RunResult r = runner.run(b, {image});
        EXPECT_TRUE(r.loaded);
        EXPECT_TRUE(r.completed);
        EXPECT_TRUE(r.unloaded) << "the program's image stayed mapped after the run";
        EXPECT_EQ(r.files_left_open, 0);
        EXPECT_TRUE(runner.vendor_misuse().empty()) << runner.vendor_misuse().front();
        EXPECT_TRUE(box.kernel().bugs().empty()) << box.kernel().bugs().front();
        return r;
    }
};

// ---- the pins ----

struct PinWrite {
    uint32_t addr;
    uint32_t value;
    Nanos wait_before;  ///< the program's sleep before this write
};

PinWrite output(unsigned p) { return {kDir, (1u << (16 + p)) | (1u << p), 0}; }
PinWrite high(unsigned p, Nanos wait = 0) { return {kData, (1u << (16 + p)) | (1u << p), wait}; }
PinWrite low(unsigned p, Nanos wait = 0) { return {kData, 1u << (16 + p), wait}; }

std::vector<PinWrite> entry_writes(Build b) {
    std::vector<PinWrite> v = {output(kClk), output(kClkEnN), output(kPwrN), output(kRst)};
    if (b == Build::A) {
        v.push_back(output(kIspN));
        v.push_back(low(kIspN));
    }
    for (PinWrite w : {high(kClk), high(kClkEnN), high(kPwrN), low(kRst), low(kPwrN, 1_s), low(kClk, 20_ms),
                       high(kClk, 10_us), high(kRst, 20_us), low(kClkEnN, 5_ms)})
        v.push_back(w);
    return v;
}

/// The exit's writes; the first one's wait (2 s after the flash) is checked apart.
std::vector<PinWrite> exit_writes(Build b) {
    std::vector<PinWrite> v = {high(kClkEnN), low(kRst),  low(kClk, 10_ms), high(kPwrN),
                               high(kRst, 1_ms), low(kPwrN, 1_ms)};
    if (b == Build::A)
        v.push_back(high(kIspN, 1_ms));
    return v;
}

/// Register accesses between two writes cost a little time; the sync ioctl
/// between the pulse and the reset release a few more.
constexpr Nanos kSlack = 3_us;

void expect_pin_writes(const std::vector<Gpio::Write>& got, size_t from, const std::vector<PinWrite>& want,
                       const std::string& what) {
    ASSERT_GE(got.size(), from + want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i) {
        const Gpio::Write& w = got[from + i];
        EXPECT_EQ(w.addr, want[i].addr) << what << " write " << i;
        EXPECT_EQ(w.value, want[i].value) << what << " write " << i;
        if (i == 0)
            continue;
        const Nanos gap = w.t - got[from + i - 1].t;
        EXPECT_GE(gap, want[i].wait_before) << what << " write " << i;
        EXPECT_LE(gap, want[i].wait_before + kSlack) << what << " write " << i;
    }
}

size_t index_of(const std::vector<uint8_t>& v, const std::vector<uint8_t>& seq) {
    for (size_t i = 0; i + seq.size() <= v.size(); ++i)
        if (std::equal(seq.begin(), seq.end(), v.begin() + long(i)))
            return i;
    return std::string::npos;
}

const std::vector<uint8_t> kHandOver = {0xAA, 0x20, 0x42, 0x0F, 0x00, 0x6D};

class Micomflash : public ::testing::TestWithParam<Build> {};

}  // namespace

// ---------------------------------------------------------------- good runs

TEST_P(Micomflash, GoodRunPrintsTheWholeSequenceAndLeavesTheImageInTheFlash) {
    const Build build = GetParam();
    Bench bench;
    const auto file = random_bytes(kFlashSize, 42);
    const uint16_t before = micom::flash_checksum(bench.old_flash.data(), kFlashSize);
    const uint16_t image_sum = micom::flash_checksum(file.data(), kFlashSize);

    RunResult r = bench.run(build, image_file("good", file));

    EXPECT_EQ(r.main_result, 0);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, join_lines(good_run_lines(before, image_sum)));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(bench.box.micom().flash(), flash_image(file));
    // the micom's own second checksum is the file's checksum
    auto lines = r.lines();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[lines.size() - 2], "CHECKSUM = " + lines[7].substr(std::string("FILE CHECKSUM= ").size()));

    // the vendor calls, in order, and the clock the micom got
    std::vector<std::string> calls = bench.runner.vendor_calls();
    const std::vector<std::string> want_calls = {
        "llad_open 0", "gbus_open", "RUACreateInstance 0", "RUASetProperty 43 4409 [9 32000000] 8 0",
        "RUAExchangeProperty 43 4411 [9] 4 4", "RUASetProperty 43 4417 [9 2 4] 12 0", "RUADestroyInstance",
        "gbus_close", "llad_close"};
    EXPECT_EQ(calls, want_calls);
    EXPECT_TRUE(bench.box.soc().clock_generator().micom_reference());

    // back in its normal firmware, and the driver hears it again once /dev/micom is closed
    EXPECT_EQ(bench.box.micom().mode(), micom::Mode::Normal);
    bench.box.micom().set_time({2021, 3, 4, 5, 6, 7});
    priv(bench.box)->time_ready = 0;
    const auto t = bench.box.kernel().call_export<unsigned long>("get_RTC_time");
    EXPECT_EQ(priv(bench.box)->time_ready, 1);
    const auto want = static_cast<unsigned long>(epoch_of(2021, 3, 4, 5, 6, 7));
    EXPECT_GE(t, want);
    EXPECT_LE(t, want + 1);
}

TEST_P(Micomflash, ShortEmptyAndLongImagesAreZeroFilledOrCut) {
    const Build build = GetParam();
    struct Case {
        const char* tag;
        std::vector<uint8_t> file;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"abc", {'a', 'b', 'c'}},
        {"long", random_bytes(kFlashSize + 1000, 99)},
    };
    Bench bench;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        const auto img = flash_image(c.file);
        const uint16_t before = bench.box.micom().flash_checksum();
        const uint16_t image_sum = micom::flash_checksum(img.data(), kFlashSize);
        RunResult r = bench.run(build, image_file(c.tag, c.file));
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, join_lines(good_run_lines(before, image_sum)));
        EXPECT_EQ(bench.box.micom().flash(), img);
        if (std::string(c.tag) == "empty") {
            EXPECT_NE(r.out.find("FILE CHECKSUM= 0x0000\n"), std::string::npos);
        }
        if (std::string(c.tag) == "abc") {
            EXPECT_NE(r.out.find("FILE CHECKSUM= 0x0129\n"), std::string::npos);
        }
    }
}

// Build B writes no /proc/enableisp: opening /dev/micom must stop the blink
// thread, or its LED frames land in the programming traffic.
TEST(MicomflashBlink, BuildBFlashWhileTheLedsBlinkLeavesTheImageInTheFlash) {
    Bench bench;
    EXPECT_EQ(bench.box.kernel().proc_write("startrescue", "1\n"), 2);
    bench.box.machine().run_for(2_s);
    ASSERT_FALSE(bench.box.micom().led_codes().empty());
    const uint16_t before = bench.box.micom().flash_checksum();
    const std::vector<uint8_t> file = {'a', 'b', 'c'};
    RunResult r = bench.run(Build::B, image_file("blink", file));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, join_lines(good_run_lines(before, 0x0129)));
    EXPECT_EQ(bench.box.micom().flash(), flash_image(file));
    EXPECT_EQ(*static_cast<void**>(bench.box.kernel().module_symbol("tblink")), nullptr);
}

// ---------------------------------------------------------------- the pins

TEST(MicomflashPins, BothBuildsDriveTheSameSequenceWriteByWriteAndInTime) {
    std::vector<Gpio::Write> writes[2];
    for (Build build : {Build::A, Build::B}) {
        SCOPED_TRACE(micomflash::build_name(build));
        Bench bench;
        RunResult r = bench.run(build, image_file("pins", random_bytes(100, 3)));
        EXPECT_EQ(r.exit_status, 0);
        auto& w = writes[build == Build::A ? 0 : 1];
        w = bench.box.soc().gpio().writes();

        const auto entry = entry_writes(build);
        const auto exit = exit_writes(build);
        ASSERT_EQ(w.size(), entry.size() + exit.size());
        expect_pin_writes(w, 0, entry, "entry");
        expect_pin_writes(w, entry.size(), exit, "exit");
        // every write selects exactly one pin and sets no value bit without its mask bit
        for (auto& x : w) {
            EXPECT_EQ(__builtin_popcount(x.value >> 16), 1);
            EXPECT_EQ(x.value & 0xFFFF & ~(x.value >> 16), 0u);
        }
        if (build == Build::B) {
            for (auto& x : w) {
                EXPECT_EQ(x.value & ((1u << (16 + kIspN)) | (1u << kIspN)), 0u) << "build B names GPIO 6";
            }
        }

        // the entry takes just over 1.025 s (its last write is 20 µs before it returns)
        const Nanos entry_time = w[entry.size() - 1].t + 20_us - w[0].t;
        EXPECT_GE(entry_time, 1'025'050_us);
        EXPECT_LE(entry_time, 1'025'050_us + 50_us);
        // the exit starts 2 s after the flash and ends 13 ms (build B: 12 ms + the last 1 ms wait) later
        const Nanos exit_time = r.ended - w[entry.size()].t;
        EXPECT_GE(exit_time, 13_ms);
        EXPECT_LE(exit_time, 13_ms + 20_us);
        // pins as the exit leaves them
        EXPECT_FALSE(bench.box.soc().gpio().level(kClk));
        EXPECT_TRUE(bench.box.soc().gpio().level(kClkEnN));
        EXPECT_FALSE(bench.box.soc().gpio().level(kPwrN));
        EXPECT_TRUE(bench.box.soc().gpio().level(kRst));
        EXPECT_TRUE(bench.box.soc().gpio().level(kIspN));
        EXPECT_EQ(bench.box.soc().gpio().is_output(kIspN), build == Build::A);
    }

    // write by write: build B is build A without GPIO 6, at the same spacing
    std::vector<Gpio::Write> a_without_6;
    for (auto& x : writes[0])
        if (!(x.value & (1u << (16 + kIspN))))
            a_without_6.push_back(x);
    ASSERT_EQ(a_without_6.size(), writes[1].size());
    const size_t first_exit = entry_writes(Build::B).size();
    for (size_t i = 1; i < a_without_6.size(); ++i) {
        EXPECT_EQ(a_without_6[i].addr, writes[1][i].addr) << i;
        EXPECT_EQ(a_without_6[i].value, writes[1][i].value) << i;
        const Nanos gap_a = a_without_6[i].t - a_without_6[i - 1].t;
        const Nanos gap_b = writes[1][i].t - writes[1][i - 1].t;
        if (i == first_exit) {
            // build A waits 6 s more before the flash
            EXPECT_NEAR(double(gap_a) - double(gap_b), 6e9, 1e6);
        } else {
            EXPECT_NEAR(double(gap_a), double(gap_b), 2000.0) << i;
        }
    }
}

TEST(MicomflashPins, BuildAHandsOverThroughEnableispAndWaitsSixSeconds) {
    for (Build build : {Build::A, Build::B}) {
        SCOPED_TRACE(micomflash::build_name(build));
        Bench bench;
        bench.box.soc().primary().clear_log();
        bench.box.soc().isp().clear_log();
        RunResult r = bench.run(build, image_file("handover", {1, 2, 3}));
        EXPECT_EQ(r.exit_status, 0);

        // the hand-over frame on the primary link, before any pin is touched
        const auto& plog = bench.box.soc().primary().log();
        const auto sent = host_bytes(bench.box.soc().primary());
        const size_t at = index_of(sent, kHandOver);
        if (build == Build::A) {
            ASSERT_NE(at, std::string::npos) << hex(sent);
            size_t n = 0;
            for (auto& wb : plog) {
                if (wb.dir == Direction::HostToMicom && n++ == at) {
                    EXPECT_LT(wb.start, bench.box.soc().gpio().writes().front().t);
                }
            }
        } else {
            EXPECT_EQ(at, std::string::npos) << hex(sent);
        }

        // from the clock enable to the first flash command (checksum B0 1F 00 FF)
        const size_t clock_on = entry_writes(build).size() - 1;
        const Nanos clock_on_t = bench.box.soc().gpio().writes()[clock_on].t;
        Nanos first_cmd = 0;
        for (auto& wb : bench.box.soc().isp().log())
            if (wb.dir == Direction::HostToMicom && wb.byte == 0xB0) {
                first_cmd = wb.start;
                break;
            }
        ASSERT_NE(first_cmd, 0u);
        if (build == Build::A) {
            EXPECT_GE(first_cmd - clock_on_t, 6_s + 20_us);
            EXPECT_LE(first_cmd - clock_on_t, 6_s + 100_us);
        } else {
            EXPECT_GE(first_cmd - clock_on_t, 20_us);
            EXPECT_LE(first_cmd - clock_on_t, 100_us);
        }
    }
}

// ---------------------------------------------------------------- failures

TEST(MicomflashFailures, PlatformHandlesThatDoNotOpenEndTheRunAtOnce) {
    Bench bench;
    const std::string image = image_file("handles", {1});
    const std::array<uint8_t, kFlashSize> before = bench.box.micom().flash();

    bench.runner.vendor_faults.llad_open_fails = true;
    RunResult r = bench.run(Build::A, image);
    EXPECT_EQ(r.main_result, -1);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "llad open error\n");
    EXPECT_EQ(bench.runner.vendor_calls(), std::vector<std::string>{"llad_open 0"});

    bench.runner.vendor_faults = {};
    bench.runner.vendor_faults.gbus_open_fails = true;
    bench.runner.clear_vendor_calls();
    r = bench.run(Build::B, image);
    EXPECT_EQ(r.main_result, -1);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "GBus open error\n");
    EXPECT_EQ(bench.runner.vendor_calls(), (std::vector<std::string>{"llad_open 0", "gbus_open"}));

    bench.runner.vendor_faults = {};
    bench.runner.vendor_faults.rua_create_status = 7;
    bench.runner.clear_vendor_calls();
    r = bench.run(Build::A, image);
    EXPECT_EQ(r.exit_status, 9);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error creating RUA instance\n");
    EXPECT_EQ(bench.runner.vendor_calls().back(), "RUACreateInstance 0");

    // nothing reached the micom
    EXPECT_TRUE(bench.box.soc().gpio().writes().empty());
    EXPECT_TRUE(host_bytes(bench.box.soc().isp()).empty());
    EXPECT_EQ(bench.box.micom().flash(), before);
}

TEST_P(Micomflash, EachFailingClockRequestIsReportedAndTheSyncThenFails) {
    const Build build = GetParam();
    struct Case {
        uint32_t property;
        const char* message;
    };
    const Case cases[] = {{4409, "set error(7)"}, {4411, "query error(7)"}, {4417, "Failed to route CD 5 to RClk 1"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.property);
        Bench bench;
        bench.box.soc().clock_generator().fail(c.property);
        bench.box.soc().isp().clear_log();
        const auto before = bench.box.micom().flash();
        RunResult r = bench.run(build, image_file("clock", random_bytes(kFlashSize, 5)));
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.out, join_lines({c.message, "OPEN MICOM", "programming_mode_init fail.", "CLOSE MICOM"}));
        EXPECT_FALSE(bench.box.soc().clock_generator().micom_reference());
        // every request still went out, and the entry and exit ran in full
        EXPECT_EQ(bench.box.soc().clock_generator().requests().size(), 3u);
        const auto& w = bench.box.soc().gpio().writes();
        const size_t n_entry = entry_writes(build).size();
        ASSERT_EQ(w.size(), n_entry + exit_writes(build).size());
        // the sync result is asked for at once (build A: after 6 s), then the
        // exit waits 2 s and takes 2.013 s in all
        const Nanos after_entry = w[n_entry - 1].t + 20_us + (build == Build::A ? 6_s : 0);
        EXPECT_GE(w[n_entry].t - after_entry, 2_s);
        EXPECT_LE(w[n_entry].t - after_entry, 2_s + 10_us);
        EXPECT_GE(r.ended - after_entry, 2'013_ms);
        EXPECT_LE(r.ended - after_entry, 2'013_ms + 20_us);
        // the sync went out, no flash step followed, the flash is untouched
        EXPECT_EQ(hex(host_bytes(bench.box.soc().isp())), "AA");
        EXPECT_EQ(bench.box.micom().flash(), before);
        EXPECT_EQ(bench.box.micom().mode(), micom::Mode::Normal);
    }
}

TEST_P(Micomflash, ADeviceThatCannotBeOpenedSkipsTheMicomEntirely) {
    const Build build = GetParam();
    Bench bench;
    ASSERT_EQ(bench.box.kernel().unload_module(), 0);  // no driver: /dev/micom has nothing behind it
    bench.box.soc().primary().clear_log();
    RunResult r = bench.run(build, image_file("nodev", {1, 2}));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "micom open error\n");
    // build A's shell could not write /proc/enableisp either; its complaint goes to standard error
    EXPECT_EQ(r.err, build == Build::A ? "sh: 1: cannot create /proc/enableisp: No such file or directory\n" : "");
    EXPECT_TRUE(bench.box.soc().gpio().writes().empty());
    EXPECT_TRUE(host_bytes(bench.box.soc().isp()).empty());
    EXPECT_TRUE(host_bytes(bench.box.soc().primary()).empty());
    // the platform handles were still closed
    const auto& calls = bench.runner.vendor_calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(calls.end() - 3, calls.end()),
              (std::vector<std::string>{"RUADestroyInstance", "gbus_close", "llad_close"}));
}

TEST_P(Micomflash, AnImageThatCannotBeReadOrIsNotNamedLeavesTheMicomAlone) {
    const Build build = GetParam();
    Bench bench;
    RunResult r = bench.run(build, ::testing::TempDir() + "micomflash_no_such_image.bin");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "file NULL\n");
    // a directory opens, but its read fails: no image either, not 8192 zeros
    r = bench.run(build, ::testing::TempDir());
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "file NULL\n");
    r = bench.runner.run(build, {});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "usage: micomflash IMAGE\n");
    EXPECT_TRUE(bench.box.soc().gpio().writes().empty());
    EXPECT_TRUE(host_bytes(bench.box.soc().isp()).empty());
    EXPECT_EQ(bench.box.micom().flash(), bench.old_flash);
}

TEST_P(Micomflash, AMicomThatRefusesEveryStepStillReceivesTheWholeImage) {
    const Build build = GetParam();
    Bench bench;
    for (auto step : {micom::IspStep::Checksum, micom::IspStep::Erase, micom::IspStep::EraseVerify,
                      micom::IspStep::BlockProgram, micom::IspStep::Byte, micom::IspStep::BlockVerify})
        bench.box.micom().set_nak(step, true);
    bench.box.soc().isp().clear_log();
    const auto file = random_bytes(kFlashSize, 11);
    RunResult r = bench.run(build, image_file("nak", file));

    std::vector<std::string> want = {"OPEN MICOM",
                                     "CHECKSUM",
                                     "CHECKSUM ERROR[01]",
                                     "CHECKSUM = 0x0000",  // nothing acknowledged since the driver started
                                     "CHIP ERASE",
                                     "ERASE ERROR[01]",
                                     "CHIP ERASE VERIFY",
                                     "ERASE VERIFY ERROR[01]",
                                     format("FILE CHECKSUM= 0x%04X", micom::flash_checksum(file.data(), kFlashSize))};
    for (unsigned b = 0; b < 32; ++b) {
        want.push_back(format("0x%02X BLOCK PROGRAMMING", b));
        want.push_back("PROGRAMMING FAIL[01]");
        for (int i = 0; i < 256; ++i)
            want.push_back("byte error");
        want.push_back("VERIFY FAIL[01]");
    }
    for (const char* l : {"CHECKSUM", "CHECKSUM ERROR[01]", "CHECKSUM = 0x0000", "CLOSE MICOM"})
        want.push_back(l);
    EXPECT_EQ(r.lines(), want);
    EXPECT_EQ(r.exit_status, 1);

    // the sync, five commands around the blocks, and per block its command, 256 bytes and the verify
    const auto sent = host_bytes(bench.box.soc().isp());
    EXPECT_EQ(sent.size(), 1u + 4 * 4 + 32 * (4 + 256 + 4));
    size_t data = 0, block = 0;
    for (size_t i = 0; i + 4 <= sent.size(); ++i)
        if (sent[i] == 0x40 && sent[i + 1] == block && sent[i + 2] == 0 && sent[i + 3] == 0xFF) {
            EXPECT_TRUE(std::equal(file.begin() + long(block * 256), file.begin() + long(block * 256 + 256),
                                   sent.begin() + long(i + 4)))
                << "block " << block;
            data += 256;
            ++block;
            i += 4 + 255;
        }
    EXPECT_EQ(data, kFlashSize);
    EXPECT_EQ(bench.box.micom().flash(), bench.old_flash);
}

INSTANTIATE_TEST_SUITE_P(Builds, Micomflash, ::testing::Values(Build::A, Build::B),
                         [](const auto& info) {
                             return std::string("Build") + micomflash::build_name(info.param);
                         });

// ---------------------------------------------------------------- figures

// A full run of each build next to its floor: the waits the program makes
// plus the wire time of every byte it sends to the micom.  Only the waits
// are a hard lower bound (a byte goes out while the program sleeps after
// writing it), so only they are checked; the rest is printed.
TEST(MicomflashFigures, AFullRunTakesItsWaitsPlusTheWireTimeAndRunsFasterThanRealTime) {
    for (Build build : {Build::A, Build::B}) {
        Bench bench;
        bench.box.soc().isp().clear_log();
        RunResult r = bench.run(build, image_file("figures", random_bytes(kFlashSize, 17)));
        EXPECT_EQ(r.exit_status, 0);

        const Nanos entry = 1_s + 20_ms + 10_us + 10_us + 10_us + 5_ms + 20_us;
        const Nanos exit = 2_s + 10_ms + 1_ms + 1_ms + 1_ms;
        const Nanos flash = 12_ms + 20_ms + kFlashSize * 150_us + 32 * 10_ms;
        const Nanos waits = entry + exit + flash + (build == Build::A ? 6_s : 0);
        Nanos wire = 0;
        for (auto& wb : bench.box.soc().isp().log())
            if (wb.dir == Direction::HostToMicom)
                wire += wb.end - wb.start;
        const Nanos floor = waits + wire;
        EXPECT_GE(r.duration(), waits);
        std::cout << "[ figures  ] build " << micomflash::build_name(build) << ": virtual "
                  << seconds(r.duration()) << " s, floor " << seconds(floor) << " s (waits " << seconds(waits) << " s + wire " << seconds(wire)
                  << " s), wall " << r.wall_seconds << " s (" << seconds(r.duration()) / r.wall_seconds
                  << "x real time), processor " << r.cpu_seconds << " s (" << seconds(r.duration()) / r.cpu_seconds
                  << "x)\n";
    }
}

// ---------------------------------------------------------------- the parts

TEST(MicomflashDeterminism, TheSameRunTwiceGivesTheSamePinsWireAndOutput) {
    std::vector<Gpio::Write> writes[2];
    std::vector<WireByte> wire[2];
    std::string out[2];
    for (int i = 0; i < 2; ++i) {
        Bench bench;
        bench.box.soc().isp().clear_log();
        RunResult r = bench.run(Build::B, image_file("twice", random_bytes(3000, 23)));
        writes[i] = bench.box.soc().gpio().writes();
        wire[i] = bench.box.soc().isp().log();
        out[i] = r.out;
    }
    EXPECT_EQ(out[0], out[1]);
    ASSERT_EQ(writes[0].size(), writes[1].size());
    for (size_t i = 0; i < writes[0].size(); ++i) {
        EXPECT_EQ(writes[0][i].t, writes[1][i].t);
        EXPECT_EQ(writes[0][i].value, writes[1][i].value);
    }
    ASSERT_EQ(wire[0].size(), wire[1].size());
    for (size_t i = 0; i < wire[0].size(); ++i) {
        EXPECT_EQ(wire[0][i].start, wire[1][i].start) << i;
        EXPECT_EQ(wire[0][i].byte, wire[1][i].byte) << i;
    }
}

TEST(MicomflashShell, RunsEchoIntoTheBoxAndRefusesEverythingElse) {
    Bench bench;
    bench.box.soc().primary().clear_log();
    sim::userland::UserProcess p;
    p.box = &bench.box;
    auto sh = [&](const char* command) {
        int status = -1;
        bench.box.kernel().run_process("sh", [&] {
            status = sim::userland::run_shell_command(p, command);
            return 0;
        });
        return status;
    };

    EXPECT_EQ(sh("echo \"1\" > /proc/enableisp"), 0);
    bench.box.machine().run_for(1_ms);  // the UART sends the frame's last bytes
    EXPECT_EQ(hex(host_bytes(bench.box.soc().primary())), hex(kHandOver));
    EXPECT_EQ(sh("echo  'a  b'   c"), 0);
    EXPECT_EQ(sh("echo -n x"), 0);
    EXPECT_EQ(p.out, "a  b c\nx");

    const std::string host_file = ::testing::TempDir() + "micomflash_shell_must_not_exist";
    std::remove(host_file.c_str());
    EXPECT_EQ(sh(("echo 1 > " + host_file).c_str()), 2 << 8);
    EXPECT_EQ(std::fopen(host_file.c_str(), "r"), nullptr) << "the shell wrote a host file";
    EXPECT_EQ(sh("echo 1 > /proc/nothing"), 2 << 8);
    EXPECT_EQ(sh("reboot"), 127 << 8);
    EXPECT_EQ(sh("echo 1; echo 2"), 2 << 8);
    EXPECT_EQ(sh("echo \"1 > /proc/enableisp"), 2 << 8);
    EXPECT_EQ(sh("false"), 1 << 8);
    EXPECT_EQ(p.err, "sh: 1: cannot create " + host_file + ": Read-only file system\n" +
                         "sh: 1: cannot create /proc/nothing: No such file or directory\n"
                         "sh: 1: reboot: not found\n"
                         "sh: 1: Syntax error: \";\" is not understood by this shell\n"
                         "sh: 1: Syntax error: Unterminated quoted string\n");
    // nothing more reached the micom
    bench.box.machine().run_for(1_ms);
    EXPECT_EQ(hex(host_bytes(bench.box.soc().primary())), hex(kHandOver));
}

TEST(MicomflashClockGenerator, GivesTheMicomItsReferenceOnlyForTheRightDividerAndRoute) {
    ClockGenerator cg;
    std::vector<bool> seen;
    cg.on_reference = [&](bool on) { seen.push_back(on); };
    uint32_t set[2] = {9, 32'000'000}, route[3] = {9, 2, 4}, query = 9, hz = 0;

    // routed first, then set: the reference appears with the second request
    EXPECT_EQ(cg.set_property(43, 4417, route, 12), 6);
    EXPECT_FALSE(cg.micom_reference());
    EXPECT_EQ(cg.set_property(43, 4409, set, 8), 6);
    EXPECT_TRUE(cg.micom_reference());
    EXPECT_EQ(cg.exchange_property(43, 4411, &query, 4, &hz, 4), 6);
    EXPECT_EQ(hz, 32'000'000u);
    EXPECT_EQ(seen, (std::vector<bool>{false, true, true}));

    // another frequency, another module, a wrong size
    uint32_t slow[2] = {9, 16'000'000};
    EXPECT_EQ(cg.set_property(43, 4409, slow, 8), 6);
    EXPECT_FALSE(cg.micom_reference());
    EXPECT_EQ(cg.set_property(44, 4409, set, 8), ClockGenerator::kInvalidRequest);
    EXPECT_EQ(cg.set_property(43, 4409, set, 4), ClockGenerator::kInvalidRequest);
    EXPECT_EQ(cg.exchange_property(43, 4411, &query, 4, &hz, 2), ClockGenerator::kInvalidRequest);
    EXPECT_EQ(cg.set_property(43, 4409, set, 8), 6);
    EXPECT_TRUE(cg.micom_reference());

    // a failing request stops the divider until it is set again
    cg.fail(4411, 9);
    EXPECT_EQ(cg.exchange_property(43, 4411, &query, 4, &hz, 4), 9);
    EXPECT_FALSE(cg.micom_reference());
    EXPECT_EQ(seen.back(), false);
    cg.fail(4411, 6);
    EXPECT_EQ(cg.set_property(43, 4417, route, 12), 6);
    EXPECT_FALSE(cg.micom_reference());
    EXPECT_EQ(cg.set_property(43, 4409, set, 8), 6);
    EXPECT_TRUE(cg.micom_reference());
    EXPECT_EQ(cg.requests().size(), 11u);
}

extern "C" uint64_t RMGetTimeInMicroSeconds(void);
extern "C" const char* RMstatusToString(int32_t status);

TEST(MicomflashVendor, TheMicrosecondClockIsVirtualTimeAndStatusesHaveNames) {
    Bench bench;
    bench.box.machine().run_for(1234567_ns);
    EXPECT_EQ(RMGetTimeInMicroSeconds(), bench.box.machine().now() / 1000);
    EXPECT_STREQ(RMstatusToString(6), "RM_OK");
    EXPECT_STREQ(RMstatusToString(7), "RM_ERROR");
    EXPECT_STREQ(RMstatusToString(-1), "RM_UNKNOWN_STATUS");
}
