// SPDX-License-Identifier: MIT
#include "expected_run.h"

#include <cstdio>

namespace expected {

namespace {

std::string hex2(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02x", value & 0xFFu);
    return text;
}

std::string line(const char *format, unsigned value)
{
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

void append(Calls &to, const Calls &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

Calls vendor_open()
{
    return {"llad_open 0", "gbus_open llad", "RUACreateInstance chip 0"};
}

Calls clock_setup()
{
    return {
        "RUASetProperty 43 4409 [9 32000000] size 8 timeout 0",
        "RUAExchangeProperty 43 4411 in [9] size 4 out word1 size 4",
        "RUASetProperty 43 4417 [9 2 4] size 12 timeout 0",
    };
}

Calls vendor_close()
{
    return {"RUADestroyInstance rua", "gbus_close gbus", "llad_close llad"};
}

// Masked GPIO writes: 0x10500 direction, 0x10504 data; pin p is selected by
// bit 16+p and takes the value of bit p.
Calls isp_entry(bool build_a)
{
    Calls calls = {
        "gpio 10500 00040004",  // ISP clock line: output
        "gpio 10500 00080008",  // 8 MHz enable: output
        "gpio 10500 00100010",  // power: output
        "gpio 10500 00200020",  // reset: output
    };
    if (build_a)
        append(calls, {"gpio 10500 00400040", "gpio 10504 00400000"});  // ISP enable low
    append(calls, {
        "gpio 10504 00040004",  // clock line high
        "gpio 10504 00080008",  // 8 MHz off
        "gpio 10504 00100010",  // unpowered
        "gpio 10504 00200000",  // reset held
        "sleep 1",
        "gpio 10504 00100000",  // powered, still in reset
        "usleep 20000",
        "gpio 10504 00040000",  // clock line low ...
        "usleep 10",
        "gpio 10504 00040004",  // ... and high again
        "usleep 10",
        "ioctl MICOM_ISP_SYNC",
        "usleep 10",
        "gpio 10504 00200020",  // out of reset
        "usleep 5000",
        "gpio 10504 00080000",  // 8 MHz on
        "usleep 20",
    });
    return calls;
}

Calls isp_exit(bool build_a)
{
    Calls calls = {
        "sleep 2",
        "gpio 10504 00080008",  // 8 MHz off
        "gpio 10504 00200000",  // reset held
        "usleep 10000",
        "gpio 10504 00040000",  // clock line low
        "gpio 10504 00100010",  // unpowered
        "usleep 1000",
        "gpio 10504 00200020",  // reset released
        "usleep 1000",
        "gpio 10504 00100000",  // powered: normal firmware
        "usleep 1000",
    };
    if (build_a)
        calls.push_back("gpio 10504 00400040");  // ISP enable high
    return calls;
}

Calls flash(const std::vector<uint8_t> &image)
{
    Calls calls = {
        "ioctl MICOM_ISP_CHECKSUM",
        "ioctl MICOM_ISP_CHECKSUM_STATUS",
        "ioctl MICOM_ISP_CHECKSUM_VALUE",
        "ioctl MICOM_ISP_CHIP_ERASE",
        "usleep 12000",
        "ioctl MICOM_ISP_CHIP_ERASE_STATUS",
        "ioctl MICOM_ISP_ERASE_VERIFY",
        "usleep 20000",
        "ioctl MICOM_ISP_ERASE_VERIFY_STATUS",
    };
    for (int block = 0; block < 32; ++block) {
        calls.push_back("ioctl MICOM_ISP_BLOCK_PROGRAM " + std::to_string(block));
        calls.push_back("ioctl MICOM_ISP_BLOCK_PROGRAM_STATUS");
        for (int offset = 0; offset < 256; ++offset) {
            calls.push_back("write " + hex2(image.at(block * 256 + offset)));
            calls.push_back("usleep 150");
            calls.push_back("ioctl MICOM_ISP_BYTE_STATUS");
        }
        calls.push_back("ioctl MICOM_ISP_BLOCK_VERIFY " + std::to_string(block));
        calls.push_back("usleep 10000");
        calls.push_back("ioctl MICOM_ISP_BLOCK_VERIFY_STATUS");
    }
    append(calls, {
        "ioctl MICOM_ISP_CHECKSUM",
        "ioctl MICOM_ISP_CHECKSUM_STATUS",
        "ioctl MICOM_ISP_CHECKSUM_VALUE",
    });
    return calls;
}

Calls good_run(bool build_a, const std::vector<uint8_t> &image)
{
    Calls calls = vendor_open();
    append(calls, clock_setup());
    if (build_a)
        calls.push_back("system echo \"1\" > /proc/enableisp");
    calls.push_back("open /dev/micom O_RDWR|O_NOCTTY");
    append(calls, isp_entry(build_a));
    if (build_a)
        calls.push_back("sleep 6");
    calls.push_back("ioctl MICOM_ISP_GET_SYNC");
    append(calls, flash(image));
    append(calls, isp_exit(build_a));
    calls.push_back("close /dev/micom");
    append(calls, vendor_close());
    return calls;
}

std::string good_output(uint16_t first_checksum, uint16_t file_checksum)
{
    std::string out = "OPEN MICOM\n"
                      "CHECKSUM\n";
    out += line("CHECKSUM = 0x%04X\n", first_checksum);
    out += "CHIP ERASE\n"
           "ERASE OK\n"
           "CHIP ERASE VERIFY\n"
           "ERASE VERIFY OK\n";
    out += line("FILE CHECKSUM= 0x%04X\n", file_checksum);
    for (unsigned block = 0; block < 32; ++block) {
        out += line("0x%02X BLOCK PROGRAMMING\n", block);
        out += line("0x%02X BLOCK VERIFY OK\n", block);
    }
    out += "CHECKSUM\n";
    out += line("CHECKSUM = 0x%04X\n", file_checksum);
    out += "CLOSE MICOM\n";
    return out;
}

std::vector<uint8_t> padded_image(const std::string &file_contents)
{
    std::vector<uint8_t> image(8192, 0x00);
    for (size_t i = 0; i < file_contents.size() && i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(file_contents[i]);
    return image;
}

} // namespace expected
