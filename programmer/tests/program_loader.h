// SPDX-License-Identifier: MIT
// Loads one build of micomflash as a shared object, fresh for each use, as
// the box starts the program from its load-time globals at every run.
#pragma once

#include <string>
#include <vector>

#include "micomflash_build.h"

using micomflash::Build;
using micomflash::build_name;

class LoadedProgram {
public:
    explicit LoadedProgram(Build build);
    ~LoadedProgram();  // unloads, and fails the test if it stayed mapped
    LoadedProgram(const LoadedProgram &) = delete;
    LoadedProgram &operator=(const LoadedProgram &) = delete;

    // The program's own symbol, or null (and a test failure) when missing.
    void *symbol(const char *name) const;
    template <typename T> T *get(const char *name) const
    {
        return reinterpret_cast<T *>(symbol(name));
    }

    // Runs main with argv = {"micomflash", args...}.
    int run_main(const std::vector<std::string> &args) const;

private:
    std::string path_;
    void *handle_ = nullptr;
};

// Loads the build, runs main once with args, unloads it; the exit status.
int run_program(Build build, const std::vector<std::string> &args);
