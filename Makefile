# Front door: every target installs what it needs first (scripts/setup is idempotent).
JOBS         ?= $(shell nproc)
BUILD        ?= build
FUZZ_SECONDS ?= 60
# Subsystems whose suites run threads: the ThreadSanitizer pass builds and runs
# only these (labels whose tests/<label>/ folder does not exist are skipped).
TSAN_LABELS  ?= platform link buffer net apply service
# Crash-loop and property-test iteration counts (flrtest::scaled) under the
# slow sanitizer builds, and in `make test-long`.
SAN_SCALE    ?= 0.25
LONG_SCALE   ?= 4
# Workload seconds per variant of the watched-replica churn test in `make test-long`.
LONG_CHURN_SECONDS ?= 600
LONG_TEST_TIMEOUT  ?= 3000
TIMES        := $(abspath $(BUILD))/test-passes.tsv
PASSES       := release asan tsan package format

CMAKE_GEN    := -G Ninja
# ccache when it is installed, never required.
CCACHE       := $(shell command -v ccache 2>/dev/null)
LAUNCHER     := $(if $(CCACHE),-DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))
# Lets ccache reuse objects built with the tool's precompiled CLI11 header.
export CCACHE_SLOPPINESS ?= pch_defines,time_macros,include_file_mtime,include_file_ctime
# The test passes compile each test binary's sources in batches (CMakeLists.txt says why).
UNITY        := -DFLR_UNITY_TESTS=ON
# The optimised tree: `make test`'s first pass, and what the package pass installs.
# Line tables only (-g1): backtraces and sanitizer reports keep file and line,
# the build takes a third less than with full debugging information, and the
# package strips what it installs anyway.
RELEASE_CONFIGURE = cmake -S . -B $(BUILD) $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
                    -DFLR_WERROR=ON -DFLR_BUILD_BENCH=OFF $(UNITY)
