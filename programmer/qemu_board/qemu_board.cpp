// SPDX-License-Identifier: MIT
// The SoC vendor's user-space API (vendor/*.h) for the QEMU board on which
// micomflash runs beside the micom model: the program is the real one, the
// chip is not.  The QEMU board has no GPIO block and no clock generator of
// its own; both live with the micom model on the host, and this library
// reaches them through a 16550 UART of the board, the pin channel (the PC's
// fourth serial port, I/O port 0x2E8, wired to a socket of the host):
//
//   llad_open            says hello on the pin channel; null when nobody answers
//   gbus_write_uint32    one 'W' frame: the address, the value and the
//                        program's microsecond clock
//   RUASetProperty       one 'S' frame with the record; the host's clock
//   RUAExchangeProperty  generator answers with its status (and the 'X' output)
//
// (pin_channel.h has the frames.)  Every call waits for the host's answer
// before it returns: a GPIO write has taken effect on the host's pins when
// the program goes on, as a register write has on the box.  That is what
// keeps the order across the two channels that meet in the micom: the pins
// here and the ISP link that the kernel module drives.  The flash
// programmer starts only when the sync byte's start bit comes after the ISP
// clock pulse and before reset is released:
//   - the pulse's end is applied on the host before the program issues the
//     sync ioctl (its write returned only after the host's answer), so the
//     sync byte reaches the host after the pulse;
//   - the module puts the sync byte into its UART inside the ioctl, and
//     QEMU hands it to the ISP socket there and then, so it is queued on
//     the host before the program writes the reset release; the host reads
//     every byte queued on the ISP link before it applies a pin change.
// Neither step depends on how fast the guest or the host runs.
//
// The UART is reached without a kernel driver, as the box's llad reaches
// its registers: on the MIPS Malta board through /dev/mem (ISA I/O space at
// physical 0x18000000), on a PC through ioperm().  Root only, as on the box.
#include <fcntl.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#endif

#include "pin_channel.h"
#include "vendor/gbus.h"
#include "vendor/llad.h"
#include "vendor/rmdef.h"
#include "vendor/rua.h"

namespace {

constexpr RMstatus kError = 7;
constexpr RMstatus kTimeout = 10;

constexpr unsigned kPinUartPort = 0x2E8;
constexpr uint64_t kAnswerTimeoutUs = 2'000'000;

// 16550 registers (offsets from the port) and bits.
constexpr unsigned kRbrThr = 0, kIer = 1, kFcr = 2, kLcr = 3, kMcr = 4, kLsr = 5;
constexpr uint8_t kLsrDataReady = 0x01, kLsrThrEmpty = 0x20;

uint64_t now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1'000'000u + uint64_t(ts.tv_nsec) / 1000u;
}

// The pin channel's UART registers.
class PinUart {
public:
    bool open() {
#if defined(__mips__)
        constexpr off_t kIsaIoPhys = 0x18000000;
        const long page = sysconf(_SC_PAGESIZE);
        const off_t base = (kIsaIoPhys + kPinUartPort) & ~off_t(page - 1);
        int fd = ::open("/dev/mem", O_RDWR | O_SYNC | O_CLOEXEC);
        if (fd < 0) return false;
        void* map = mmap(nullptr, size_t(page), PROT_READ | PROT_WRITE, MAP_SHARED, fd, base);
        ::close(fd);
        if (map == MAP_FAILED) return false;
        map_ = map;
        map_size_ = size_t(page);
        regs_ = static_cast<volatile uint8_t*>(map) + (kIsaIoPhys + kPinUartPort - base);
#elif defined(__x86_64__) || defined(__i386__)
        if (ioperm(kPinUartPort, 8, 1) != 0) return false;
        io_ = true;
#else
        return false;
#endif
        if (read(kLsr) == 0xFF) return close(), false;  // nothing at the port
        write(kLcr, 0x03);                               // 8N1
        write(kIer, 0x00);                               // no interrupts: polled
        write(kFcr, 0x07);                               // FIFOs on and cleared
        write(kMcr, 0x00);
        while (read(kLsr) & kLsrDataReady) read(kRbrThr);
        return true;
    }

    void close() {
        if (map_) munmap(map_, map_size_);
        map_ = nullptr;
        regs_ = nullptr;
#if defined(__x86_64__) || defined(__i386__)
        if (io_) ioperm(kPinUartPort, 8, 0);
#endif
        io_ = false;
    }

    bool is_open() const { return regs_ != nullptr || io_; }

    bool send(const std::vector<uint8_t>& bytes) {
        for (uint8_t b : bytes) {
            const uint64_t deadline = now_us() + kAnswerTimeoutUs;
            while (!(read(kLsr) & kLsrThrEmpty))
                if (now_us() > deadline) return false;
            write(kRbrThr, b);
        }
        return true;
    }

