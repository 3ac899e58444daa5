#!/usr/bin/env bash
# cmake --install into a staging root (DESTDIR); the installed tree works, and
# a host project finds it with find_package.
# usage: install_test.sh SOURCE_DIR BUILD_DIR VERSION MAN_PAGES SCRATCH
SOURCE_DIR=$1 BUILD_DIR=$2 VERSION=$3 MAN_PAGES=$4 SCRATCH=$5
source "$SOURCE_DIR/tests/package/lib.sh"
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"

DESTDIR="$SCRATCH/root" cmake --install "$BUILD_DIR" --prefix /opt/kivlink > "$SCRATCH/install.log"
prefix="$SCRATCH/root/opt/kivlink"
check_tree "$prefix" lib

# find_package from a host project's CMake list.
mkdir -p "$SCRATCH/host"
cp "$SOURCE_DIR/tests/package/host_program.c" "$SCRATCH/host/"
cat > "$SCRATCH/host/CMakeLists.txt" <<'LIST'
cmake_minimum_required(VERSION 3.20)
project(host C)
find_package(kivlink REQUIRED)
add_executable(host_program host_program.c)
target_link_libraries(host_program PRIVATE kivlink::TAVLIB ${CMAKE_DL_LIBS})
file(WRITE ${CMAKE_BINARY_DIR}/found.txt "${kivlink_VERSION} ${KIVLINK_DRIVER}\n")
LIST
cmake -S "$SCRATCH/host" -B "$SCRATCH/host/build" -DCMAKE_PREFIX_PATH="$prefix" > "$SCRATCH/host.log" 2>&1 ||
    fail "find_package: $(cat "$SCRATCH/host.log")"
cmake --build "$SCRATCH/host/build" >> "$SCRATCH/host.log" 2>&1 || fail "host build: $(cat "$SCRATCH/host.log")"
read -r found_version found_driver < "$SCRATCH/host/build/found.txt"
expect_eq "CMake package version" "$VERSION" "$found_version"
expect_eq "KIVLINK_DRIVER" "$prefix/lib/KIVLINK.so" "$found_driver"
expect_contains "host built with find_package" "KIVLINK driver version $VERSION" \
    "$(run_clean "$SCRATCH/host/build/host_program" "$found_driver")"
echo "install test passed"
