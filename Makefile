# Thin wrapper over CMake + Ninja. Artifacts land in build/bin/.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup build test test-linux demo clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The whole suite.
test: test-linux

# The Linux suite: unit, virtual-time protocol, pseudo-terminal and terminal tests.
test-linux: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The program against the built-in simulator, in this terminal.
demo: build
	@scripts/demo.sh $(BUILD)/bin

clean:
	rm -rf build build-*
