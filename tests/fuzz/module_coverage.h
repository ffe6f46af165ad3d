// SPDX-License-Identifier: MIT
// The driver module's edge counters (module_coverage.cpp).
#pragma once

/// Adds the edges the counters show now to those reached since the process
/// started (the figure printed at its end): called at the end of every input,
/// before libFuzzer clears the counters.
void fold_module_edges();
