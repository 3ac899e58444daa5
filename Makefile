# The project's commands. `make test` sets up a fresh Debian machine, builds
# the driver natively and for 32-bit Windows and runs every test; `make demo`
# runs the poller against the simulator, with the native tool chain only.
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The AddressSanitizer build is unoptimised: with UndefinedBehaviorSanitizer
# on, -O2 compiles about four times slower than -O0 and finds nothing more.
ASAN_CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Debug

.PHONY: test demo deps deps-native native asan win32 package clean tsan fuzz fuzz-build fuzz-smoke soak soak-build soak-smoke

test: deps native asan win32 tsan fuzz-smoke soak-smoke
	@echo "make test: all passed"

deps:
	@scripts/install-deps

# Without mingw, wine or the i386 architecture.
deps-native:
	@scripts/install-deps --native

build/CMakeCache.txt:
	cmake -S . -B build $(CMAKE_FLAGS)

native: build/CMakeCache.txt
	cmake --build build -j$(JOBS)
	ctest --test-dir build --output-on-failure -j$(JOBS)

build-asan/CMakeCache.txt:
	cmake -S . -B build-asan $(ASAN_CMAKE_FLAGS) -DKIV_SANITIZE=address

asan: build-asan/CMakeCache.txt
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

build-win32/CMakeCache.txt:
	cmake -S . -B build-win32 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake

win32: build-win32/CMakeCache.txt
	cmake --build build-win32 -j$(JOBS)
	ctest --test-dir build-win32 --output-on-failure

# The .deb (native build) and the Windows kit .zip (mingw build), into dist/.
package: deps build/CMakeCache.txt build-win32/CMakeCache.txt
	cmake --build build -j$(JOBS)
	cd build && cpack -G DEB -B $(CURDIR)/dist
	cmake --build build-win32 -j$(JOBS)
	cd build-win32 && cpack -G ZIP -B $(CURDIR)/dist
	rm -rf dist/_CPack_Packages
	@ls dist

demo: deps-native build/CMakeCache.txt
	cmake --build build -j$(JOBS) --target kivpoll KIVLINK TAVLIB
	build/kivpoll --demo

# Reliability: the concurrency tests under ThreadSanitizer, the fuzz targets
# (clang, libFuzzer) and the fault-injection soak against the simulator.
# `make fuzz FUZZ_SECONDS=N` fuzzes each target N seconds; `make soak
# EXCHANGES=N` runs the soak for N exchanges.
FUZZ_SECONDS ?= 600
EXCHANGES ?= 100000
# ThreadSanitizer: every test of the programs that hold threaded tests (the
# unit, line and simulator tests); the poller's tests run a tool, not threads.
TSAN_TESTS ?= .
TSAN_TARGETS = kiv_unit_tests kiv_line_tests kiv_sim_tests

build-tsan/CMakeCache.txt:
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DKIV_SANITIZE=thread

tsan: build-tsan/CMakeCache.txt
	cmake --build build-tsan -j$(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -R '$(TSAN_TESTS)' -E '_NOT_BUILT|Kivpoll'

build-fuzz/CMakeCache.txt:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_FLAGS)

fuzz-build: build-fuzz/CMakeCache.txt
	cmake --build build-fuzz -j$(JOBS) --target kiv_fuzzers

fuzz: fuzz-build
	fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

fuzz-smoke: fuzz-build
	fuzz/run.sh build-fuzz 10 20000

soak-build: build/CMakeCache.txt
	cmake --build build -j$(JOBS) --target kiv_soak

soak: soak-build
	build/kiv_soak --exchanges $(EXCHANGES)

soak-smoke: soak-build
	build/kiv_soak --exchanges 2000

# Benchmarks and their report, docs/BENCHMARKS.md (bench/run installs what
# they need); never part of `make test`.
.PHONY: bench
bench:
	bench/run

clean:
	rm -rf build build-asan build-win32 build-tsan build-fuzz build-bench dist
