// SPDX-License-Identifier: MIT
#include "box/box.h"

#include <cerrno>

#ifndef FP_SIM_MODULE_PATH
#define FP_SIM_MODULE_PATH "libfrontpanel_sim.so"
#endif

namespace sim {

/// The micom's view of the box: virtual time, the two lines, the power switch.
class Box::MicomPort : public micom::MicomEnv {
public:
    explicit MicomPort(Box& b) : b_(b) {}
    micom::Nanos now() const override { return b_.m_->now(); }
    uint64_t at(micom::Nanos t, std::function<void()> fn) override {
        return b_.m_->events().at(t < now() ? now() : t, std::move(fn));
    }
    void cancel(uint64_t id) override { b_.m_->events().cancel(id); }
    void transmit(micom::Link l, uint8_t byte) override { link(l).micom_send(byte); }
    micom::Nanos char_time(micom::Link l) const override {
        return const_cast<MicomPort*>(this)->link(l).micom_format.char_time();
    }
    void set_box_power(bool on) override {
        if (on)
            b_.power_on_boot();
        else
            b_.power_off_now();
    }

private:
    SerialLink& link(micom::Link l) { return l == micom::Link::Primary ? b_.soc_->primary() : b_.soc_->isp(); }
    Box& b_;
};

Box::Box(BoxConfig cfg) : cfg_(std::move(cfg)) {
    if (cfg_.module_path.empty())
        cfg_.module_path = FP_SIM_MODULE_PATH;
    m_ = std::make_unique<Machine>(cfg_.hz);
    soc_ = std::make_unique<Soc>(*m_, SocConfig{cfg_.seed, cfg_.reg_access_ns, cfg_.baud, cfg_.chip_id});
    kernel_ = std::make_unique<Kernel>(*m_, *soc_, KernelConfig{cfg_.module_path, cfg_.restore_module_image});
    soc_->on_bus_error = [this](const std::string& what) { kernel_->bug(what); };

    port_ = std::make_unique<MicomPort>(*this);
    micom_ = std::make_unique<micom::MicomModel>(*port_, cfg_.micom);
    soc_->primary().deliver_to_micom = [this](uint8_t b, Nanos start, bool ok) {
        micom_->receive(micom::Link::Primary, b, start, ok);
    };
    soc_->isp().deliver_to_micom = [this](uint8_t b, Nanos start, bool ok) {
        micom_->receive(micom::Link::Isp, b, start, ok);
    };

    // the board's pull-ups and pull-downs on the micom's lines
    Gpio& gpio = soc_->gpio();
    gpio.set_default_level(2, false);  // ISP clock line low
    gpio.set_default_level(3, true);   // 8 MHz clock off
    gpio.set_default_level(4, false);  // micom powered
    gpio.set_default_level(5, true);   // micom running
    gpio.set_default_level(6, true);   // ISP disabled
    soc_->clock_generator().on_reference = [this](bool present) { micom_->set_clock_reference(present); };
    gpio.on_change = [this](Nanos, unsigned pin, bool level) {
        if (pin >= 2 && pin <= 6)
            micom_->set_pin(micom::Pin(pin), level);
    };
}

Box::~Box() {
    m_->abort_all();
    // the kernel's pending work and the micom's timers are cancelled in the
    // machine's event queue
    kernel_.reset();
    micom_.reset();
    soc_.reset();
    m_.reset();
}

int Box::boot() {
    if (kernel_->halted()) {
        // The CPU halted while the micom kept the box on (the power-off
        // reached no micom: /dev/micom was open).  Nothing of that kernel
        // runs again: a start takes a power cycle, as pulling the plug
        // would, and finds a fresh kernel and a freshly loaded driver.
        power_off_now();
    }
    if (!powered_) {
        // switched on by hand: a fresh start, as when the micom switches it
        // on; the contexts that lost power unwind before their image goes
        if (m_->current() == m_->world())
            m_->settle();
        // It is the micom that powers the box, so it is asked to: then its
        // state and the kernel's agree (it sends keys only to a box it has
        // on).  Its switch-on finds the box on already: this is the start.
        powered_ = true;
        if (!micom_->switch_box_on()) {
            powered_ = false;
            return -EIO;  // the micom does not run, nothing powers the box
        }
        kernel_->fresh_start();
    }
    return kernel_->load_module();
}

void Box::power_off_now() {
    if (!powered_)
        return;
    powered_ = false;
    kernel_->power_lost();
    soc_->power_lost();
}

void Box::power_on_boot() {
    if (powered_)
        return;
    booting_ = true;
    Task* boot = m_->spawn("boot", [this] {
        struct Done {
            bool& flag;
            ~Done() { flag = false; }
        } done{booting_};
        powered_ = true;
        kernel_->fresh_start();
        return kernel_->load_module_here();
    }, true);
    m_->release(boot);  // nobody waits for it: its result is last_boot_result()
}

}  // namespace sim