    // The next frame from the host, or nothing after the time-out.
    std::optional<pin_channel::Frame> receive() {
        const uint64_t deadline = now_us() + kAnswerTimeoutUs;
        for (;;) {
            if (read(kLsr) & kLsrDataReady) {
                if (auto f = decoder_.feed(read(kRbrThr))) return f;
            } else if (now_us() > deadline) {
                return std::nullopt;
            }
        }
    }

private:
    uint8_t read(unsigned reg) {
#if defined(__x86_64__) || defined(__i386__)
        if (io_) return inb(kPinUartPort + reg);
#endif
        return regs_[reg];
    }
    void write(unsigned reg, uint8_t v) {
#if defined(__x86_64__) || defined(__i386__)
        if (io_) return outb(v, kPinUartPort + reg);
#endif
        regs_[reg] = v;
    }

    void* map_ = nullptr;
    size_t map_size_ = 0;
    volatile uint8_t* regs_ = nullptr;
    bool io_ = false;
    pin_channel::Decoder decoder_;
};

PinUart g_uart;

// Sends @request and waits for the host's answer.
std::optional<pin_channel::Answer> ask(const pin_channel::Frame& request) {
    if (!g_uart.is_open()) return std::nullopt;
    if (!g_uart.send(pin_channel::encode(request))) return std::nullopt;
    auto reply = g_uart.receive();
    if (!reply) {
        std::fputs("qemu board: the host did not answer on the pin channel\n", stderr);
        return std::nullopt;
    }
    return pin_channel::read_answer(*reply);
}

struct OneOfEach {
    bool llad = false, gbus = false, rua = false;
} g_open;

// The handles: one chip, one bus, one instance; their addresses are all
// that the program sees.
char g_llad_handle, g_gbus_handle, g_rua_handle;

bool is_rua(const RUA* instance) {
    return g_open.rua && instance == reinterpret_cast<const RUA*>(&g_rua_handle);
}

}  // namespace

extern "C" {

struct llad* llad_open(const char* device) {
    if (g_open.llad || !device || std::strcmp(device, "0") != 0) return nullptr;
    if (!g_uart.open()) return nullptr;
    auto hello = ask(pin_channel::Frame{pin_channel::kHello, {}});
    if (!hello || hello->status != RM_OK) {
        g_uart.close();
        return nullptr;
    }
    g_open.llad = true;
    return reinterpret_cast<struct llad*>(&g_llad_handle);
}

void llad_close(struct llad* llad) {
    if (!g_open.llad || llad != reinterpret_cast<struct llad*>(&g_llad_handle)) return;
    g_open.llad = false;
    g_uart.close();
}

struct gbus* gbus_open(struct llad* llad) {
    if (!g_open.llad || llad != reinterpret_cast<struct llad*>(&g_llad_handle)) return nullptr;
    g_open.gbus = true;
    return reinterpret_cast<struct gbus*>(&g_gbus_handle);
}

void gbus_close(struct gbus* bus) {
    if (bus == reinterpret_cast<struct gbus*>(&g_gbus_handle)) g_open.gbus = false;
}

void gbus_write_uint32(struct gbus* bus, uint32_t addr, uint32_t data) {
    if (!g_open.gbus || bus != reinterpret_cast<struct gbus*>(&g_gbus_handle)) return;
    ask(pin_channel::gbus_write(now_us(), addr, data));
}

RMstatus RUACreateInstance(struct RUA** instance, RMuint32 chip) {
    if (!instance || chip != 0 || !g_open.llad) return kError;
    g_open.rua = true;
    *instance = reinterpret_cast<struct RUA*>(&g_rua_handle);
    return RM_OK;
}

RMstatus RUADestroyInstance(struct RUA* instance) {
    if (!is_rua(instance)) return kError;
    g_open.rua = false;
    return RM_OK;
}

RMstatus RUASetProperty(struct RUA* instance, RMuint32 module_id, RMuint32 property_id, void* value,
                        RMuint32 size, RMuint32 /*timeout_us: the host answers at once*/) {
    if (!is_rua(instance) || size > pin_channel::kMaxPayload - 8) return kError;
    auto a = ask(pin_channel::set_property(module_id, property_id, value, size));
    return a ? a->status : kTimeout;
}

RMstatus RUAExchangeProperty(struct RUA* instance, RMuint32 module_id, RMuint32 property_id, void* in,
                             RMuint32 in_size, void* out, RMuint32 out_size) {
    if (!is_rua(instance) || in_size > pin_channel::kMaxPayload - 12 || out_size > pin_channel::kMaxPayload - 4)
        return kError;
    auto a = ask(pin_channel::exchange_property(module_id, property_id, in, in_size, out_size));
    if (!a) return kTimeout;
    if (a->status == RM_OK) {
        if (a->out.size() != out_size) return kError;
        if (out_size) std::memcpy(out, a->out.data(), out_size);
    }
    return a->status;
}

const char* RMstatusToString(RMstatus status) {
    static const char* const kNames[] = {"RM_OK", "RM_ERROR", "RM_INVALID_PARAMETER", "RM_NOT_SUPPORTED",
                                         "RM_TIMEOUT"};
    return status >= 6 && status <= 10 ? kNames[status - 6] : "RM_UNKNOWN_STATUS";
}

RMuint64 RMGetTimeInMicroSeconds(void) { return now_us(); }

}  // extern "C"
