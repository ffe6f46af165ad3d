// SPDX-License-Identifier: MIT
// The platform interface (driver/platform/*.h) at its limits, on the
// simulator: tests/contract/platform_contract.table holds what each
// function returns where the kernel refuses, fails or stops, as the box's
// Linux 3.9 gives it and as 6.x does where that differs.  The simulated
// kernel is the box: it must give the 3.9 column.  The QEMU guests run the
// same scenarios on the real kernels against the same table.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "box/box.h"
#include "platform/kernel.h"
#include "sim_helpers.h"

namespace {

using sim::Box;

struct Contract {
    std::string scenario;
    std::string linux_3_9;  ///< the box, and the simulator
};

/// The table's scenarios and their 3.9 column.
std::vector<Contract> read_table() {
    std::vector<Contract> rows;
    std::ifstream in(FP_CONTRACT_TABLE);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        const size_t a = line.find(" | "), b = line.find(" | ", a + 3);
        if (a == std::string::npos || b == std::string::npos)
            ADD_FAILURE() << "a line of the table without its fields: " << line;
        else
            rows.push_back({line.substr(0, a), line.substr(a + 3, b - a - 3)});
    }
    return rows;
}

// ---- the simulator's runner of each scenario ----

std::string words(const char* fmt, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, fmt, args...);
    return text;
}

/// @body in a process of @box; its result.
std::string in_process(Box& box, const std::function<std::string()>& body) {
    std::string result;
    box.kernel().run_process("contract", [&] {
        result = body();
        return 0;
    });
    return result;
}

size_t log_lines_with(Box& box, const std::string& text) {
    size_t n = 0;
    for (const std::string& m : simtest::log_messages(box))
        n += m.find(text) != std::string::npos;
    return n;
}

