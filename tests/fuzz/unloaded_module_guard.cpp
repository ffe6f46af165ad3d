// SPDX-License-Identifier: MIT
// In the fuzz harnesses the kept module image keeps its text runnable at an
// unload; the coverage hook (module_coverage.cpp) stops code of the unloaded
// module instead.  This program shows both halves: a function of the
// unloaded module, called in a child, aborts there with the hook's message;
// after the next load the box works as before.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "booted_box.h"
#include "box/box.h"

namespace {

int failed(const char* what) {
    std::fprintf(stderr, "unloaded_module_guard: %s\n", what);
    return 1;
}

}  // namespace

int main() {
    sim::BoxConfig cfg;
    cfg.restore_module_image = true;
    sim::Box box(cfg);
    if (fptest::boot(box) != 0)
        return failed("the box did not boot");
    auto get_rtc = reinterpret_cast<unsigned long (*)()>(box.kernel().module_symbol("get_RTC_time"));
    if (!get_rtc)
        return failed("the module has no get_RTC_time");
    if (box.kernel().unload_module() != 0)
        return failed("the module did not unload");

    int out[2];
    if (pipe(out) != 0)
        return failed("no pipe");
    const pid_t child = fork();
    if (child == 0) {
        dup2(out[1], 2);
        close(out[0]);
        get_rtc();  // must not return
        _exit(0);
    }
    close(out[1]);
    std::string said;
    char buf[256];
    for (ssize_t n; (n = read(out[0], buf, sizeof buf)) > 0;)
        said.append(buf, size_t(n));
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGABRT)
        return failed("a function of the unloaded module ran without an abort");
    if (said.find("the driver module's code ran while it was unloaded") == std::string::npos)
        return failed(("the abort said something else: " + said).c_str());

    // loaded again, the module runs
    if (box.kernel().load_module() != 0)
        return failed("the module did not load again");
    box.machine().run_for(10'000'000);
    const sim::SysResult model = box.kernel().proc_read("model", 4096);
    if (model.ret <= 0)
        return failed("/proc/model cannot be read after the new load");
    std::puts("unloaded_module_guard: the unloaded module's code aborts; loaded again, it runs");
    return 0;
}
