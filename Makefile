# Front door: every target installs what it needs first (scripts/setup is idempotent).
JOBS        ?= $(shell nproc)
BUILD       ?= build
FUZZ_SECONDS ?= 60
CMAKE_GEN   := -G Ninja

.PHONY: all setup build test test-release test-asan test-tsan demo bench fuzz fuzz-smoke format install clean

all: build

setup:
	@scripts/setup

$(BUILD)/build.ninja: | setup
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: setup $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# The suite three times: a warnings-as-errors optimised build, ASan+UBSan,
# and ThreadSanitizer over the subsystems that run threads.
test: setup
	$(MAKE) test-release
	$(MAKE) test-asan
	$(MAKE) test-tsan
	@echo "make test: all passes green"

test-release: build
	cd $(BUILD) && ctest --no-tests=error --output-on-failure -j $(JOBS)

test-asan: setup
	cmake -S . -B $(BUILD)-asan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DFLR_SANITIZE=address -DFLR_BUILD_BENCH=OFF
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --no-tests=error --output-on-failure -j $(JOBS)

test-tsan: setup
	cmake -S . -B $(BUILD)-tsan $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DFLR_SANITIZE=thread -DFLR_BUILD_BENCH=OFF
	cmake --build $(BUILD)-tsan -j $(JOBS)
	cd $(BUILD)-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --no-tests=error --output-on-failure -j $(JOBS) -L '^(platform|buffer|net)$$'

demo: build
	scripts/demo $(BUILD)

bench: build
	scripts/bench $(BUILD)

fuzz: setup
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DFLR_BUILD_FUZZ=ON -DFLR_BUILD_TESTS=OFF -DFLR_BUILD_BENCH=OFF
	cmake --build $(BUILD)-fuzz -j $(JOBS)

fuzz-smoke: fuzz
	scripts/fuzz-smoke $(BUILD)-fuzz $(FUZZ_SECONDS)

format:
	find include src tools tests bench fuzz -name '*.h' -o -name '*.cpp' | xargs clang-format -i

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz
