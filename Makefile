# Thin wrapper over CMake. `make test` and `make demo` install what is missing.
BUILD      ?= build
ASAN_BUILD ?= build-asan
WIN_BUILD  ?= build-win
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build test test-unit test-asan windows test-windows test-deb demo install deb bench clean

all: build

deps:
	@./scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	$(MAKE) test-unit
	$(MAKE) test-deb
	$(MAKE) test-asan
	$(MAKE) test-windows
	@if [ -x scripts/fuzz.sh ]; then ./scripts/fuzz.sh; fi

test-unit:
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDURUVEV_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Builds the Debian package in a scratch directory and checks it; shows the
# contents list and lintian's report.
test-deb:
	./tests/packaging/deb.sh $(BUILD) .

# The Windows program, cross-built with mingw-w64 against static libraries
# made from Debian's source packages (cached in $(WIN_BUILD)/deps).
$(WIN_BUILD)/CMakeCache.txt:
	./scripts/build-windows-deps.sh $(WIN_BUILD)
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
		-DDURUVEV_WIN_DEPS=$(abspath $(WIN_BUILD))/deps/prefix -DCMAKE_BUILD_TYPE=Release

windows: deps
	./scripts/build-windows-deps.sh $(WIN_BUILD)
	$(MAKE) $(WIN_BUILD)/CMakeCache.txt
	cmake --build $(WIN_BUILD) -j $(JOBS)
	@echo "windows: $(WIN_BUILD)/duruvev.exe"

# Runs the Windows program under Wine against the emulator.
test-windows: windows
	$(MAKE) build
	cmake --build $(WIN_BUILD) -j $(JOBS) --target duruvev-wincheck
	./scripts/test-windows.sh $(BUILD) $(WIN_BUILD)

demo: deps
	$(MAKE) build
	@if [ -x scripts/demo.sh ]; then ./scripts/demo.sh $(BUILD); else echo "demo: not available yet"; exit 1; fi

install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

deb: build
	cd $(BUILD) && cpack -G DEB

# The engine, pty and USB benchmarks at modest sizes, one summary table.
bench: build
	./scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(WIN_BUILD)
