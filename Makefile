# Thin wrapper over CMake. `make demo` and `make check` do all set-up.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
# Tests that a build leaves out (a ctest -E pattern), for the extra CI builds.
CTEST_EXCLUDE ?=

.PHONY: all deps configure build docs demo check check-long check-asan check-tsan check-clang \
        check-release bench fuzz stress package abi-baseline clean

all: build

deps:
	@scripts/install-deps.sh

# Configures on every run: cheap when nothing changed, and it lets `make check`
# switch warnings-as-errors on in a build directory `make` configured first.
configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS) $(WERROR_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The reference manual, HTML from the public headers, in $(BUILD)/docs/html.
# Doxygen's warnings are errors: anything public left undocumented fails it.
docs: configure
	cmake --build $(BUILD) --target docs

demo: build
	OVLOCKFILE=$(BUILD)/frameworks/c/apps/ovlockfile/ovlockfile examples/demo.sh
	OVLOCKRUN=$(BUILD)/frameworks/c/apps/ovlockrun/ovlockrun examples/ovlockrun_demo.sh
	OVLOCKRUN=$(BUILD)/frameworks/c/apps/ovlockrun/ovlockrun examples/etcd_demo.sh

# Warnings are errors in the test builds; a plain `make` leaves them warnings.
check: WERROR_ARGS = -DOV_WERROR=ON
check: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(if $(CTEST_EXCLUDE),-E '$(CTEST_EXCLUDE)')

# The long tests, which make check leaves out (GoogleTest's DISABLED_):
# ov_next_prime against a sieve of every prime below 2^32, some minutes of
# one core.
check-long: WERROR_ARGS = -DOV_WERROR=ON
check-long: configure
	cmake --build $(BUILD) -j $(JOBS) --target ovhash_test
	$(BUILD)/base/ovplatform/tests/ovhash_test --gtest_also_run_disabled_tests \
	    --gtest_filter='HashLongTest.*'

check-asan:
	$(MAKE) check BUILD=build-asan CMAKE_ARGS="-DOV_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug"

check-tsan:
	$(MAKE) check BUILD=build-tsan CMAKE_ARGS="-DOV_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug"

check-clang:
	$(MAKE) check BUILD=build-clang \
	    CMAKE_ARGS="-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo"

check-release:
	$(MAKE) check BUILD=build-release CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Release"

bench:
	$(MAKE) build BUILD=build-bench CMAKE_ARGS="-DOV_BUILD_BENCH=ON -DOV_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=Release"
	bench/run-benchmarks.sh build-bench

# Builds the libFuzzer targets with clang and runs each for FUZZ_SECONDS;
# a finding (crash, sanitizer report, failed check) stops with an error and
# leaves its input in $(FUZZ_BUILD)/. New inputs go to $(FUZZ_BUILD)/corpus,
# the seeds in fuzz/corpus stay as they are.
FUZZ_SECONDS ?= 60
FUZZ_BUILD   ?= build-fuzz
FUZZ_TARGETS := $(sort $(basename $(notdir $(wildcard fuzz/fuzz_*.cpp))))

fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOV_BUILD_FUZZ=ON -DOV_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(FUZZ_TARGETS)
	@set -e; for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	    echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	    $(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=$(FUZZ_BUILD)/$$t- $(FUZZ_BUILD)/corpus/$$t \
	        $$([ -d fuzz/corpus/$$t ] && echo fuzz/corpus/$$t); \
	done

# The reliability soak: real timings, through the real tool, for
# STRESS_MINUTES; it prints its figures and fails if any is off.
STRESS_MINUTES ?= 30

stress: build
	$(BUILD)/tests/reliability/ovstress soak --minutes $(STRESS_MINUTES) \
	    --tool $(BUILD)/frameworks/c/apps/ovlockfile/ovlockfile \
	    --run $(BUILD)/frameworks/c/apps/ovlockrun/ovlockrun \
	    --testfs $(BUILD)/tools/ovtestfs/ovtestfs

# The Debian packages (cmake/OvPackaging.cmake): ovlockfile, ovlockrun-etcd,
# libovplatform4, libovplatform-dev and libovplatform-doc (the reference
# manual: the docs target is built first), built by CPack into
# $(PACKAGE_BUILD)/ from a build configured for /usr, as a distribution
# installs it (multiarch library directory), without the tests; then checked
# by lintian, which must find no error and no warning.
PACKAGE_BUILD ?= build-package

package: deps
	cmake -S . -B $(PACKAGE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_INSTALL_PREFIX=/usr -DOV_BUILD_TESTS=OFF
	cmake --build $(PACKAGE_BUILD) -j $(JOBS) --target all docs
	rm -f $(PACKAGE_BUILD)/*.deb
	cd $(PACKAGE_BUILD) && cpack -G DEB
	lintian --fail-on error,warning --display-info $(PACKAGE_BUILD)/*.deb

# Records the shared library's ABI in abi/ and its Debian symbols file in
# packaging/, after an intended change of its interface (abi/README.md). The
# record comes from a build of its own: GCC, Debug, no sanitizer.
ABI_BUILD ?= build-abi

abi-baseline: deps
	cmake --fresh -S . -B $(ABI_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=gcc \
	    -DCMAKE_CXX_COMPILER=g++ -DOV_SANITIZE= -DOV_BUILD_TESTS=OFF -DOV_WITH_ETCD=OFF
	cmake --build $(ABI_BUILD) -j $(JOBS) --target abi-baseline

clean:
	rm -rf build build-asan build-tsan build-clang build-release build-bench build-fuzz build-package build-abi
