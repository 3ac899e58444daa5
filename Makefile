# The project's commands. `make test` sets up a fresh Debian machine, builds
# the driver natively and for 32-bit Windows and runs every test; `make demo`
# runs the poller against the simulator.
JOBS ?= 2
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: test demo deps native asan win32 clean

test: deps native asan win32
	@echo "make test: all passed"

deps:
	@scripts/install-deps

build/CMakeCache.txt:
	cmake -S . -B build $(CMAKE_FLAGS)

native: build/CMakeCache.txt
	cmake --build build -j$(JOBS)
	ctest --test-dir build --output-on-failure -j$(JOBS)

build-asan/CMakeCache.txt:
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DKIV_SANITIZE=address

asan: build-asan/CMakeCache.txt
	cmake --build build-asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j$(JOBS)

build-win32/CMakeCache.txt:
	cmake -S . -B build-win32 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake

win32: build-win32/CMakeCache.txt
	cmake --build build-win32 -j$(JOBS)
	ctest --test-dir build-win32 --output-on-failure

demo: deps build/CMakeCache.txt
	cmake --build build -j$(JOBS) --target kivpoll KIVLINK TAVLIB
	build/kivpoll --demo

clean:
	rm -rf build build-asan build-win32
