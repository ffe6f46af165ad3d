// SPDX-License-Identifier: MIT
// Runs that go wrong: platform handles, the clock, /dev/micom, the sync,
// the image file, a micom that refuses steps, a byte that cannot be
// written. Each checks the exact output, the calls and the exit status.
#include <cstdio>

#include "expected_run.h"
#include "flash_fixture.h"
#include "micom_ioctl.h"

namespace {

const std::vector<uint8_t> kOldFirmware(8192, 0x5A);

std::string format(const char *f, unsigned value)
{
    char text[64];
    std::snprintf(text, sizeof text, f, value);
    return text;
}

// The calls of a run whose sync was not answered: the whole entry and exit,
// no flash step.
expected::Calls unanswered_sync_run(bool build_a)
{
    expected::Calls calls = expected::vendor_open();
    expected::append(calls, expected::clock_setup());
    if (build_a)
        calls.push_back("system echo \"1\" > /proc/enableisp");
    calls.push_back("open /dev/micom O_RDWR|O_NOCTTY");
    expected::append(calls, expected::isp_entry(build_a));
    if (build_a)
        calls.push_back("sleep 6");
    calls.push_back("ioctl MICOM_ISP_GET_SYNC");
    expected::append(calls, expected::isp_exit(build_a));
    calls.push_back("close /dev/micom");
    expected::append(calls, expected::vendor_close());
    return calls;
}

const std::string kUnansweredSyncOutput =
    "OPEN MICOM\n"
    "programming_mode_init fail.\n"
    "CLOSE MICOM\n";

} // namespace

using FailedRun = FlashRun;

TEST_P(FailedRun, MissingArgumentPrintsUsageAndTouchesNothing)
{
    EXPECT_EQ(run_program(GetParam(), {}), 2);
    EXPECT_EQ(box().err, "usage: micomflash IMAGE\n");
    EXPECT_EQ(box().out, "");
    EXPECT_TRUE(box().events.empty());
}

TEST_P(FailedRun, PlatformHandlesThatDoNotOpen)
{
    script().llad_opens = false;
    EXPECT_EQ(flash(image_file(kAbc)), -1);
    EXPECT_EQ(box().out, "llad open error\n");
    EXPECT_EQ(box().texts(), (expected::Calls{"llad_open 0"}));

    box().reset();
    script().gbus_opens = false;
    EXPECT_EQ(flash(image_file(kAbc)), -1);
    EXPECT_EQ(box().out, "GBus open error\n");
    EXPECT_EQ(box().texts(), (expected::Calls{"llad_open 0", "gbus_open llad"}));

    box().reset();
    script().rua_create_status = 17;
    EXPECT_EQ(flash(image_file(kAbc)), 9);
    EXPECT_EQ(box().out, "");
    EXPECT_EQ(box().err, "Error creating RUA instance\n");
    EXPECT_EQ(box().texts(), expected::vendor_open());
}

TEST_P(FailedRun, ClockSetOrRouteFailingLeavesTheMicomWithoutClock)
{
    struct Case {
        int32_t set, query, route;
        std::string messages;
    };
    const Case cases[] = {
        {17, 6, 6, "set error(17)\n"},
        {6, 6, -3, "Failed to route CD 5 to RClk 1\n"},
        {17, 18, 19, "set error(17)\nquery error(18)\nFailed to route CD 5 to RClk 1\n"},
    };
    for (const Case &c : cases) {
        box().reset();
        script().clock_set_status = c.set;
        script().clock_query_status = c.query;
        script().clock_route_status = c.route;

        EXPECT_EQ(flash(image_file(kAbc)), 1) << c.messages;
        EXPECT_EQ(box().out, c.messages + kUnansweredSyncOutput);
        // All fourteen entry steps and the exit still run.
        EXPECT_EQ(box().texts(), unanswered_sync_run(build_a())) << c.messages;
    }
}

TEST_P(FailedRun, ClockQueryFailingAloneStillFlashes)
{
    script().clock_query_status = 21;
    EXPECT_EQ(flash(image_file(kAbc)), 0);
    EXPECT_EQ(box().out, "query error(21)\n" +
                             expected::good_output(fake::reference_checksum(kOldFirmware), 0x0129));
    EXPECT_EQ(box().flash, expected::padded_image(kAbc));
}

TEST_P(FailedRun, MicomDeviceThatDoesNotOpen)
{
    script().micom_device_opens = false;
    EXPECT_EQ(flash(image_file(kAbc)), 1);
    EXPECT_EQ(box().out, "micom open error\n");

    expected::Calls want = expected::vendor_open();
    expected::append(want, expected::clock_setup());
    if (build_a())
        want.push_back("system echo \"1\" > /proc/enableisp");
    want.push_back("open /dev/micom O_RDWR|O_NOCTTY");
    expected::append(want, expected::vendor_close());
    EXPECT_EQ(box().texts(), want);  // neither sequence runs, nothing closed
}

TEST_P(FailedRun, SyncNotAnsweredSkipsTheFlashButLeavesIspMode)
{
    script().micom_silent = true;
    EXPECT_EQ(flash(image_file(kAbc)), 1);
    EXPECT_EQ(box().out, kUnansweredSyncOutput);
    EXPECT_EQ(box().texts(), unanswered_sync_run(build_a()));
    EXPECT_EQ(box().flash, kOldFirmware);
}

