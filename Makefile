# Thin wrapper around CMake. `make demo` and `make test` are the two set-up commands.
BUILD       ?= build
JOBS        ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build demo test bench clean

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

# Benchmarks in their own optimised build; not part of `make test`.
BENCH_BUILD ?= build-bench
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DVORNA_BUILD_BENCH=ON -DVORNA_BUILD_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target md5_bench system_bench
	$(BENCH_BUILD)/bench/md5_bench
	$(BENCH_BUILD)/bench/system_bench $${TMPDIR:-$(BENCH_BUILD)}

clean:
	rm -rf $(BUILD) $(BENCH_BUILD)
