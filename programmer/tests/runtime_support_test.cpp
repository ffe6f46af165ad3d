// SPDX-License-Identifier: MIT
// The memory wrappers and debug-print back-ends that the program supplies
// to the vendor libraries, and the image checksum, called in a loaded build.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fake_box.h"
#include "program_loader.h"
#include "vendor/rmdef.h"

namespace {

const std::string kSetError = "\x1b[31;1m";
const std::string kSetStd = "\x1b[0m";

using Notify = void(void *, RMstatus, const char *, RMint32, const char *, ...);
using DbgLog = void(RMbool, const char *, RMint32, const char *, ...);
using Print = void(void *, RMuint32, RMuint32, void *, void *, const char *, ...);
using ConsoleOutput = int(const char *, ...);
using FileOutput = int(FILE *, const char *, ...);

class RuntimeSupport : public ::testing::Test {
protected:
    void SetUp() override { fake::box().reset(); }

    LoadedProgram program{Build::B};
    fake::Box &box() const { return fake::box(); }
    std::string &out() const { return fake::box().out; }
    std::string &err() const { return fake::box().err; }
};

// Microseconds for h:m:s.ms
uint64_t at(uint64_t h, uint64_t m, uint64_t s, uint64_t ms)
{
    return ((h * 3600 + m * 60 + s) * 1000 + ms) * 1000;
}

} // namespace

TEST_F(RuntimeSupport, TimestampsCountHoursWithoutFoldingDays)
{
    auto *notify = program.get<Notify>("RMNOTIFY_implementation");
    ASSERT_NE(notify, nullptr);

    box().clock_us = at(1, 2, 3, 4) + 999;  // below a millisecond is dropped
    notify(nullptr, RM_OK, "a.c", 1, "x");
    box().clock_us = at(100, 0, 0, 0);
    notify(nullptr, RM_OK, "a.c", 2, "y");
    box().clock_us = at(0, 59, 59, 999);
    notify(nullptr, RM_OK, "a.c", 3, "z");

    EXPECT_EQ(err(), "01:02:03.004 [a.c:1] x" + kSetStd +
                         "100:00:00.000 [a.c:2] y" + kSetStd +
                         "00:59:59.999 [a.c:3] z" + kSetStd);
    EXPECT_EQ(out(), "");
}

TEST_F(RuntimeSupport, NotifyMarksFailuresInRedWithTheStatusName)
{
    auto *notify = program.get<Notify>("RMNOTIFY_implementation");
    ASSERT_NE(notify, nullptr);

    notify(nullptr, RM_OK, "clock.c", 42, "divider %d at %u Hz", 9, 32000000u);
    EXPECT_EQ(err(), "00:00:00.000 [clock.c:42] divider 9 at 32000000 Hz" + kSetStd);

    err().clear();
    notify(nullptr, 17, "clock.c", -5, "no %s", "route");
    EXPECT_EQ(err(), "00:00:00.000 " + kSetError + "[clock.c:-5] ERROR(RM_ERROR_17): no route" +
                         kSetStd);
}

TEST_F(RuntimeSupport, PercentSignsInFileNamesAndMessagesArePrintedAsTheyAre)
{
    auto *notify = program.get<Notify>("RMNOTIFY_implementation");
    auto *log = program.get<DbgLog>("RMDBGLOG_implementation");
    auto *print = program.get<Print>("RMPRINT_implementation");
    auto *verbose_stderr = program.get<RMint32>("verbose_stderr");
    ASSERT_TRUE(notify && log && print && verbose_stderr);

    notify(nullptr, 3, "50%s%n%x.c", 7, "%s", "100%d%%");
    EXPECT_EQ(err(), "00:00:00.000 " + kSetError + "[50%s%n%x.c:7] ERROR(RM_ERROR_3): 100%d%%" +
                         kSetStd);

    print(nullptr, 1, 1, nullptr, nullptr, "%s", "%s%n");
    *verbose_stderr = 1;
    log(1, "%n.c", 9, "%s", "%p");
    EXPECT_EQ(out(), "%s%n00:00:00.000 [%n.c:9] %p");
}

