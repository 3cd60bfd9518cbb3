# SPDX-License-Identifier: Apache-2.0
# Thin wrapper around CMake. `make demo` and `make test` are the two set-up commands.
BUILD          ?= build
AARCH64_BUILD  ?= build-aarch64
SANITIZE_BUILD ?= build-sanitize
FUZZ_BUILD     ?= build-fuzz
JOBS           ?= $(shell nproc)
CMAKE_FLAGS    ?=
# The project's own builds make warnings errors, and may trust the development key
# (the demo and the tests sign with it).
PROJECT_FLAGS   = -DVORNA_WERROR=ON -DVORNA_ALLOW_DEV_KEY=ON
# `make install`: DESTDIR stages the files (packagers), PREFIX is where they belong.
# It refuses programs that trust the development key: give the product's key with
# CMAKE_FLAGS=-DVORNA_PUBLIC_KEY_FILE=key.txt (cmake --install INSTALL_BUILD
# --component device|host installs one half). It builds in a folder of its own, so
# that the key and the options given to it never reach BUILD, where `make demo`
# and `make test` run with the development key.
PREFIX         ?= /usr/local
DESTDIR        ?=
INSTALL_BUILD  ?= build-install
# `make deb`: the Debian packages of one product, its key in VORNA_PUBLIC_KEY_FILE;
# VORNA_PRODUCT (optional) makes their version VERSION+PRODUCT, so that two products'
# packages differ. dpkg-buildpackage leaves them in the folder above the tree.
VORNA_PUBLIC_KEY_FILE ?=
VORNA_PRODUCT  ?=
# The programs `make demo` runs, the only ones it builds.
DEMO_TARGETS    = vorna cfgcrypt vorna-image
RELEASE_BUILD  ?= build-release
CROSS_BUILD    ?= build-cross
# Seconds one test may take before ctest stops it; emulation is several times slower.
TEST_TIMEOUT         ?= 300
TEST_TIMEOUT_AARCH64 ?= 600
# Seconds each fuzz harness runs; FUZZ_HARNESSES names some of them (all when empty).
FUZZ_SECONDS   ?= 60
FUZZ_HARNESSES ?=

CTEST = ctest --output-on-failure --no-tests=error -j $(JOBS)

# Every sanitizer report ends the process with a failure; the settings reach the
# programs the command-line tests start, too. A test library that the tests preload
# into those programs may come before the sanitizer's run-time.
SANITIZE_ENV = ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:verify_asan_link_order=0 \
               UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

# The cross build's command-line tests make boards and images with the native
# vorna-image, which exists once tools/ has its sources.
HOST_IMAGE_TOOL = $(if $(wildcard tools/vorna_image*.cpp),$(abspath $(BUILD))/tools/vorna-image)

.PHONY: all deps deps-cross configure build install deb release cross-minimal man-lint demo test host-tools test-aarch64 test-sanitize test-tsan fuzz bench clean test-kernel
# CMake and ctest run the jobs in parallel; the steps here (apt among them) run one at a time.
.NOTPARALLEL:

all: build

deps:
	@sh cmake/install_deps.sh build

deps-cross:
	@sh cmake/install_deps.sh build cross

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(PROJECT_FLAGS) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

