# Thin wrapper over CMake. `make demo` installs what is missing for the demo,
# `make test` what is missing for the tests too (scripts/packages).
BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build tests-on test test-unit test-stress test-asan windows test-windows test-deb demo install deb bench clean

all: build

deps:
	@./scripts/install-deps.sh

# A build directory counts as configured once CMake has finished there: the
# stamp is written only after it succeeds, so a configure that failed or was
# interrupted is run again by the next make. Once configured, `cmake --build`
# re-runs CMake itself when its inputs change.
#
# Before the first configure, missing packages are named in one line instead
# of CMake's errors (the check costs nothing once configured).
MISSING_DEPS = $(shell ./scripts/missing-build-deps.sh $(if $(findstring DURUVEV_TESTS=OFF,$(CMAKE_FLAGS)),--no-tests))

$(BUILD)/.configured:
	$(if $(MISSING_DEPS),$(error missing packages: $(MISSING_DEPS). `make deps` installs them (`make demo` and `make test` install them too)))
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	@touch $@

build: $(BUILD)/.configured
	cmake --build $(BUILD) -j $(JOBS)

# A build directory that `make demo` configured without the tests gets them
# here, in place: what the demo built is not built again.
tests-on: $(BUILD)/.configured
	@if grep -qx 'DURUVEV_TESTS:BOOL=OFF' $(BUILD)/CMakeCache.txt; then \
		echo "cmake -S . -B $(BUILD) -DDURUVEV_TESTS=ON"; cmake -S . -B $(BUILD) -DDURUVEV_TESTS=ON; fi

test: deps
	$(MAKE) tests-on
	$(MAKE) build
	$(MAKE) test-unit
	$(MAKE) test-deb
	$(MAKE) test-asan
	$(MAKE) test-windows
	@if [ -x scripts/fuzz.sh ]; then ./scripts/fuzz.sh; fi

# A build without tests fails here rather than passing with none run.
test-unit:
	ctest --test-dir $(BUILD) --output-on-failure --no-tests=error -j $(JOBS)

# STRESS_RUNS runs in a row of STRESS_TARGET with two busy loops beside it,
# as on a shared CI machine; stops at the first failure.
STRESS_RUNS   ?= 5
STRESS_TARGET ?= test
test-stress:
	@sh -c 'while :; do :; done' & b1=$$!; sh -c 'while :; do :; done' & b2=$$!; \
	trap 'kill $$b1 $$b2' EXIT; trap 'exit 130' INT TERM; \
	for i in $$(seq $(STRESS_RUNS)); do \
		echo "test-stress: run $$i of $(STRESS_RUNS), two busy loops beside it"; \
		$(MAKE) $(STRESS_TARGET) || exit 1; \
	done

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDURUVEV_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure --no-tests=error -j $(JOBS)

# Builds the Debian package in a scratch directory and checks it; shows the
# contents list and lintian's report.
test-deb:
	./tests/packaging/deb.sh $(BUILD) .

# The Windows program, cross-built with mingw-w64 against static libraries
# made from Debian's source packages (cached in $(WIN_BUILD)/deps).
# Configured like $(BUILD): the stamp says CMake finished.
$(WIN_BUILD)/.configured:
	./scripts/build-windows-deps.sh $(WIN_BUILD)
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
		-DDURUVEV_WIN_DEPS=$(abspath $(WIN_BUILD))/deps/prefix -DCMAKE_BUILD_TYPE=Release
	@touch $@

windows: deps
	./scripts/build-windows-deps.sh $(WIN_BUILD)
	$(MAKE) $(WIN_BUILD)/.configured
	cmake --build $(WIN_BUILD) -j $(JOBS)
	@echo "windows: $(WIN_BUILD)/duruvev.exe"

# Runs the Windows program under Wine against the emulator.
test-windows: windows
	$(MAKE) build
	cmake --build $(WIN_BUILD) -j $(JOBS) --target duruvev-wincheck
	./scripts/test-windows.sh $(BUILD) $(WIN_BUILD)

# Only what the demo needs: its packages, a build directory configured
# without the tests (one that has them keeps them), the tool and the
# emulator. Each step's time is shown at the end, so a slow one stands out.
DEMO_TARGETS = duruvev duruvev-emu
STEP = ./scripts/timed-step.sh $(BUILD)/.demo-times
demo:
	@rm -f $(BUILD)/.demo-times
	@$(STEP) packages ./scripts/install-deps.sh demo
	@$(STEP) configure $(MAKE) --no-print-directory $(BUILD)/.configured CMAKE_FLAGS="$(CMAKE_FLAGS) -DDURUVEV_TESTS=OFF"
	@$(STEP) build cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@$(STEP) demo ./scripts/demo.sh $(BUILD)
	@$(STEP) --report
	@echo "Crash: $$($(BUILD)/duruvev --title ./demo-dump | head -n 1)"

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

deb: build
	cd $(BUILD) && cpack -G DEB

# The engine, pty and USB benchmarks at modest sizes, one summary table.
bench: build
	./scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)
