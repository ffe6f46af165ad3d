// SPDX-License-Identifier: MIT
// What the module glue exports (fp_module.c), for a core made for a test:
// the exported variables and functions, with nothing of the driver's
// behind them.  Included once by such a core.
#include "fp_exports.h"

extern "C" {
int have_RF = 0;
const char *put_version = "150";
const char *put_model = "lumeta";

unsigned long get_RTC_time(void) { return 0; }
void set_RTC_time(const char *) {}
void set_ALARM_time(const char *) {}
int get_ALARM_status(void) { return 0; }
void clear_ALARM_status(void) {}
unsigned long get_ALARM_time(void) { return 0; }
int get_power_status(void) { return 0; }
void set_LED(const char *) {}
const char *get_tavix_model(void) { return put_model; }
const char *get_put_version(void) { return put_version; }
int get_have_RF(void) { return have_RF; }
}
