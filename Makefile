# The two commands a newcomer needs:
#   make demo   configure, build and run the guided demonstration
#   make test   configure, build and run every test (CTest)
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build demo test clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Only what the demo runs: fpsim, the driver as the simulator loads it, and
# micomflash's two objects (fpsim's libraries depend on them); make test
# builds everything.  The demo writes its image and trace into build/.
demo: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS) --target fpsim frontpanel_sim
	cd $(BUILD) && ./fpsim demo

# As root it first installs the packages its tests need (tools/ci/test_needs.sh);
# at the end it names the tests that were skipped and what they need.
test: build
	@tools/ci/test_needs.sh install
	@cd $(BUILD) && { ctest --output-on-failure -j $(JOBS); echo $$? >ctest.status; } | tee ctest.log; \
	  $(CURDIR)/tools/ci/test_needs.sh report ctest.log; exit $$(cat ctest.status)

clean:
	rm -rf $(BUILD)

# Robustness: the suite under ASan+UBSan and the simulator tests under TSan
# (tools/ci/sanitizers.sh, tools/ci/tsan.sh), and a short run of every fuzz
# harness (tools/ci/fuzz.sh; FUZZ_SECONDS=3600 for a long one).
# Line and branch coverage of the driver core and micomflash by the tests
# (tools/ci/coverage.sh): build-coverage/coverage/index.html, coverage.txt.
.PHONY: sanitize fuzz coverage
sanitize:
	tools/ci/sanitizers.sh
	tools/ci/tsan.sh

fuzz:
	tools/ci/fuzz.sh

coverage:
	tools/ci/coverage.sh

# The kernel module under the kernel's own checkers and across kernels
# (tests/kernel_check/README.md): a debug kernel (lockdep, KASAN, UBSAN, kmemleak,
# fault injection; built once, cached in ~/.cache/frontpanel), Debian's
# 6.1, 6.1-rt, 6.12 and 6.12-rt kernels and 6.1 Malta, and DKMS.  Installs
# its packages as root; parts it cannot set up report themselves skipped.
.PHONY: kernel-check
kernel-check: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target micom_host micomflash_expected -j $(JOBS)
	tests/kernel_check/kernel_check.sh $(BUILD)

# The Debian packages (debian/): built with dpkg-buildpackage from a clean
# copy of the tree, checked by lintian, then installed, used and purged on
# this machine: DKMS builds frontpanel.ko for every installed kernel
# and the guest test in QEMU loads the ones built for 6.1 and 6.12
# (tests/packaging/package_check.sh; root; logs in build/package-check/).
.PHONY: package-check
package-check: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) --target micom_host -j $(JOBS)
	tests/packaging/package_check.sh $(BUILD)/package-check $(abspath $(BUILD))/micom_host
