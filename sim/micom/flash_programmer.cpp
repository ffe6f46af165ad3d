// SPDX-License-Identifier: MIT
// The flash programmer, byte by byte on the ISP link:
//   - Every byte it takes is echoed at once.  A complete command is four bytes
//     <cmd> <block> 00 FF and is followed by its status byte, 0x06 (ACK) or
//     0x15 (NAK), answer_delay after its last byte unless said otherwise:
//       B0  checksum: status, then the 16-bit flash_checksum() of the whole
//           flash, low byte first (00 00 after a NAK: the host counts the bytes)
//       20  chip erase: status after erase_time; the flash is 0xFF from then on
//       30  erase verify: ACK when every byte is 0xFF
//       40  block programming: status, then 256 data bytes follow, each echoed
//           and answered byte_program_time later (new = old & data).  A refused
//           block (NAK, or a block number above 31) still takes its 256 bytes,
//           each echoed and refused, so that it stays in step with the host.
//       19  block verify: ACK only when all 256 bytes of the block were
//           programmed since the last erase (or set_flash()) and the flash holds
//           exactly them.
//     Other commands, and four bytes that do not end in 00 FF, are echoed and
//     refused.  set_nak() refuses a chosen step; the bytes are still echoed,
//     and refused data bytes or erases change nothing.
//   - The sync byte 0xAA arriving between commands is answered with one 0xAA.
//   - While a step is under way (erase, a data byte being programmed, a status
//     not yet sent) arriving bytes are lost, as on a UART without a FIFO.
#include "flash_programmer.h"