TEST_F(RuntimeSupport, SwitchesAreOffByDefault)
{
    auto *console = program.get<ConsoleOutput>("console_output");
    auto *file = program.get<FileOutput>("file_output");
    auto *log = program.get<DbgLog>("RMDBGLOG_implementation");
    auto *dbgprint = program.get<DbgLog>("RMDBGPRINT_implementation");
    auto *print = program.get<Print>("RMPRINT_implementation");
    auto *notify = program.get<Notify>("RMNOTIFY_implementation");
    ASSERT_TRUE(console && file && log && dbgprint && print && notify);

    EXPECT_EQ(console("a%d", 1), 0);
    EXPECT_EQ(file(stdout, "b%d", 2), 0);
    EXPECT_EQ(file(stderr, "c%d", 3), 0);
    log(1, "f.c", 1, "d");
    dbgprint(1, "f.c", 1, "e");
    print(nullptr, 2, 3, nullptr, nullptr, "below");
    EXPECT_EQ(out(), "");
    EXPECT_EQ(err(), "");

    // These two are never switched off.
    print(nullptr, 3, 3, nullptr, nullptr, "at %s;", "threshold");
    print(nullptr, 0xFFFFFFFFu, 1, nullptr, nullptr, "unsigned;");
    notify(nullptr, RM_OK, "f.c", 2, "n");
    EXPECT_EQ(out(), "at threshold;unsigned;");
    EXPECT_EQ(err(), "00:00:00.000 [f.c:2] n" + kSetStd);
}

TEST_F(RuntimeSupport, SwitchesTurnTheirOutputsOn)
{
    auto *console = program.get<ConsoleOutput>("console_output");
    auto *file = program.get<FileOutput>("file_output");
    auto *log = program.get<DbgLog>("RMDBGLOG_implementation");
    auto *dbgprint = program.get<DbgLog>("RMDBGPRINT_implementation");
    auto *verbose_stderr = program.get<RMint32>("verbose_stderr");
    auto *verbose_stdout = program.get<RMint32>("verbose_stdout");
    ASSERT_TRUE(console && file && log && dbgprint && verbose_stderr && verbose_stdout);

    *verbose_stderr = 1;
    EXPECT_EQ(file(stderr, "n=%d", 42), 4);
    EXPECT_EQ(file(stdout, "no"), 0);
    EXPECT_EQ(console("no"), 0);
    box().clock_us = at(0, 0, 1, 500);
    log(0, "f.c", 1, "inactive");
    log(1, "f.c", 12, "v=%d", 7);
    dbgprint(0, "f.c", 1, "inactive");
    dbgprint(1, "f.c", 13, "raw %s", "text");
    EXPECT_EQ(err(), "n=42");
    EXPECT_EQ(out(), "00:00:01.500 [f.c:12] v=7raw text");

    out().clear();
    *verbose_stdout = 1;
    EXPECT_EQ(console("c%d", 10), 3);
    EXPECT_EQ(file(stdout, "f%s", "oo"), 3);
    EXPECT_EQ(out(), "c10foo");
}

TEST_F(RuntimeSupport, ComposedMessagesAreCutAt1023Bytes)
{
    auto *notify = program.get<Notify>("RMNOTIFY_implementation");
    auto *log = program.get<DbgLog>("RMDBGLOG_implementation");
    auto *print = program.get<Print>("RMPRINT_implementation");
    auto *verbose_stderr = program.get<RMint32>("verbose_stderr");
    ASSERT_TRUE(notify && log && print && verbose_stderr);
    const std::string long_text(2000, 'x');
    const std::string stamp = "00:00:00.000 ";

    print(nullptr, 1, 0, nullptr, nullptr, "%s", long_text.c_str());
    EXPECT_EQ(out(), long_text.substr(0, 1023));

    out().clear();
    *verbose_stderr = 1;
    log(1, "f.c", 1, "%s", long_text.c_str());
    EXPECT_EQ(out(), stamp + ("[f.c:1] " + long_text).substr(0, 1023));

    // The colour reset gets no room either.
    notify(nullptr, 9, "f.c", 1, "%s", long_text.c_str());
    const std::string prefix = kSetError + "[f.c:1] ERROR(RM_ERROR_9): ";
    EXPECT_EQ(err(), stamp + (prefix + long_text).substr(0, 1023));

    // A message that just fits keeps the whole reset sequence.
    err().clear();
    const std::string fits(1023 - 8 - kSetStd.size(), 'y');
    notify(nullptr, RM_OK, "f.c", 1, "%s", fits.c_str());
    EXPECT_EQ(err(), stamp + "[f.c:1] " + fits + kSetStd);
    // One byte more cuts into it.
    err().clear();
    notify(nullptr, RM_OK, "f.c", 1, "%s", (fits + "y").c_str());
    EXPECT_EQ(err(), stamp + "[f.c:1] " + fits + "y" + kSetStd.substr(0, kSetStd.size() - 1));
}

