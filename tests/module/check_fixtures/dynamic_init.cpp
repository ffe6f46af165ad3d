// SPDX-License-Identifier: MIT
// A global that needs a constructor: it builds, but no kernel would run it.
#include "kernel/kernel.h"

unsigned long loaded_at = kp_jiffies();
