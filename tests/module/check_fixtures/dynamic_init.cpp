// SPDX-License-Identifier: MIT
// A global that needs a constructor: it builds, but no kernel would run it.
#include "platform/kernel.h"

unsigned long loaded_at = kp_jiffies();
