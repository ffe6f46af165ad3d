// SPDX-License-Identifier: MIT
// micomflash: the front-panel micom's firmware programmer.
//
// Usage: micomflash IMAGE
//
// Exit status: 0 when the micom answered the sync and acknowledged every
// checksum, erase, blank-check, block, byte and verify step; 1 when anything
// went wrong after the platform handles were opened (including an image that
// cannot be opened and a /dev/micom that cannot be opened); 2 without an
// image argument; -1 when llad or gbus cannot be opened; 9 when the RUA
// instance cannot be created.  An image whose read fails with an error (a
// directory, say) counts as one that cannot be opened.
//
// The image is read before anything reaches the micom: right after the clock
// set-up, before build A's hand-over request and before /dev/micom is opened.
// An unreadable image therefore leaves the micom in its normal firmware.
#include "programmer_78k0s_kx1-lumeta.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "micom_ioctl.h"
#include "vendor/llad.h"

#ifndef MICOMFLASH_BUILD_A
#error "define MICOMFLASH_BUILD_A: 1 for build A, 0 for build B"
#endif

extern "C" {

int32_t ISP_CLKGPIO = 2;
int32_t ISP_8MHZ_NEN = 3;
int32_t MCU_PWR_NEN = 4;
int32_t ISP_RST = 5;
int32_t ISP_NEN = 6;
int32_t ACTIVE_ISPEN = MICOMFLASH_BUILD_A ? 1 : 0;

int32_t fd = -1;

int main(int argc, char *argv[]);

} // extern "C"

namespace {

// GPIO block: masked writes, bits 31..16 select the pins, bits 15..0 give
// the new values. Nothing is ever read back.
constexpr uint32_t GPIO_DIRECTION = 0x10500;
constexpr uint32_t GPIO_DATA = 0x10504;

// Clock generator: module 43 of the RUA library.
constexpr RMuint32 CLOCKGEN_MODULE = 43;
constexpr RMuint32 CLOCKGEN_DIVIDER_FREQUENCY = 4409;  // set {divider, Hz}
constexpr RMuint32 CLOCKGEN_DIVIDER_QUERY = 4411;      // {divider} -> Hz
constexpr RMuint32 CLOCKGEN_ROUTE = 4417;              // {divider, 2, 4}
constexpr RMuint32 MICOM_CLOCK_DIVIDER = 9;

constexpr int32_t STATUS_ACK = MICOM_ISP_ACK;  // the micom acknowledged
constexpr int32_t SYNC_NOT_ANSWERED = 1;

#if MICOMFLASH_BUILD_A
const char ENABLE_ISP_COMMAND[] = "echo \"1\" > /proc/enableisp";
#endif

// Steps that printed a failure; any makes the exit status 1.
int32_t failed_steps = 0;

void step_failed()
{
    ++failed_steps;
}

uint32_t pin_mask(int32_t pin)
{
    return 1u << (16 + pin);
}

uint32_t pin_value(int32_t pin)
{
    return 1u << pin;
}

void gpio_make_output(struct gbus *bus, int32_t pin)
{
    gbus_write_uint32(bus, GPIO_DIRECTION, pin_mask(pin) | pin_value(pin));
}

void gpio_drive_high(struct gbus *bus, int32_t pin)
{
    gbus_write_uint32(bus, GPIO_DATA, pin_mask(pin) | pin_value(pin));
}

void gpio_drive_low(struct gbus *bus, int32_t pin)
{
    gbus_write_uint32(bus, GPIO_DATA, pin_mask(pin));
}

// Prints the block's programming line and sends its programming command.
void start_block(int32_t block, int32_t *status)
{
    printf("0x%02X BLOCK PROGRAMMING\n", static_cast<unsigned>(block));
    ioctl(fd, MICOM_ISP_BLOCK_PROGRAM, &block);
    ioctl(fd, MICOM_ISP_BLOCK_PROGRAM_STATUS, status);
    if (*status != STATUS_ACK) {
        printf("PROGRAMMING FAIL[%02X]\n", static_cast<unsigned>(*status));
        step_failed();
    }
}

} // namespace

