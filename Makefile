# Thin wrapper over CMake. `make demo` and `make check` do all set-up.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps configure build demo check check-asan check-tsan bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD)/build.ninja: | deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)

configure: $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: build
	OVLOCKFILE=$(BUILD)/frameworks/c/apps/ovlockfile/ovlockfile examples/demo.sh

check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

check-asan:
	$(MAKE) check BUILD=build-asan CMAKE_ARGS="-DOV_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

check-tsan:
	$(MAKE) check BUILD=build-tsan CMAKE_ARGS="-DOV_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

bench:
	$(MAKE) build BUILD=build-bench CMAKE_ARGS="-DOV_BUILD_BENCH=ON -DCMAKE_BUILD_TYPE=Release"
	bench/run-benchmarks.sh build-bench

clean:
	rm -rf build build-asan build-tsan build-bench
