// SPDX-License-Identifier: MIT
#include "program_loader.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "machine/fresh_object.h"

LoadedProgram::LoadedProgram(Build build)
    : path_(build == Build::A ? MICOMFLASH_A_PATH : MICOMFLASH_B_PATH)
{
    std::string error;
    handle_ = sim::open_fresh(path_, &error);
    if (handle_ == nullptr)
        ADD_FAILURE() << "dlopen " << path_ << ": " << error;
}

LoadedProgram::~LoadedProgram()
{
    if (handle_ == nullptr)
        return;
    if (!sim::close_unmapped(handle_, path_))
        ADD_FAILURE() << path_ << " stayed loaded after dlclose";
}

void *LoadedProgram::symbol(const char *name) const
{
    if (handle_ == nullptr)
        return nullptr;
    void *found = dlsym(handle_, name);
    if (found == nullptr)
        ADD_FAILURE() << "no symbol " << name << " in " << path_;
    return found;
}

int LoadedProgram::run_main(const std::vector<std::string> &args) const
{
    auto *entry = get<int(int, char **)>("micomflash_main");
    if (entry == nullptr)
        return 1000;
    std::vector<std::string> storage;
    storage.push_back("micomflash");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    return entry(static_cast<int>(storage.size()), argv.data());
}

int run_program(Build build, const std::vector<std::string> &args)
{
    LoadedProgram program(build);
    return program.run_main(args);
}