extern "C" {

int32_t checksum(int32_t *result)
{
    int32_t status = 0;
    puts("CHECKSUM");
    // No pause: the status request waits for the micom's answer.
    ioctl(fd, MICOM_ISP_CHECKSUM);
    ioctl(fd, MICOM_ISP_CHECKSUM_STATUS, &status);
    if (status != STATUS_ACK) {
        printf("CHECKSUM ERROR[%02X]\n", static_cast<unsigned>(status));
        step_failed();
    }
    ioctl(fd, MICOM_ISP_CHECKSUM_VALUE, &status);
    *result = status;
    return 0;
}

int32_t chip_erase(void)
{
    int32_t status = 0;
    puts("CHIP ERASE");
    ioctl(fd, MICOM_ISP_CHIP_ERASE);
    usleep(12000);
    ioctl(fd, MICOM_ISP_CHIP_ERASE_STATUS, &status);
    if (status == STATUS_ACK) {
        puts("ERASE OK");
    } else {
        printf("ERASE ERROR[%02X]\n", static_cast<unsigned>(status));
        step_failed();
    }

    // The blank check runs whatever the erase answered.
    puts("CHIP ERASE VERIFY");
    ioctl(fd, MICOM_ISP_ERASE_VERIFY);
    usleep(20000);
    ioctl(fd, MICOM_ISP_ERASE_VERIFY_STATUS, &status);
    if (status == STATUS_ACK) {
        puts("ERASE VERIFY OK");
    } else {
        printf("ERASE VERIFY ERROR[%02X]\n", static_cast<unsigned>(status));
        step_failed();
    }
    return 0;
}

int32_t read_image(const char *path, uint8_t *image)
{
    FILE *file = fopen(path, "rb");
    if (file == nullptr) {
        puts("file NULL");
        step_failed();
        return -1;
    }
    // A short or empty file leaves the rest at 0x00; bytes past the flash
    // size are not read.  A read that fails (a directory, an I/O error) is
    // no image at all: the run ends as for a file that does not open,
    // rather than flashing zeros.
    memset(image, 0x00, IMAGE_SIZE);
    const size_t items = fread(image, IMAGE_SIZE, 1, file);
    const bool failed = items == 0 && ferror(file) != 0;
    fclose(file);
    if (failed) {
        puts("file NULL");
        step_failed();
        return -1;
    }
    return 0;
}

uint16_t file_checksum(const uint8_t *image)
{
    // One right shift per byte; the feedback 0x1B00 enters when the bit
    // shifted out was set, the byte enters the low bits after the shift.
    uint16_t c = 0;
    for (int i = 0; i < IMAGE_SIZE; ++i) {
        const uint16_t feedback = (c & 1u) != 0 ? 0x1B00u : 0u;
        c = static_cast<uint16_t>((c >> 1) ^ image[i] ^ feedback);
    }
    return c;
}

int32_t programming(const uint8_t *image)
{
    int32_t status = 0;
    int32_t block = 0;

    printf("FILE CHECKSUM= 0x%04X\n", static_cast<unsigned>(file_checksum(image)));

    start_block(block, &status);
    for (int i = 0; i < IMAGE_SIZE; ++i) {
        // One byte per write: the micom echoes it and answers with its
        // status before the next one goes out.
        if (write(fd, &image[i], 1) <= 0) {
            puts("oops... write fail.");
            step_failed();
            return -1;
        }
        usleep(150);
        ioctl(fd, MICOM_ISP_BYTE_STATUS, &status);
        if (status != STATUS_ACK) {
            puts("byte error");
            step_failed();
        }

        if (i % BLOCK_SIZE == BLOCK_SIZE - 1) {
            ioctl(fd, MICOM_ISP_BLOCK_VERIFY, &block);
            usleep(10000);
            ioctl(fd, MICOM_ISP_BLOCK_VERIFY_STATUS, &status);
            if (status == STATUS_ACK) {
                printf("0x%02X BLOCK VERIFY OK\n", static_cast<unsigned>(block));
            } else {
                printf("VERIFY FAIL[%02X]\n", static_cast<unsigned>(status));
                step_failed();
            }
            ++block;
            if (block == BLOCK_COUNT)
                break;
            start_block(block, &status);
        }
    }
    return status;
}

int open_tty(void)
{
    fd = open("/dev/micom", O_RDWR | O_NOCTTY);
    if (fd < 0)
        puts("micom open error");
    else
        puts("OPEN MICOM");
    return fd;
}

void close_tty(void)
{
    puts("CLOSE MICOM");
    close(fd);
}

RMstatus cd_set_clock(struct RUA *rua, RMuint32 frequency)
{
    // The divider runs at four times the frequency the micom gets.
    RMuint32 divider[2] = {MICOM_CLOCK_DIVIDER, 4 * frequency};
    RMstatus status = RUASetProperty(rua, CLOCKGEN_MODULE,
                                     CLOCKGEN_DIVIDER_FREQUENCY, divider,
                                     sizeof divider, 0);
    if (status != RM_OK)
        printf("set error(%d)\n", static_cast<int>(status));

    // The answer lands in the second word; nothing looks at it.
    RMuint32 query[2] = {MICOM_CLOCK_DIVIDER, 0};
    status = RUAExchangeProperty(rua, CLOCKGEN_MODULE, CLOCKGEN_DIVIDER_QUERY,
                                 &query[0], sizeof query[0], &query[1],
                                 sizeof query[1]);
    if (status != RM_OK)
        printf("query error(%d)\n", static_cast<int>(status));

    RMuint32 route[3] = {MICOM_CLOCK_DIVIDER, 2, 4};
    status = RUASetProperty(rua, CLOCKGEN_MODULE, CLOCKGEN_ROUTE, route,
                            sizeof route, 0);
    if (status != RM_OK)
        printf("Failed to route CD %u to RClk %u\n", 5u, 1u);
    return status;
}

int32_t programming_mode_init(struct gbus *bus)
{
    gpio_make_output(bus, ISP_CLKGPIO);
    gpio_make_output(bus, ISP_8MHZ_NEN);
    gpio_make_output(bus, MCU_PWR_NEN);
    gpio_make_output(bus, ISP_RST);
    if (ACTIVE_ISPEN) {
        gpio_make_output(bus, ISP_NEN);
        gpio_drive_low(bus, ISP_NEN);
    }

    // Clock line high, 8 MHz off, micom unpowered and held in reset.
    gpio_drive_high(bus, ISP_CLKGPIO);
    gpio_drive_high(bus, ISP_8MHZ_NEN);
    gpio_drive_high(bus, MCU_PWR_NEN);
    gpio_drive_low(bus, ISP_RST);
    sleep(1);

    // Power while still in reset, then one 10 us low pulse on the clock
    // line and the sync byte, before the micom runs.
    gpio_drive_low(bus, MCU_PWR_NEN);
    usleep(20000);
    gpio_drive_low(bus, ISP_CLKGPIO);
    usleep(10);
    gpio_drive_high(bus, ISP_CLKGPIO);
    usleep(10);
    ioctl(fd, MICOM_ISP_SYNC);
    usleep(10);

    // Out of reset, then the 8 MHz clock: the flash programmer starts.
    gpio_drive_high(bus, ISP_RST);
    usleep(5000);
    gpio_drive_low(bus, ISP_8MHZ_NEN);
    usleep(20);
    return 0;
}

int32_t programming_mode_exit(struct gbus *bus)
{
    sleep(2);
    gpio_drive_high(bus, ISP_8MHZ_NEN);
    gpio_drive_low(bus, ISP_RST);
    usleep(10000);
    gpio_drive_low(bus, ISP_CLKGPIO);
    gpio_drive_high(bus, MCU_PWR_NEN);
    usleep(1000);
    gpio_drive_high(bus, ISP_RST);
    usleep(1000);
    // Powered with reset released and the clock line low: the micom starts
    // its normal firmware.
    gpio_drive_low(bus, MCU_PWR_NEN);
    usleep(1000);
    if (ACTIVE_ISPEN)
        gpio_drive_high(bus, ISP_NEN);
    return 0;
}

int main(int argc, char *argv[])
{
    if (argc < 2 || argv[1] == nullptr) {
        fputs("usage: micomflash IMAGE\n", stderr);
        return 2;
    }

    struct llad *llad = llad_open("0");
    if (llad == nullptr) {
        puts("llad open error");
        return -1;
    }
    struct gbus *bus = gbus_open(llad);
    if (bus == nullptr) {
        puts("GBus open error");
        return -1;
    }
    struct RUA *rua = nullptr;
    if (RUACreateInstance(&rua, 0) != RM_OK) {
        fputs("Error creating RUA instance\n", stderr);
        return 9;
    }

    // A clock failure shows up later as an unanswered sync.
    cd_set_clock(rua, 8000000);

    bool flashed = false;
    uint8_t image[IMAGE_SIZE];
    if (read_image(argv[1], image) == 0) {
#if MICOMFLASH_BUILD_A
        // The micom's normal firmware hands over to its flash programmer.
        const int ignored = system(ENABLE_ISP_COMMAND);
        (void)ignored;
#endif
        if (open_tty() >= 0) {
            int32_t sync = programming_mode_init(bus);
#if MICOMFLASH_BUILD_A
            sleep(6);
#endif
            ioctl(fd, MICOM_ISP_GET_SYNC, &sync);
            if (sync == SYNC_NOT_ANSWERED) {
                puts("programming_mode_init fail.");
                step_failed();
            } else {
                int32_t value = 0;
                checksum(&value);
                printf("CHECKSUM = 0x%04X\n", static_cast<unsigned>(value));
                chip_erase();
                programming(image);
                checksum(&value);
                printf("CHECKSUM = 0x%04X\n", static_cast<unsigned>(value));
                flashed = true;
            }
            programming_mode_exit(bus);
            close_tty();
        } else {
            step_failed();
        }
    }

    RUADestroyInstance(rua);
    gbus_close(bus);
    llad_close(llad);
    return flashed && failed_steps == 0 ? 0 : 1;
}

} // extern "C"
