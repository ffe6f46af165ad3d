// SPDX-License-Identifier: MIT
// A module built for another kernel: its version magic is not the box's, so
// the simulated kernel's loader must refuse it, whoever starts the box.
extern "C" {
const char fp_module_vermagic[] = "6.1.0-13-amd64 SMP preempt mod_unload modversions ";
int init_fp(void) { return 0; }
void cleanup_fp(void) {}
}
