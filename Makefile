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

clean:
	rm -rf $(BUILD)
