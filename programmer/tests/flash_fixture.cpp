// SPDX-License-Identifier: MIT
#include "flash_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

void FlashRun::SetUp()
{
    fake::box().reset();
    char pattern[] = "/tmp/micomflash-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
}

void FlashRun::TearDown()
{
    for (const std::string &f : files_)
        unlink(f.c_str());
    rmdir(dir_.c_str());
}

std::string FlashRun::image_file(const std::string &contents)
{
    const std::string path = dir_ + "/image" + std::to_string(files_.size()) + ".bin";
    FILE *f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr);
    if (f != nullptr) {
        std::fwrite(contents.data(), 1, contents.size(), f);
        std::fclose(f);
    }
    files_.push_back(path);
    return path;
}

int FlashRun::flash(const std::string &path)
{
    return run_program(GetParam(), {path});
}

std::string build_param_name(const ::testing::TestParamInfo<Build> &info)
{
    return std::string("Build") + build_name(info.param);
}
