// SPDX-License-Identifier: MIT
// The SoC's clock generator as user programs reach it through the resource
// access library: module 43, whose clock dividers can be set to a frequency,
// asked for it, and routed to a clock output.  One of those outputs feeds
// the micom's 8 MHz reference (it runs at a quarter of the divider).
//
// Requests (records of 32-bit words):
//   4409 set      {divider, Hz}          size 8   the divider runs at Hz
//   4411 exchange {divider} -> {Hz}      4 in, 4 out
//   4417 set      {divider, output, mode} size 12  routes the divider to an output
// The micom's reference is present while divider 9 runs at 32 MHz and is
// routed to output 2 in mode 4.  A request can be made to fail with a chosen
// status; a failed request leaves the divider it names stopped and unrouted,
// so the reference is off after it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sim {

class ClockGenerator {
public:
    static constexpr uint32_t kModule = 43;
    static constexpr uint32_t kSetFrequency = 4409;
    static constexpr uint32_t kQueryFrequency = 4411;
    static constexpr uint32_t kRoute = 4417;

    static constexpr int32_t kOk = 6;
    static constexpr int32_t kError = 7;            ///< the request failed
    static constexpr int32_t kInvalidRequest = 8;   ///< unknown module or property, bad record size

    /// The divider, output and mode that feed the micom, and the frequency it needs.
    static constexpr uint32_t kMicomDivider = 9, kMicomOutput = 2, kMicomMode = 4;
    static constexpr uint32_t kMicomDividerHz = 32'000'000;

    /// A request as it arrived, for tests and the shell.
    struct Request {
        uint32_t module;
        uint32_t property;
        std::vector<uint32_t> words;  ///< the record sent (whole words)
        uint32_t size;                ///< its size in bytes
        int32_t status;               ///< what was answered
    };

    /// RUASetProperty: @value holds @size bytes.
    int32_t set_property(uint32_t module, uint32_t property, const void* value, uint32_t size);
    /// RUAExchangeProperty: @in holds @in_size bytes, @out receives @out_size.
    int32_t exchange_property(uint32_t module, uint32_t property, const void* in, uint32_t in_size,
                              void* out, uint32_t out_size);

    /// Requests of @property are answered with @status (kOk: served again).
    void fail(uint32_t property, int32_t status = kError);
    void clear_failures() { failures_.clear(); }

    uint32_t frequency(uint32_t divider) const;
    bool routed(uint32_t divider) const;
    /// Whether the micom gets its 8 MHz reference.
    bool micom_reference() const;
    /// The requests kept: at least the latest kRequestLimit, in order.
    const std::vector<Request>& requests() const { return requests_; }
    static constexpr size_t kRequestLimit = 1024;

    /// Called with the reference's presence after every request.
    std::function<void(bool)> on_reference;

private:
    struct Divider {
        uint32_t hz = 0;
        bool routed = false;
        uint32_t output = 0, mode = 0;
    };
    int32_t finish(Request r);

    std::map<uint32_t, Divider> dividers_;
    std::map<uint32_t, int32_t> failures_;
    std::vector<Request> requests_;
};

}  // namespace sim
