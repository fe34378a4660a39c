# Thin wrapper over CMake: installs what is missing, configures once, builds.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all build run test clean format

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

test:
	@scripts/install-deps.sh test
	@$(MAKE) --no-print-directory build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD)
