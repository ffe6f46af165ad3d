// SPDX-License-Identifier: MIT
// micomflash against a failing micom: power lost in the middle of a block,
// and a micom that refuses one kind of step.  A failed flash must say so in
// its exit status, and a second run must bring the image back.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sim_helpers.h"
#include "userland/program_runner.h"

using namespace sim;
using namespace simtest;
using sim::userland::Build;
using sim::userland::ProgramRunner;

namespace {

std::vector<uint8_t> random_image(uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(8192);
    for (auto& b : v)
        b = uint8_t(rng());
    return v;
}

// One file per test: ctest runs the tests of this file side by side.
std::string write_image(const std::vector<uint8_t>& bytes) {
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(test->test_suite_name()) + "." + test->name();
    for (auto& c : name)
        if (c == '/')
            c = '_';
    std::string path = testing::TempDir() + "flash_faults_" + name + ".bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                std::streamsize(bytes.size()));
    return path;
}

bool flash_holds(Box& box, const std::vector<uint8_t>& image) {
    return std::equal(image.begin(), image.end(), box.micom().flash().begin());
}

}  // namespace

TEST(FlashFaults, PowerLostInTheMiddleOfABlockFailsTheRunAndASecondRunRestoresTheImage) {
    Box box;
    ProgramRunner runner(box);
    ASSERT_EQ(box.boot(), 0);
    const auto image = random_image(11);
    const std::string path = write_image(image);

    // Entry takes 1.025 s, erase and blank check about 40 ms, a block about
    // 95 ms: 1.6 s after the start the micom is in the middle of block 5.
    box.machine().events().at(box.machine().now() + 1'600'000'000, [&] { box.micom().power_loss(); });
    auto first = runner.run(Build::B, {path});
    ASSERT_TRUE(first.completed);
    EXPECT_EQ(first.exit_status, 1);  // a failed flash is never reported as success
    EXPECT_NE(first.out.find("0x05 BLOCK PROGRAMMING"), std::string::npos);
    EXPECT_NE(first.out.find("byte error"), std::string::npos);
    EXPECT_NE(first.out.find("CLOSE MICOM"), std::string::npos);
    EXPECT_FALSE(flash_holds(box, image));
    // blocks before the loss were written
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 4 * 256, box.micom().flash().begin()));

    // the exit sequence powered the micom back up: a second run restores it
    auto second = runner.run(Build::B, {path});
    ASSERT_TRUE(second.completed);
    EXPECT_EQ(second.exit_status, 0) << second.out;
    EXPECT_TRUE(flash_holds(box, image));
    EXPECT_TRUE(box.kernel().bugs().empty());
}

struct RefusedStep {
    const char* name;
    micom::IspStep step;
    const char* message;  // the failure line the run prints
};

class FlashRefusedStep : public testing::TestWithParam<RefusedStep> {};

TEST_P(FlashRefusedStep, IsReportedAndTheRunGoesOnAndFails) {
    Box box;
    ProgramRunner runner(box);
    ASSERT_EQ(box.boot(), 0);
    const auto image = random_image(12);
    box.micom().set_nak(GetParam().step, true);
    auto r = runner.run(Build::B, {write_image(image)});
    ASSERT_TRUE(r.completed);
    EXPECT_NE(r.out.find(GetParam().message), std::string::npos) << r.out;
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_NE(r.out.find("0x1F BLOCK PROGRAMMING"), std::string::npos);  // every block still tried
    EXPECT_NE(r.out.find("CLOSE MICOM"), std::string::npos);

    box.micom().set_nak(GetParam().step, false);
    auto again = runner.run(Build::B, {write_image(image)});
    EXPECT_EQ(again.exit_status, 0) << again.out;
    EXPECT_TRUE(flash_holds(box, image));
}

INSTANTIATE_TEST_SUITE_P(
    EachStep, FlashRefusedStep,
    testing::Values(RefusedStep{"Checksum", micom::IspStep::Checksum, "CHECKSUM ERROR[01]"},
                    RefusedStep{"Erase", micom::IspStep::Erase, "ERASE ERROR[01]"},
                    RefusedStep{"EraseVerify", micom::IspStep::EraseVerify, "ERASE VERIFY ERROR[01]"},
                    RefusedStep{"BlockProgram", micom::IspStep::BlockProgram, "PROGRAMMING FAIL[01]"},
                    RefusedStep{"Byte", micom::IspStep::Byte, "byte error"},
                    RefusedStep{"BlockVerify", micom::IspStep::BlockVerify, "VERIFY FAIL[01]"}),
    [](const testing::TestParamInfo<RefusedStep>& i) { return std::string(i.param.name); });
