# Thin wrapper around CMake. `make demo` and `make test` are the two set-up commands.
BUILD          ?= build
FUZZ_BUILD     ?= build-fuzz
JOBS           ?= $(shell nproc)
CMAKE_FLAGS    ?=
# Seconds each fuzz harness runs; FUZZ_HARNESSES names some of them (all when empty).
FUZZ_SECONDS   ?= 60
FUZZ_HARNESSES ?=

.PHONY: all deps configure build demo test fuzz bench clean

all: build

deps:
	@sh cmake/install_deps.sh build

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	sh tools/demo.sh $(BUILD)

# libFuzzer harnesses under clang with ASan and UBSan, each run FUZZ_SECONDS on a
# fresh copy of its seeds; fails when one crashes (its input is kept in
# $(FUZZ_BUILD)/fuzz-artifacts).
fuzz:
	@sh cmake/install_deps.sh build fuzz
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DVORNA_FUZZ=ON -DVORNA_BUILD_TESTS=OFF -DVORNA_BUILD_TOOLS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	sh tests/fuzz/run_fuzz.sh $(FUZZ_BUILD) $(FUZZ_SECONDS) $(FUZZ_HARNESSES)

clean:
	rm -rf $(BUILD) $(FUZZ_BUILD)
