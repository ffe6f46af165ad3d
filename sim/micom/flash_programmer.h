// SPDX-License-Identifier: MIT
// The micom's on-chip flash programmer on the ISP link: 8 KiB of NOR flash in
// 32 blocks of 256 bytes, four-byte commands, an echo of every byte and a
// status byte after every complete command or data byte.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <memory>

#include "micom_model.h"
#include "timers.h"

namespace micom::detail {

class FlashProgrammer {
public:
    static constexpr size_t kFlashSize = 8192;
    static constexpr size_t kBlockSize = 256;
    static constexpr size_t kBlocks = kFlashSize / kBlockSize;

    FlashProgrammer(MicomEnv& env, const MicomConfig& cfg);

    /// The programmer starts; with @answer_sync it answers the sync byte that
    /// selected it with 0xAA.
    void start(bool answer_sync);
    /// It stops (reset, power off): a step under way is abandoned unfinished.
    void stop();
    /// A byte received with correct framing while the programmer has its clock.
    void receive(uint8_t byte);

    void set_nak(IspStep step, bool nak) { nak_[static_cast<size_t>(step)] = nak; }
    const std::array<uint8_t, kFlashSize>& flash() const;
    void set_flash(const std::array<uint8_t, kFlashSize>& content);

private:
    enum class State : uint8_t { Idle, Command, Busy, Data };

    bool nak(IspStep s) const { return nak_[static_cast<size_t>(s)]; }
    void command_complete();
    void finish(uint8_t status, Nanos delay, State next);
    void data_byte(uint8_t byte);
    bool block_verifies(size_t block) const;
    void erase();

    MicomEnv& env_;
    const MicomConfig& cfg_;
    Timers steps_;

    State state_ = State::Idle;
    std::array<uint8_t, 4> cmd_{};
    size_t cmd_len_ = 0;

    // block programming in progress
    size_t data_block_ = 0;
    size_t data_offset_ = 0;
    bool data_accepted_ = false;  ///< false after a refused block command: bytes are taken but not programmed

    /// The flash cells; none while erased with nothing programmed since (a
    /// box's micom is made with every box, and few of them are flashed).
    struct Cells {
        std::array<uint8_t, kFlashSize> flash;
        std::array<uint8_t, kFlashSize> intended;  ///< bytes programmed since the last erase
        std::bitset<kFlashSize> programmed;        ///< which of them were programmed
    };
    Cells& cells();
    std::unique_ptr<Cells> cells_;
    std::array<bool, 6> nak_{};
};

}  // namespace micom::detail
