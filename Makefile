# The project's commands. `make test` sets up a fresh Debian machine, builds
# the driver natively and for 32-bit Windows and runs every test; `make demo`
# runs the poller against the simulator, with the native tool chain only.
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The AddressSanitizer build is unoptimised: with UndefinedBehaviorSanitizer
# on, -O2 compiles about four times slower than -O0 and finds nothing more.
ASAN_CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Debug

.PHONY: test demo deps deps-native deps-kit native asan win32 package deb kit clean tsan fuzz fuzz-build fuzz-smoke soak soak-build soak-smoke

test: deps native asan win32 tsan fuzz-smoke soak-smoke
	@echo "make test: all passed"

deps:
	@scripts/install-deps

# Without mingw, wine or the i386 architecture.
deps-native:
	@scripts/install-deps --native

# The cross tool chain for the Windows kit, without wine.
deps-kit:
	@scripts/install-deps --kit

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

# The packages into dist/, each from a build of its own without the tests
# (BUILD_TESTING off): `make deb` the .deb from a native build (no mingw, no
# wine), `make kit` the Windows kit .zip from the mingw build (no native
# build, no wine), `make package` both. DEB_BUILD, KIT_BUILD and DIST name
# other folders.
DEB_BUILD ?= build-deb
KIT_BUILD ?= build-kit
DIST ?= dist
PACKAGE_CMAKE_FLAGS = $(CMAKE_FLAGS) -DBUILD_TESTING=OFF

package: deb kit
	@ls $(DIST)

$(DEB_BUILD)/CMakeCache.txt:
	cmake -S . -B $(DEB_BUILD) $(PACKAGE_CMAKE_FLAGS)

deb: deps-native $(DEB_BUILD)/CMakeCache.txt
	cmake --build $(DEB_BUILD) -j$(JOBS)
	cd $(DEB_BUILD) && cpack -G DEB -B $(abspath $(DIST))
	rm -rf $(DIST)/_CPack_Packages

$(KIT_BUILD)/CMakeCache.txt:
	cmake -S . -B $(KIT_BUILD) $(PACKAGE_CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake

kit: deps-kit $(KIT_BUILD)/CMakeCache.txt
	cmake --build $(KIT_BUILD) -j$(JOBS)
	cd $(KIT_BUILD) && cpack -G ZIP -B $(abspath $(DIST))
	rm -rf $(DIST)/_CPack_Packages

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
# The gateway's threads meet in libmosquitto, which is not instrumented here:
# its tests run natively and under AddressSanitizer.
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
	rm -rf build build-asan build-win32 build-tsan build-fuzz build-bench $(DEB_BUILD) $(KIT_BUILD) $(DIST)
