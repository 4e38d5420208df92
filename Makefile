# Thin wrapper over CMake + Ninja. Artifacts land in build/bin/.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all setup build test test-linux test-asan test-tsan test-fuzz fuzz test-windows windows windows-release demo install package bench soak soak-real clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The whole suite: the Linux suite, short fuzz runs, the suite again under
# AddressSanitizer and UBSan, two converters from two threads under
# ThreadSanitizer, and the Windows build under Wine.
test: test-linux test-fuzz test-asan test-tsan test-windows

# Each stage fails when a process it started outlives it (named, then ended).
SURVIVE = scripts/survivors.sh

# The Linux suite: unit, virtual-time protocol, pseudo-terminal and terminal tests.
test-linux: build
	@$(SURVIVE) linux ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) --timeout 600

# The whole suite again, built with AddressSanitizer and UBSan (build-asan/);
# any report, from a test or from a program it started, fails it.
test-asan: setup
	@cmake -S . -B build-asan -G Ninja -DK73_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@$(SURVIVE) asan scripts/test_sanitized.sh build-asan

# Two converters driven from two threads through one driver, and k73log's
# spool writer beside its MQTT network thread through a broker restart, built
# with ThreadSanitizer in build-tsan/: only what those tests need.
test-tsan: setup
	@cmake -S . -B build-tsan -G Ninja -DK73_TSAN=ON >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target tovdrv k73sim two_converters_test publishing_thread_test
	@$(SURVIVE) tsan ctest --test-dir build-tsan -R '^threads\.' --output-on-failure

# Each fuzz target for 20 seconds from its corpus (clang, build-fuzz/).
test-fuzz: setup
	@$(SURVIVE) fuzz scripts/fuzz.sh 20

# The same, ten minutes each.
fuzz: setup
	@scripts/fuzz.sh $${FUZZ_SECONDS:-600}

# The same sources for Windows: build-win64/bin and build-win32/bin hold
# tovdrv.dll and tovcon.exe.
windows:
	@scripts/windows/setup.sh
	@scripts/windows/build.sh

# The Windows release, into build-release/: the installer
# k73-<version>-win64-setup.exe and the same files as k73-<version>-win64.zip.
windows-release: windows
	@scripts/windows/release.sh

# Export and import tables of both Windows builds, then the 64-bit driver and
# program under Wine against k73sim on a pseudo-terminal, then the release
# installed, used and removed there.
test-windows: build windows-release
	@$(SURVIVE) windows tests/windows/run.sh $(BUILD)/bin build-win64/bin build-win32/bin

# The program against the built-in simulator, in this terminal.
demo: build
	@scripts/demo.sh $(BUILD)/bin

# The driver, its header, pkg-config and CMake files, both programs and their
# manual pages, under PREFIX (DESTDIR=... stages them elsewhere).
PREFIX ?= /usr/local
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package of the same files under /usr, left in $(BUILD)/.
package: build
	@cd $(BUILD) && cpack -G DEB

# Speed, latency, CPU and memory against k73sim, as one table (a few minutes;
# BENCH_LONG=1 adds a 10,000-scan soak). Not part of `make test`.
bench: build
	@$(BUILD)/bin/k73bench

# A simulated day of random faults in virtual time, every scan accounted for
# (SOAK_SEED=N repeats one; a simulated hour of it runs in the suite).
soak: build
	@$(BUILD)/bin/k73soak --hours 24 $${SOAK_SEED:+--seed $$SOAK_SEED}; local=$$?; \
	$(BUILD)/bin/k73soak --remote --hours 24 $${SOAK_SEED:+--seed $$SOAK_SEED} && exit $$local

# An hour of real faults against k73sim, on a pseudo-terminal and through
# ser2net (SOAK_REAL_SECONDS, SOAK_REAL_SEED). Before a release; not in CI.
soak-real: build
	@python3 tests/soak/soak_real.py $(BUILD)/bin

clean:
	rm -rf build build-*
