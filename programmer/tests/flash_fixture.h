// SPDX-License-Identifier: MIT
// Runs of micomflash (build A or B) against the fake box, with image files
// made for the test.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_box.h"
#include "program_loader.h"

class FlashRun : public ::testing::TestWithParam<Build> {
protected:
    void SetUp() override;
    void TearDown() override;

    bool build_a() const { return GetParam() == Build::A; }
    fake::Box &box() const { return fake::box(); }
    fake::Script &script() const { return fake::box().script; }

    // A real file holding contents, removed after the test.
    std::string image_file(const std::string &contents);
    // Runs the build under test with one argument, the image path.
    int flash(const std::string &path);

private:
    std::string dir_;
    std::vector<std::string> files_;
};

std::string build_param_name(const ::testing::TestParamInfo<Build> &info);

// "abc": the image whose file checksum is 0x0129.
inline const std::string kAbc = "abc";