CTEST        := ctest --no-tests=error --output-on-failure -j $(JOBS) --test-dir
TIMED         = $(CURDIR)/scripts/timed $(TIMES)
EXISTING_TSAN = $(foreach l,$(TSAN_LABELS),$(if $(wildcard tests/$(l)/*.cpp),$(l)))
FORMAT_FILES  = find include src tools tests bench fuzz -name '*.h' -o -name '*.cpp'

.PHONY: all setup configure build check test test-long test-release test-asan test-tsan \
        test-package test-format package demo bench fuzz fuzz-smoke format install clean

all: build

setup:
	@scripts/setup

# The developers' tree: optimised, warnings as errors, tool and tests.
configure: setup
	cmake -S . -B $(BUILD) $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLR_WERROR=ON

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The optimised pass alone: what a developer runs before committing.
check: setup
	@rm -f $(TIMES)
	$(MAKE) --no-print-directory test-release
	@scripts/pass-table $(TIMES) release

# Every pass, even after one failed; the table at the end says which failed.
test: setup
	@rm -f $(TIMES)
	-@$(MAKE) --no-print-directory test-release
	-@$(MAKE) --no-print-directory test-asan
	-@$(MAKE) --no-print-directory test-tsan
	-@$(MAKE) --no-print-directory test-package
	-@$(MAKE) --no-print-directory test-format
	@scripts/pass-table $(TIMES) $(PASSES)

# (1) Warnings as errors, optimised, the whole suite.
test-release: setup
	$(TIMED) release build sh -c '$(RELEASE_CONFIGURE) && cmake --build $(BUILD) -j $(JOBS)'
	$(TIMED) release tests $(CTEST) $(BUILD)

# (2) AddressSanitizer + UndefinedBehaviorSanitizer, the whole suite. -O0 with
# line tables compiles fastest; the tool is covered by the optimised pass.
test-asan: setup
	$(TIMED) asan build sh -c 'cmake -S . -B $(BUILD)-asan $(CMAKE_GEN) $(LAUNCHER) \
		-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O0 -g1" -DFLR_SANITIZE=address \
		-DBUILD_SHARED_LIBS=OFF -DFLR_BUILD_TOOL=OFF $(UNITY) && cmake --build $(BUILD)-asan -j $(JOBS)'
	FLR_TEST_SCALE=$(SAN_SCALE) \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(TIMED) asan tests $(CTEST) $(BUILD)-asan

# (3) ThreadSanitizer where threads meet: the TSAN_LABELS suites only. -O1,
# because TSan-instrumented code at -O0 runs several times slower.
test-tsan: setup
	$(TIMED) tsan build sh -c 'cmake -S . -B $(BUILD)-tsan $(CMAKE_GEN) $(LAUNCHER) \
		-DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g1" -DFLR_SANITIZE=thread \
		-DBUILD_SHARED_LIBS=OFF -DFLR_BUILD_TOOL=OFF $(UNITY) && \
		cmake --build $(BUILD)-tsan -j $(JOBS) --target $(addprefix test_,$(EXISTING_TSAN))'
	FLR_TEST_SCALE=$(SAN_SCALE) TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		$(TIMED) tsan tests $(CTEST) $(BUILD)-tsan -L '^($(subst $() ,|,$(strip $(EXISTING_TSAN))))$$'

# (4) What a packager installs: library, headers, CMake and pkg-config files,
# tool and man page, installed into a temporary prefix and used by
# tests/consumer; then the Debian package of the same tree, listed, checked by
# lintian and systemd-analyze, and its flr run. It installs the optimised tree
# rather than compiling every source a fourth time for a Release build, which
# differs only in -O3 for -O2 -g. Run alone, it builds just the installed targets.
PACKAGE_BUILD = $(RELEASE_CONFIGURE) && cmake --build $(BUILD) -j $(JOBS) --target flr flr_tool flr_man
test-package: setup
	$(TIMED) package build sh -c '$(PACKAGE_BUILD)'
	$(TIMED) package tests scripts/check-package $(BUILD)

# The Debian package, $(BUILD)/flr_VERSION_ARCH.deb (strips the binaries it
# installs; the tree keeps its debugging information).
package: setup
	sh -c '$(PACKAGE_BUILD)'
	cd $(BUILD) && cpack -G DEB

# (5) Formatting, as clang-format and .clang-format say.
test-format: setup
	$(TIMED) format tests sh -c "$(FORMAT_FILES) | xargs clang-format --dry-run -Werror && scripts/check-layers"

# The optimised suite with LONG_SCALE times the crash loops and property-test
# iterations; not part of `make test`.
test-long: setup
	@rm -f $(TIMES)
	$(TIMED) long build sh -c 'FLR_TEST_TIMEOUT=$(LONG_TEST_TIMEOUT) cmake -S . -B $(BUILD) $(CMAKE_GEN) $(LAUNCHER) \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLR_WERROR=ON && cmake --build $(BUILD) -j $(JOBS)'
	FLR_TEST_SCALE=$(LONG_SCALE) FLR_CHURN_SECONDS=$(LONG_CHURN_SECONDS) \
		$(TIMED) long tests $(CTEST) $(BUILD)
	@scripts/pass-table $(TIMES) long

# Builds the flr command alone (the library and the tool, not the tests).
demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target flr_tool
	scripts/demo $(BUILD)

bench: setup
	cmake -S . -B $(BUILD) $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLR_WERROR=ON \
		-DFLR_BUILD_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS)
	scripts/bench $(BUILD)

fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz $(CMAKE_GEN) $(LAUNCHER) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DFLR_BUILD_FUZZ=ON -DFLR_BUILD_TESTS=OFF -DFLR_BUILD_TOOL=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS)

fuzz-smoke: fuzz
	scripts/fuzz-smoke $(BUILD)-fuzz $(FUZZ_SECONDS)

format:
	$(FORMAT_FILES) | xargs clang-format -i

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-package $(BUILD)-fuzz