std::string set_clock(Box& box, unsigned y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s,
                      long nsec = 0) {
    return in_process(box, [&] {
        const int64_t offset = box.kernel().wall_ns() - int64_t(box.machine().now());
        const int r = kp_set_wall_clock(y, mo, d, h, mi, s, nsec);
        const bool kept = box.kernel().wall_ns() - int64_t(box.machine().now()) == offset;
        const std::string clock = kept ? "kept" : std::to_string(box.kernel().wall_ns() / 1'000'000'000);
        return words("ret=%d clock=%s warnings=%zu", r, clock.c_str(),
                     log_lines_with(box, "beyond this kernel's clock"));
    });
}

std::string past_2038_three_times(Box& box) {
    return in_process(box, [&] {
        const int a = kp_set_wall_clock(2040, 2, 29, 0, 0, 0, 0);
        kp_msleep(1000);
        const int b = kp_set_wall_clock(2040, 2, 29, 0, 0, 1, 0);
        kp_msleep(61000);
        const int c = kp_set_wall_clock(2040, 2, 29, 0, 1, 2, 0);
        return words("ret=%d,%d,%d warnings=%zu suppressed=%zu", a, b, c,
                     log_lines_with(box, "beyond this kernel's clock"),
                     log_lines_with(box, "kp_set_wall_clock: 1 callbacks suppressed"));
    });
}

std::string user_copy(Box& box, bool to_user, int failing) {
    box.kernel().faults.user_copy_fail = failing;
    return in_process(box, [&] {
        char kernel[16] = "kernel", user[16] = "user";
        const unsigned long r = to_user ? kp_copy_to_user(user, kernel, sizeof user)
                                        : kp_copy_from_user(kernel, user, sizeof kernel);
        if (to_user || !r)
            return words("ret=%lu", r);
        // a fault in the copy: what was not copied is zeroed
        const bool zeroed = std::all_of(kernel, kernel + sizeof kernel, [](char c) { return c == 0; });
        return words("ret=%lu to=%s", r, zeroed ? "zeroed" : "as it was");
    });
}

int read_abc(char* page, char** start, long off, int count, int* eof, void* data) {
    (void)start, (void)off, (void)count, (void)data;
    *eof = 1;
    return kp_snprintf(page, 8, "abc\n");
}

std::string proc(Box& box, const std::string& what) {
    in_process(box, [&] {
        kp_proc_entry* e = kp_create_proc_entry("contract", 0644);
        if (what == "read_twice" || what == "pieces")
            kp_proc_set_handlers(e, read_abc, nullptr, nullptr);
        return std::string();
    });
    if (what == "write")
        return words("ret=%ld", box.kernel().proc_write("contract", "1\n"));
    if (what == "read") {
        const auto r = box.kernel().proc_read("contract");
        return words("ret=%ld text=%s", long(r.ret), r.data.c_str());
    }
    if (what == "pieces")
        return in_process(box, [&] {
            const long fd = box.kernel().sys_open("/proc/contract");
            std::string pieces, rets;
            for (int i = 0; i < 3; ++i) {
                char buf[2];
                const long n = box.kernel().sys_read(fd, buf, sizeof buf);
                std::string piece(buf, n > 0 ? size_t(n) : 0);
                for (char& ch : piece)
                    ch = ch == '\n' ? '|' : ch;
                pieces += (i ? "," : "") + piece;
                rets += (i ? "," : "") + std::to_string(n);
            }
            box.kernel().sys_close(fd);
            return "pieces=" + pieces + " ret=" + rets;
        });
    return in_process(box, [&] {
        char buf[64] = {};
        const long fd = box.kernel().sys_open("/proc/contract");
        const long first = box.kernel().sys_read(fd, buf, sizeof buf);
        std::string text(buf, first > 0 ? size_t(first) : 0);
        if (!text.empty() && text.back() == '\n')
            text.back() = '|';
        const long second = box.kernel().sys_read(fd, buf, sizeof buf);
        box.kernel().sys_close(fd);
        return words("first=%ld text=%s second=%ld", first, text.c_str(), second);
    });
}

std::string keycode(Box& box, unsigned entry, unsigned code, bool get) {
    sim::InputDevice* dev = box.kernel().input().registered().at(0);
    unsigned got = 0;
    const int r = get ? dev->get_keycode(entry, &got) : dev->set_keycode(box.machine(), entry, code);
    return words("ret=%d", r);
}

std::string wait(Box& box, bool signal, long ticks) {
    return in_process(box, [&] {
        if (signal)
            box.machine().send_signal(box.machine().current());
        const unsigned long from = kp_jiffies();
        const long r = ticks < 0 ? kp_schedule_timeout(ticks) : kp_schedule_timeout_interruptible(ticks);
        const long slept = long(kp_jiffies() - from);
        if (ticks < 0)
            return words("ret=%ld ticks=%ld complaint=%zu", r, slept,
                         log_lines_with(box, "schedule_timeout: wrong timeout value ffffffff"));
        if (signal)
            return words("ret=%s woke=%s signal_pending=%d", r == ticks - slept ? "rest" : std::to_string(r).c_str(),
                         slept <= 1 ? "at_once" : std::to_string(slept).c_str(), kp_signal_pending());
        const bool on_time = slept >= ticks && slept <= ticks + long(kp_hz()) / 10;
        return words("ret=%ld woke=%s", r, on_time ? "on_time" : std::to_string(slept).c_str());
    });
}

long g_max_wait;

int waits_without_timeout(void*) {
    g_max_wait = kp_schedule_timeout_interruptible(LONG_MAX);
    return 0;
}

std::string max_timeout(Box& box) {
    return in_process(box, [&] {
        kp_task* t = kp_kthread_create(waits_without_timeout, nullptr, "contract");
        kp_wake_up_process(t);
        const unsigned long from = kp_jiffies();
        kp_msleep(10000);
        kp_kthread_stop(t);
        const unsigned long slept = (kp_jiffies() - from) / kp_hz();
        return words("ret=%s slept=%lus", g_max_wait == LONG_MAX ? "MAX_SCHEDULE_TIMEOUT" : std::to_string(g_max_wait).c_str(),
                     slept);
    });
}

int runs_until_stopped(void*) {
    while (!kp_kthread_should_stop())
        kp_schedule_timeout_interruptible(1);
    return 7;
}

std::string kthread(Box& box, bool let_it_run) {
    return in_process(box, [&] {
        kp_task* t = kp_kthread_create(runs_until_stopped, nullptr, "contract");
        if (let_it_run) {
            kp_wake_up_process(t);
            kp_msleep(50);
        }
        return words("ret=%d", kp_kthread_stop(t));
    });
}

int no_interrupt(int, void*) { return KP_IRQ_NONE; }

std::string irq(Box& box, unsigned line, bool handler, unsigned long flags) {
    return in_process(box, [&] {
        static int cookie;
        const int r = kp_request_irq(line, handler ? no_interrupt : nullptr, flags, "contract", &cookie);
        if (r == 0)
            kp_free_irq(line, &cookie);
        return words("ret=%d", r);
    });
}

std::string chrdev(Box& box, bool ops) {
    return in_process(box, [&] {
        static const kp_file_ops none{};
        return words("ret=%d", kp_register_chrdev(75, 0, 1, "contract", ops ? &none : nullptr));
    });
}

const std::map<std::string, std::function<std::string(Box&)>> kRunners = {
    {"wall_clock/1969-12-31_23:59:59", [](Box& b) { return set_clock(b, 1969, 12, 31, 23, 59, 59); }},
    {"wall_clock/1970-01-01_00:00:00", [](Box& b) { return set_clock(b, 1970, 1, 1, 0, 0, 0); }},
    {"wall_clock/2038-01-19_03:14:07", [](Box& b) { return set_clock(b, 2038, 1, 19, 3, 14, 7); }},
    {"wall_clock/2038-01-19_03:14:08", [](Box& b) { return set_clock(b, 2038, 1, 19, 3, 14, 8); }},
    {"wall_clock/2099-12-31_23:59:59", [](Box& b) { return set_clock(b, 2099, 12, 31, 23, 59, 59); }},
    {"wall_clock/nsec_1000000000", [](Box& b) { return set_clock(b, 1970, 1, 2, 0, 0, 0, 1'000'000'000); }},
    {"wall_clock/past_2038_three_times", past_2038_three_times},
    {"user_copy/from_user_ok", [](Box& b) { return user_copy(b, false, 0); }},
    {"user_copy/from_user_fails", [](Box& b) { return user_copy(b, false, 1); }},
    {"user_copy/to_user_fails", [](Box& b) { return user_copy(b, true, 1); }},
    {"proc/write_without_write_proc", [](Box& b) { return proc(b, "write"); }},
    {"proc/read_without_read_proc", [](Box& b) { return proc(b, "read"); }},
    {"proc/read_twice", [](Box& b) { return proc(b, "read_twice"); }},
    {"proc/read_2_bytes_at_a_time", [](Box& b) { return proc(b, "pieces"); }},
    {"input/set_keycode_last_entry", [](Box& b) { return keycode(b, 255, 30, false); }},
    {"input/set_keycode_entry_256", [](Box& b) { return keycode(b, 256, 30, false); }},
    {"input/set_keycode_KEY_MAX+1", [](Box& b) { return keycode(b, 0x49, 0x300, false); }},
    {"input/get_keycode_entry_256", [](Box& b) { return keycode(b, 256, 0, true); }},
    {"wait/timeout_expires", [](Box& b) { return wait(b, false, 10); }},
    {"wait/signal_pending", [](Box& b) { return wait(b, true, 10); }},
    {"wait/negative_timeout", [](Box& b) { return wait(b, false, -1); }},
    {"wait/max_timeout_until_woken", max_timeout},
    {"kthread/stop_before_it_ran", [](Box& b) { return kthread(b, false); }},
    {"kthread/stop_returns_its_result", [](Box& b) { return kthread(b, true); }},
    {"irq/line_taken", [](Box& b) { return irq(b, FP_IRQ, true, KP_IRQF_DISABLED); }},
    {"irq/line_the_board_has_not", [](Box& b) { return irq(b, 11, true, KP_IRQF_DISABLED); }},
    {"irq/no_handler", [](Box& b) { return irq(b, FP_ISP_IRQ, false, KP_IRQF_DISABLED); }},
    {"irq/unknown_flag", [](Box& b) { return irq(b, FP_ISP_IRQ, true, KP_IRQF_DISABLED | 0x80); }},
    {"chrdev/major_taken", [](Box& b) { return chrdev(b, true); }},
    {"chrdev/no_operations", [](Box& b) { return chrdev(b, false); }},
};

/// The error numbers of @text by name, as the table has them: a negative
/// number after '=' or ',' ("ret=-22" is "ret=-EINVAL").
std::string name_errors(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if ((text[i] == '=' || text[i] == ',') && i + 2 < text.size() && text[i + 1] == '-' &&
            std::isdigit(static_cast<unsigned char>(text[i + 2]))) {
            size_t end = i + 2;
            while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
                ++end;
            if (const char* name = strerrorname_np(std::stoi(text.substr(i + 2, end - i - 2)))) {
                out += text[i];
                out += "-";
                out += name;
                i = end;
                continue;
            }
        }
        out += text[i++];
    }
    return out;
}

TEST(PlatformContract, TheSimulatedKernelGivesWhatTheBoxKernelGives) {
    const std::vector<Contract> table = read_table();
    for (const Contract& c : table) {
        SCOPED_TRACE(c.scenario);
        const auto runner = kRunners.find(c.scenario);
        ASSERT_NE(runner, kRunners.end()) << "no runner";
        Box box;  // a box with the driver loaded, afresh for each scenario
        ASSERT_EQ(box.boot(), 0);
        EXPECT_EQ(name_errors(runner->second(box)), c.linux_3_9);
        EXPECT_TRUE(box.kernel().bugs().empty());
    }
    EXPECT_EQ(kRunners.size(), table.size());
}

}  // namespace
