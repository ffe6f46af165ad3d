// SPDX-License-Identifier: MIT
#include "userland/program_runner.h"

#include <dlfcn.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>

#include "machine/fresh_object.h"
#include "simkernel/module_loader.h"
#include "userland/user_process.h"
#include "wrapped_stdio.h"

#ifndef MICOMFLASH_A_PATH
#define MICOMFLASH_A_PATH "libmicomflash_a.so"
#endif
#ifndef MICOMFLASH_B_PATH
#define MICOMFLASH_B_PATH "libmicomflash_b.so"
#endif

namespace sim::userland {

namespace {
ProgramRunner* g_runner = nullptr;

double process_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

UserProcess* g_process = nullptr;

/// A program image kept mapped (ProgramRunner::keep_images): its writable
/// bytes right after the mapping.
struct KeptImage {
    std::string path;
    void* handle = nullptr;
    uintptr_t start = 0;
    std::vector<uint8_t> fresh;
};

std::vector<KeptImage>& kept_images() {
    static std::vector<KeptImage> v;
    return v;
}

// The program's globals may lie in redzones a sanitizer watches, and putting
// the whole image back is no access of the program's: not instrumented, and
// volatile keeps it from becoming a (checked) memcpy.
__attribute__((no_sanitize("address", "thread", "undefined"))) void put_back(uintptr_t to,
                                                                             const std::vector<uint8_t>& from) {
    auto* d = reinterpret_cast<volatile uint8_t*>(to);
    for (size_t i = 0; i < from.size(); ++i)
        d[i] = from[i];
}

/// The image of @path as freshly loaded: mapped at its first run, then its
/// writable bytes put back.
void* load_kept(const std::string& path, std::string* error) {
    for (KeptImage& k : kept_images())
        if (k.path == path) {
            put_back(k.start, k.fresh);
            return k.handle;
        }
    void* h = open_fresh(path, error);
    if (!h)
        return nullptr;
    ModuleLoader::Writable w = ModuleLoader::writable_image(h);
    kept_images().push_back(KeptImage{path, h, w.start, std::move(w.bytes)});
    return h;
}
}  // namespace

UserProcess* running_process() { return g_process; }
void set_running_process(UserProcess* p) { g_process = p; }

}  // namespace sim::userland

// The running program's standard output and error are its own; while no
// program runs, they go to the C library.
std::string* wrapped_stdio::capture(FILE* stream) {
    sim::userland::UserProcess* p = sim::userland::running_process();
    if (!p)
        return nullptr;
    if (stream == stdout)
        return &p->out;
    if (stream == stderr)
        return &p->err;
    return nullptr;
}

namespace sim::userland {

bool is_simulated_path(const char* path) {
    return path && (std::strcmp(path, "/dev/micom") == 0 || std::strncmp(path, "/proc/", 6) == 0);
}

std::string program_path(Build build) {
    return build == Build::A ? MICOMFLASH_A_PATH : MICOMFLASH_B_PATH;
}

std::vector<std::string> RunResult::lines() const {
    std::vector<std::string> v;
    size_t from = 0;
    while (from < out.size()) {
        size_t nl = out.find('\n', from);
        if (nl == std::string::npos) {
            v.push_back(out.substr(from));
            break;
        }
        v.push_back(out.substr(from, nl - from));
        from = nl + 1;
    }
    return v;
}

ProgramRunner::ProgramRunner(Box& box) : box_(box) {
    if (g_runner)
        std::fprintf(stderr, "fpsim: only one program runner at a time\n");
    g_runner = this;
}

ProgramRunner::~ProgramRunner() {
    if (g_runner == this)
        g_runner = nullptr;
}

ProgramRunner* ProgramRunner::current() { return g_runner; }

RunResult ProgramRunner::run(Build build, const std::vector<std::string>& args) {
    return run_object(program_path(build), args);
}

RunResult ProgramRunner::run_object(const std::string& path, const std::vector<std::string>& args) {
    RunResult result;
    const auto wall_start = std::chrono::steady_clock::now();
    const double cpu_start = process_cpu_seconds();
    result.started = box_.machine().now();

    // Every run starts from the program's load-time globals.
    std::string error;
    void* handle = keep_images ? load_kept(path, &error) : open_fresh(path, &error);
    if (!handle) {
        result.err = "fpsim: cannot load " + path + ": " + error + "\n";
        result.main_result = result.exit_status = 127;
        return result;
    }
    auto entry = reinterpret_cast<int (*)(int, char**)>(dlsym(handle, "micomflash_main"));
    result.loaded = entry != nullptr;

    std::vector<std::string> storage{"micomflash"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    UserProcess process;
    process.box = &box_;
    if (entry) {
        set_running_process(&process);
        box_.kernel().run_process("micomflash", [&] {
            result.main_result = entry(int(storage.size()), argv.data());
            result.completed = true;
            // exit: the kernel closes what the program left open
            result.files_left_open = int(process.sim_files.size());
            for (int fd : process.sim_files)
                box_.kernel().sys_close(fd);
            process.sim_files.clear();
            return result.main_result;
        });
        set_running_process(nullptr);
    } else {
        process.err = "fpsim: " + path + " has no micomflash_main\n";
        result.main_result = 127;
    }
    result.exit_status = result.main_result & 0xFF;
    result.out = std::move(process.out);
    result.err = std::move(process.err);

    result.unloaded = !keep_images && close_unmapped(handle, path);

    result.ended = box_.machine().now();
    result.wall_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    result.cpu_seconds = process_cpu_seconds() - cpu_start;
    return result;
}

}  // namespace sim::userland