TEST_F(RuntimeSupport, MemsetUsesTheLowByteOfTheFill)
{
    auto *memset_ = program.get<void *(void *, RMuint32, RMuint32)>("RMMemset");
    ASSERT_NE(memset_, nullptr);
    unsigned char buffer[8] = {1, 2, 3, 4, 5, 6, 7, 8};

    EXPECT_EQ(memset_(buffer + 1, 0x1FF, 6), buffer + 1);
    const unsigned char want[8] = {1, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 8};
    EXPECT_EQ(std::memcmp(buffer, want, 8), 0);
}

TEST_F(RuntimeSupport, CopyCompareAndReallocKeepTheirArgumentOrder)
{
    auto *memcpy_ = program.get<void *(void *, const void *, RMuint32)>("RMMemcpy");
    auto *memcmp_ = program.get<RMint32(const void *, const void *, RMuint32)>("RMMemcmp");
    auto *realloc_ = program.get<void *(void *, RMuint32)>("RMRealloc");
    auto *free_ = program.get<void(void *)>("RMFree");
    ASSERT_TRUE(memcpy_ && memcmp_ && realloc_ && free_);

    unsigned char to[4] = {9, 9, 9, 9};
    const unsigned char from[4] = {1, 2, 3, 4};
    EXPECT_EQ(memcpy_(to, from, 3), to);
    const unsigned char want[4] = {1, 2, 3, 9};
    EXPECT_EQ(std::memcmp(to, want, 4), 0);
    EXPECT_EQ(memcmp_(to, from, 3), 0);
    EXPECT_GT(memcmp_(to, from, 4), 0);
    EXPECT_LT(memcmp_(from, to, 4), 0);

    auto *block = static_cast<unsigned char *>(realloc_(nullptr, 2));
    ASSERT_NE(block, nullptr);
    block[0] = 7;
    block[1] = 8;
    block = static_cast<unsigned char *>(realloc_(block, 1 << 20));  // moves, keeps the bytes
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0], 7);
    EXPECT_EQ(block[1], 8);
    free_(block);
}

TEST_F(RuntimeSupport, CallocRefusesSizesBeyond32BitsAndClearsTheRest)
{
    auto *calloc_ = program.get<void *(RMuint32, RMuint32)>("RMCalloc");
    auto *free_ = program.get<void(void *)>("RMFree");
    ASSERT_TRUE(calloc_ && free_);

    EXPECT_EQ(calloc_(0x10000, 0x10000), nullptr);  // would wrap to 0 bytes
    EXPECT_EQ(calloc_(0x10001, 0x10000), nullptr);  // would wrap to 64 KiB
    EXPECT_EQ(calloc_(0xFFFFFFFFu, 2), nullptr);

    // Dirty a block of the same size first, so that cleared memory is not
    // just fresh memory from the system.
    void *dirty = std::malloc(4000);
    ASSERT_NE(dirty, nullptr);
    std::memset(dirty, 0xA5, 4000);
    std::free(dirty);
    auto *block = static_cast<unsigned char *>(calloc_(1000, 4));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 4000; ++i)
        ASSERT_EQ(block[i], 0) << i;
    free_(block);
}

TEST_F(RuntimeSupport, FileChecksumOfKnownImages)
{
    auto *checksum = program.get<uint16_t(const uint8_t *)>("file_checksum");
    ASSERT_NE(checksum, nullptr);
    uint8_t image[8192] = {};

    EXPECT_EQ(checksum(image), 0x0000);
    image[0] = 'a';
    image[1] = 'b';
    image[2] = 'c';
    EXPECT_EQ(checksum(image), 0x0129);
    std::memset(image, 0, sizeof image);
    image[8191] = 0x80;  // the last byte only enters, it is never shifted
    EXPECT_EQ(checksum(image), 0x0080);
}

TEST(ProgramLoading, GlobalsComeBackAtEveryLoad)
{
    for (Build build : {Build::A, Build::B}) {
        {
            LoadedProgram program(build);
            auto *verbose_stderr = program.get<RMint32>("verbose_stderr");
            auto *fd = program.get<int32_t>("fd");
            auto *isp_en = program.get<int32_t>("ACTIVE_ISPEN");
            ASSERT_TRUE(verbose_stderr && fd && isp_en);
            EXPECT_EQ(*verbose_stderr, 0);
            EXPECT_EQ(*fd, -1);
            EXPECT_EQ(*isp_en, build == Build::A ? 1 : 0);
            *verbose_stderr = 1;
            *fd = 5;
        }
        LoadedProgram again(build);
        EXPECT_EQ(*again.get<RMint32>("verbose_stderr"), 0);
        EXPECT_EQ(*again.get<int32_t>("fd"), -1);
    }
}
