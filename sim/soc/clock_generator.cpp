// SPDX-License-Identifier: MIT
#include "soc/clock_generator.h"

#include <cstring>

#include "machine/bounded_log.h"

namespace sim {

namespace {

std::vector<uint32_t> record_words(const void* record, uint32_t size) {
    std::vector<uint32_t> words(size / 4);
    if (record && !words.empty())
        std::memcpy(words.data(), record, words.size() * 4);
    return words;
}

}  // namespace

int32_t ClockGenerator::set_property(uint32_t module, uint32_t property, const void* value, uint32_t size) {
    Request r{module, property, record_words(value, size), size, kOk};
    const uint32_t divider = r.words.empty() ? 0 : r.words[0];
    if (module != kModule || !value) {
        r.status = kInvalidRequest;
        return finish(std::move(r));
    }
    if (auto f = failures_.find(property); f != failures_.end()) {
        // the divider named is left stopped
        dividers_.erase(divider);
        r.status = f->second;
        return finish(std::move(r));
    }
    if (property == kSetFrequency && size == 8) {
        dividers_[divider].hz = r.words[1];
    } else if (property == kRoute && size == 12) {
        Divider& d = dividers_[divider];
        d.routed = true;
        d.output = r.words[1];
        d.mode = r.words[2];
    } else {
        r.status = kInvalidRequest;
    }
    return finish(std::move(r));
}

int32_t ClockGenerator::exchange_property(uint32_t module, uint32_t property, const void* in, uint32_t in_size,
                                          void* out, uint32_t out_size) {
    Request r{module, property, record_words(in, in_size), in_size, kOk};
    const uint32_t divider = r.words.empty() ? 0 : r.words[0];
    if (module != kModule || property != kQueryFrequency || in_size != 4 || out_size != 4 || !in || !out) {
        r.status = kInvalidRequest;
        return finish(std::move(r));
    }
    if (auto f = failures_.find(property); f != failures_.end()) {
        dividers_.erase(divider);
        r.status = f->second;
        return finish(std::move(r));
    }
    const uint32_t hz = frequency(divider);
    std::memcpy(out, &hz, 4);
    return finish(std::move(r));
}

int32_t ClockGenerator::finish(Request r) {
    const int32_t status = r.status;
    append_bounded(requests_, std::move(r), kRequestLimit);
    if (on_reference)
        on_reference(micom_reference());
    return status;
}

void ClockGenerator::fail(uint32_t property, int32_t status) {
    if (status == kOk)
        failures_.erase(property);
    else
        failures_[property] = status;
}

uint32_t ClockGenerator::frequency(uint32_t divider) const {
    auto it = dividers_.find(divider);
    return it == dividers_.end() ? 0 : it->second.hz;
}

bool ClockGenerator::routed(uint32_t divider) const {
    auto it = dividers_.find(divider);
    return it != dividers_.end() && it->second.routed;
}

bool ClockGenerator::micom_reference() const {
    auto it = dividers_.find(kMicomDivider);
    if (it == dividers_.end())
        return false;
    const Divider& d = it->second;
    return d.hz == kMicomDividerHz && d.routed && d.output == kMicomOutput && d.mode == kMicomMode;
}

}  // namespace sim
