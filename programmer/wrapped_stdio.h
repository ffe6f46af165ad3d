// SPDX-License-Identifier: MIT
// The standard output and standard error of micomflash loaded as a shared
// object (its stdio calls wrapped with -Wl,--wrap): the loader says where
// each stream's text goes while a program runs.  One set of __wrap_*
// functions serves the simulator's program runner and the programmer's
// test harness.
#pragma once

#include <cstdio>
#include <string>

namespace wrapped_stdio {

/// Where the text written to @stream goes, or null for the C library:
/// defined by the loader that links wrapped_stdio.cpp.
std::string* capture(FILE* stream);

}  // namespace wrapped_stdio
