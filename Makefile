# Thin wrapper over CMake. `make test` and `make demo` install what is missing.
BUILD      ?= build
ASAN_BUILD ?= build-asan
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all deps configure build test test-unit test-asan test-windows test-deb demo install deb bench clean

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

test-windows:
	@if [ -x scripts/check-windows.sh ]; then ./scripts/check-windows.sh; fi

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
	rm -rf $(BUILD) $(ASAN_BUILD)