namespace micom::detail {
namespace {

constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;
constexpr uint8_t kSync = 0xAA;

constexpr uint8_t kChecksum = 0xB0;
constexpr uint8_t kChipErase = 0x20;
constexpr uint8_t kEraseVerify = 0x30;
constexpr uint8_t kBlockProgram = 0x40;
constexpr uint8_t kBlockVerify = 0x19;

}  // namespace

FlashProgrammer::FlashProgrammer(MicomEnv& env, const MicomConfig& cfg) : env_(env), cfg_(cfg), steps_(env) {}

const std::array<uint8_t, FlashProgrammer::kFlashSize>& FlashProgrammer::flash() const {
    static const std::array<uint8_t, kFlashSize> erased = [] {
        std::array<uint8_t, kFlashSize> a;
        a.fill(0xFF);
        return a;
    }();
    return cells_ ? cells_->flash : erased;
}

FlashProgrammer::Cells& FlashProgrammer::cells() {
    if (!cells_) {
        cells_ = std::make_unique<Cells>();
        cells_->flash.fill(0xFF);
        cells_->intended.fill(0xFF);
    }
    return *cells_;
}

void FlashProgrammer::start(bool answer_sync) {
    stop();
    if (answer_sync) env_.transmit(Link::Isp, kSync);
}

void FlashProgrammer::stop() {
    steps_.cancel_all();
    state_ = State::Idle;
    cmd_len_ = 0;
}

void FlashProgrammer::set_flash(const std::array<uint8_t, kFlashSize>& content) {
    erase();
    cells().flash = content;
}

void FlashProgrammer::receive(uint8_t b) {
    switch (state_) {
    case State::Busy:
        // Still erasing or programming: the byte is lost, as on a UART
        // without a receive FIFO.  The host never sends before the status.
        return;
    case State::Data:
        env_.transmit(Link::Isp, b);
        data_byte(b);
        return;
    case State::Idle:
        if (b == kSync) {  // sync: answered, not echoed in addition
            env_.transmit(Link::Isp, kSync);
            return;
        }
        state_ = State::Command;
        cmd_len_ = 0;
        [[fallthrough]];
    case State::Command:
        env_.transmit(Link::Isp, b);
        cmd_[cmd_len_++] = b;
        if (cmd_len_ == cmd_.size()) command_complete();
        return;
    }
}

// Sends @status after @delay, then carries on in @next.
void FlashProgrammer::finish(uint8_t status, Nanos delay, State next) {
    state_ = State::Busy;
    steps_.at(env_.now() + delay, [this, status, next] {
        env_.transmit(Link::Isp, status);
        state_ = next;
    });
}

void FlashProgrammer::command_complete() {
    cmd_len_ = 0;
    const uint8_t code = cmd_[0];
    const size_t block = cmd_[1];
    const bool well_formed = cmd_[2] == 0x00 && cmd_[3] == 0xFF;
    if (!well_formed) return finish(kNak, cfg_.answer_delay, State::Idle);

    switch (code) {
    case kChecksum:
        state_ = State::Busy;
        steps_.at(env_.now() + cfg_.answer_delay, [this] {
            // The host counts two value bytes after the status in either case.
            const bool ok = !nak(IspStep::Checksum);
            const uint16_t c = ok ? flash_checksum(flash().data(), kFlashSize) : 0;
            env_.transmit(Link::Isp, ok ? kAck : kNak);
            env_.transmit(Link::Isp, static_cast<uint8_t>(c & 0xFF));
            env_.transmit(Link::Isp, static_cast<uint8_t>(c >> 8));
            state_ = State::Idle;
        });
        return;
    case kChipErase:
        state_ = State::Busy;
        steps_.at(env_.now() + cfg_.erase_time, [this] {
            // The flash is erased when the erase time is over: a power failure
            // before then leaves it as it was.
            const bool ok = !nak(IspStep::Erase);
            if (ok) erase();
            env_.transmit(Link::Isp, ok ? kAck : kNak);
            state_ = State::Idle;
        });
        return;
    case kEraseVerify: {
        bool blank = !nak(IspStep::EraseVerify);
        for (size_t i = 0; blank && cells_ && i < kFlashSize; ++i) blank = cells_->flash[i] == 0xFF;
        return finish(blank ? kAck : kNak, cfg_.answer_delay, State::Idle);
    }
    case kBlockProgram:
        // The host sends the block's 256 bytes whatever the answer, so a
        // refused block still takes them (each echoed and refused) to stay in
        // step with the host; nothing of them is programmed.
        data_block_ = block;
        data_offset_ = 0;
        data_accepted_ = block < kBlocks && !nak(IspStep::BlockProgram);
        return finish(data_accepted_ ? kAck : kNak, cfg_.answer_delay, State::Data);
    case kBlockVerify:
        return finish(block < kBlocks && !nak(IspStep::BlockVerify) && block_verifies(block) ? kAck : kNak,
                      cfg_.answer_delay, State::Idle);
    default:
        return finish(kNak, cfg_.answer_delay, State::Idle);  // unknown command
    }
}

void FlashProgrammer::data_byte(uint8_t b) {
    state_ = State::Busy;
    steps_.at(env_.now() + cfg_.byte_program_time, [this, b] {
        const bool ok = data_accepted_ && !nak(IspStep::Byte);
        if (ok) {
            // NOR flash: programming can only clear bits.
            const size_t addr = data_block_ * kBlockSize + data_offset_;
            Cells& c = cells();
            c.flash[addr] &= b;
            c.intended[addr] = b;
            c.programmed.set(addr);
        }
        env_.transmit(Link::Isp, ok ? kAck : kNak);
        state_ = ++data_offset_ == kBlockSize ? State::Idle : State::Data;
    });
}

bool FlashProgrammer::block_verifies(size_t block) const {
    if (!cells_) return false;  // nothing programmed since the last erase
    for (size_t i = block * kBlockSize; i < (block + 1) * kBlockSize; ++i)
        if (!cells_->programmed[i] || cells_->flash[i] != cells_->intended[i]) return false;
    return true;
}

void FlashProgrammer::erase() { cells_.reset(); }

}  // namespace micom::detail

namespace micom {

uint16_t flash_checksum(const uint8_t* data, size_t len) {
    uint16_t c = 0;
    for (size_t i = 0; i < len; ++i)
        c = static_cast<uint16_t>((c >> 1) ^ data[i] ^ ((c & 1) ? 0x1B00 : 0));
    return c;
}

}  // namespace micom
