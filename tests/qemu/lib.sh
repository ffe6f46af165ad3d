# SPDX-License-Identifier: MIT
# Shared by the QEMU test scripts (sourced): the kernel paths of the module build.
. "$(cd "$(dirname "${BASH_SOURCE[0]}")/../../driver/linux" && pwd)/kernel_paths.sh"