install: deps
	cmake -S . -B $(INSTALL_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) \
	  -DVORNA_BUILD_TESTS=OFF $(PROJECT_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(INSTALL_BUILD) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(INSTALL_BUILD) --prefix "$(PREFIX)"

deb:
	@[ -n "$(VORNA_PUBLIC_KEY_FILE)" ] || { echo "make deb: give the product's public key text:" >&2; \
	  echo "  make deb VORNA_PUBLIC_KEY_FILE=/path/key.txt [VORNA_PRODUCT=name]" >&2; exit 1; }
	@sh cmake/install_deps.sh build deb
	VORNA_PUBLIC_KEY_FILE="$(abspath $(VORNA_PUBLIC_KEY_FILE))" VORNA_PRODUCT="$(VORNA_PRODUCT)" \
	  DEB_BUILD_OPTIONS="parallel=$(JOBS) $(DEB_BUILD_OPTIONS)" dpkg-buildpackage -us -uc -b

# A Release build as a packager makes it: CMake's defaults, no project flags (CC and
# CXX choose the compiler); only the development key has to be allowed.
release: deps
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DVORNA_ALLOW_DEV_KEY=ON $(CMAKE_FLAGS)
	cmake --build $(RELEASE_BUILD) -j $(JOBS)

# vorna and cfgcrypt for 64-bit ARM through a plain sysroot-style toolchain file
# with every option at its default.
cross-minimal: deps-cross
	cmake -S . -B $(CROSS_BUILD) --toolchain cmake/aarch64-sysroot.cmake $(CMAKE_FLAGS)
	cmake --build $(CROSS_BUILD) -j $(JOBS)

# mandoc's checks, then each synopsis as man shows it (.ci/check_man).
man-lint:
	@sh cmake/install_deps.sh man
	mandoc -T lint -W warning man/*.1
	bash .ci/check_man man/*.1

test: build
	cd $(BUILD) && $(CTEST) --timeout $(TEST_TIMEOUT)

demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	sh tools/demo.sh $(BUILD)

host-tools: configure
	$(if $(HOST_IMAGE_TOOL),cmake --build $(BUILD) -j $(JOBS) --target vorna-image,@true)

# vorna, cfgcrypt and the tests for 64-bit ARM, every test run under qemu-aarch64.
test-aarch64: deps-cross host-tools
	cmake -S . -B $(AARCH64_BUILD) --toolchain cmake/aarch64-linux-gnu.cmake --no-warn-unused-cli \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNA_BUILD_TESTS=ON -DVORNA_BUILD_TOOLS=OFF $(PROJECT_FLAGS) \
	  -DVORNA_IMAGE_HOST_BIN=$(HOST_IMAGE_TOOL) $(CMAKE_FLAGS)
	cmake --build $(AARCH64_BUILD) -j $(JOBS)
	cd $(AARCH64_BUILD) && $(CTEST) --timeout $(TEST_TIMEOUT_AARCH64)

# Everything built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNA_SANITIZE=ON $(PROJECT_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && $(SANITIZE_ENV) $(CTEST) --timeout $(TEST_TIMEOUT)

# The firmware tests built with ThreadSanitizer: the digest worker and the
# upgrade's read-ahead, in the unit tests and in the vorna the CLI tests run
# (cli_strong_test: the strong-only builds, whose pass hashes on the caller
# while the worker only reads).
TSAN_BUILD ?= build-tsan
TSAN_TESTS  = vorna_firmware_source_test vorna_firmware_verify_test vorna_firmware_image_test cli_firmware_test cli_upgrade_test cli_minimize_writes_test cli_stream_test cli_strong_test
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORNA_TSAN=ON $(PROJECT_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)
	set -e; for t in $(TSAN_TESTS); do TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD)/tests/$$t --gtest_brief=1; done

# libFuzzer harnesses under clang with ASan and UBSan, each run FUZZ_SECONDS on a
# fresh copy of its seeds; fails when one crashes (its input is kept in
# $(FUZZ_BUILD)/fuzz-artifacts).
fuzz:
	@sh cmake/install_deps.sh build fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORNA_FUZZ=ON -DVORNA_BUILD_TESTS=OFF -DVORNA_BUILD_TOOLS=OFF $(PROJECT_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	sh tests/fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_HARNESSES)

# vorna on Debian's kernel under qemu, on emulated MMC and MTD devices
# (tests/kernel/rig.sh): one line per scenario and the tally. KERNEL_SCENARIOS
# names some of tests/kernel/scenarios/*.scn (all when empty).
KERNEL_SCENARIOS ?=
test-kernel: build
	@sh cmake/install_deps.sh kernel
	sh tests/kernel/rig.sh $(BUILD) $(KERNEL_SCENARIOS)

# Benchmarks in their own optimised build; not part of `make test`.
BENCH_BUILD ?= build-bench
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVORNA_BUILD_BENCH=ON -DVORNA_BUILD_TESTS=OFF $(PROJECT_FLAGS) $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target md5_bench system_bench
	$(BENCH_BUILD)/bench/md5_bench
	$(BENCH_BUILD)/bench/system_bench $${TMPDIR:-$(BENCH_BUILD)}

clean:
	rm -rf $(BUILD) $(INSTALL_BUILD) $(AARCH64_BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD) $(RELEASE_BUILD) $(CROSS_BUILD)