TEST_P(FailedRun, ImageThatCannotBeOpenedLeavesTheMicomAlone)
{
    EXPECT_EQ(flash("/nonexistent/micom/image.bin"), 1);
    EXPECT_EQ(box().out, "file NULL\n");

    expected::Calls want = expected::vendor_open();
    expected::append(want, expected::clock_setup());
    expected::append(want, expected::vendor_close());
    EXPECT_EQ(box().texts(), want);  // no hand-over, no device, no pin
}

TEST_P(FailedRun, MicomThatAcknowledgesNothingAfterTheSyncStillGetsEveryByte)
{
    script().ack_after_sync = false;
    EXPECT_EQ(flash(image_file(kAbc)), 1);

    std::string want = "OPEN MICOM\n"
                       "CHECKSUM\n"
                       "CHECKSUM ERROR[01]\n"
                       "CHECKSUM = 0x0000\n"
                       "CHIP ERASE\n"
                       "ERASE ERROR[01]\n"
                       "CHIP ERASE VERIFY\n"
                       "ERASE VERIFY ERROR[01]\n"
                       "FILE CHECKSUM= 0x0129\n";
    for (unsigned block = 0; block < 32; ++block) {
        want += format("0x%02X BLOCK PROGRAMMING\n", block);
        want += "PROGRAMMING FAIL[01]\n";
        for (int i = 0; i < 256; ++i)
            want += "byte error\n";
        want += "VERIFY FAIL[01]\n";
    }
    want += "CHECKSUM\n"
            "CHECKSUM ERROR[01]\n"
            "CHECKSUM = 0x0000\n"
            "CLOSE MICOM\n";
    EXPECT_EQ(box().out, want);
    EXPECT_EQ(box().written, expected::padded_image(kAbc));
    EXPECT_EQ(box().texts(), expected::good_run(build_a(), expected::padded_image(kAbc)));
}

TEST_P(FailedRun, ByteThatCannotBeWrittenEndsTheProgrammingOnly)
{
    const std::string contents(8192, '\x11');
    script().write_fails_at = 300;  // block 1, offset 44
    EXPECT_EQ(flash(image_file(contents)), 1);

    std::string want = "OPEN MICOM\nCHECKSUM\n";
    want += format("CHECKSUM = 0x%04X\n", fake::reference_checksum(kOldFirmware));
    want += "CHIP ERASE\nERASE OK\nCHIP ERASE VERIFY\nERASE VERIFY OK\n";
    want += format("FILE CHECKSUM= 0x%04X\n",
                   fake::reference_checksum(expected::padded_image(contents)));
    want += "0x00 BLOCK PROGRAMMING\n0x00 BLOCK VERIFY OK\n0x01 BLOCK PROGRAMMING\n";
    want += "oops... write fail.\nCHECKSUM\n";
    want += format("CHECKSUM = 0x%04X\n", fake::reference_checksum(box().flash));
    want += "CLOSE MICOM\n";
    EXPECT_EQ(box().out, want);

    EXPECT_EQ(box().written.size(), 300u);
    EXPECT_EQ(box().events_starting("write ").size(), 301u);
    EXPECT_TRUE(box().events_starting("ioctl MICOM_ISP_BLOCK_VERIFY 1").empty());
    // Right after the refused byte: the second checksum, then the exit.
    const auto texts = box().texts();
    size_t refused = 0;
    while (texts[refused] != "write 11 -> 0")
        ++refused;
    EXPECT_EQ(texts[refused + 1], "ioctl MICOM_ISP_CHECKSUM");
    EXPECT_EQ(texts[refused + 4], "sleep 2");
    EXPECT_EQ(texts.back(), "llad_close llad");
}

TEST_P(FailedRun, AnySingleRefusedStepMakesTheExitStatusOne)
{
    struct Case {
        uint32_t command;
        int occurrence;
        std::string message;
    };
    const Case cases[] = {
        {MICOM_ISP_CHECKSUM_STATUS, 0, "CHECKSUM ERROR[01]\n"},
        {MICOM_ISP_CHECKSUM_STATUS, 1, "CHECKSUM ERROR[01]\n"},
        {MICOM_ISP_CHIP_ERASE_STATUS, 0, "ERASE ERROR[01]\n"},
        {MICOM_ISP_ERASE_VERIFY_STATUS, 0, "ERASE VERIFY ERROR[01]\n"},
        {MICOM_ISP_BLOCK_PROGRAM_STATUS, 5, "0x05 BLOCK PROGRAMMING\nPROGRAMMING FAIL[01]\n"},
        {MICOM_ISP_BYTE_STATUS, 1000, "byte error\n"},
        {MICOM_ISP_BLOCK_VERIFY_STATUS, 7, "0x07 BLOCK PROGRAMMING\nVERIFY FAIL[01]\n"},
    };
    for (const Case &c : cases) {
        box().reset();
        script().nak_command = c.command;
        script().nak_occurrence = c.occurrence;

        EXPECT_EQ(flash(image_file(kAbc)), 1) << c.message;
        EXPECT_NE(box().out.find(c.message), std::string::npos) << c.message;
        EXPECT_EQ(box().out.rfind("CLOSE MICOM\n"), box().out.size() - 12) << c.message;
        // The flow goes on as in a good run.
        EXPECT_EQ(box().texts(), expected::good_run(build_a(), expected::padded_image(kAbc)))
            << c.message;
    }
}

INSTANTIATE_TEST_SUITE_P(BothBuilds, FailedRun, ::testing::Values(Build::A, Build::B),
                         build_param_name);
