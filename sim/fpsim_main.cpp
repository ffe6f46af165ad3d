// SPDX-License-Identifier: MIT
// fpsim: the simulated set-top box on the command line.
#include "tool.h"

int main(int argc, char** argv) { return fpsim::tool_main(argc, argv); }
