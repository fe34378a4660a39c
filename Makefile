# SPDX-License-Identifier: MIT
# Thin wrapper over CMake: installs what is missing, configures once, builds.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= 2
CMAKE_FLAGS ?=
# clang, for the fuzz targets (libFuzzer); without it g++ still sanitizes, with no fuzzing.
ASAN_CXX = $(if $(shell command -v clang++),-DCMAKE_CXX_COMPILER=clang++)
# Stop at the first report; leaks are suppressed in system libraries only.
SANITIZER_ENV = ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/process/lsan.supp

.PHONY: all build run test test-asan package demo bench clean format

all: build

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build:
	@scripts/install-deps.sh build
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run:
	@scripts/install-deps.sh run
	@$(MAKE) --no-print-directory build
	$(BUILD)/bin/swipewatch

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DSWIPEWATCH_SANITIZE=ON $(ASAN_CXX) $(CMAKE_FLAGS)

# The normal suite, then the same suite under AddressSanitizer and UBSan.
test:
	@scripts/install-deps.sh test
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	@$(MAKE) --no-print-directory test-asan

test-asan:
	@scripts/install-deps.sh test
	@$(MAKE) --no-print-directory $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && $(SANITIZER_ENV) ctest --output-on-failure -j $(JOBS)

# The Debian packages, into $(BUILD): swipewatch-tools_<version>-1_<arch>.deb
# (the command-line tools) and swipewatch_<version>-1_<arch>.deb (the window).
package:
	@scripts/install-deps.sh package
	@$(MAKE) --no-print-directory build
	cmake --build $(BUILD) -j $(JOBS) --target package

# Pictures of the window at work, into $(BUILD)/demo.
demo:
	@scripts/install-deps.sh demo
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target swipewatch msrswipe
	BUILD=$(BUILD) scripts/demo.sh

# Every figure next to its reference, into $(BUILD)/bench/results.json.
bench:
	@scripts/install-deps.sh bench
	@$(MAKE) --no-print-directory $(BUILD)/build.ninja CMAKE_FLAGS="$(CMAKE_FLAGS) -DSWIPEWATCH_BENCH=ON"
	@grep -q '^SWIPEWATCH_BENCH:BOOL=ON$$' $(BUILD)/CMakeCache.txt || cmake -S . -B $(BUILD) -DSWIPEWATCH_BENCH=ON
	cmake --build $(BUILD) -j $(JOBS) --target swipewatch msrswipe barewindow swipehost codec_bench replugbench
	python3 bench/run.py --build $(BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
