#!/usr/bin/env bash
# make deb, make kit and make package build what they package: the .deb from
# a native build without the tests, mingw or wine; the kit from the mingw
# build alone, without a native build, native tests or wine; package both.
# Read from make's plan (make -n), and from the .deb's build configured by
# the Makefile's own rule with mingw and wine replaced by stand-ins that
# record any call.
# usage: split_test.sh SOURCE_DIR SCRATCH
SOURCE_DIR=$1 SCRATCH=$2
source "$SOURCE_DIR/tests/package/lib.sh"
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"
folders=(DEB_BUILD="$SCRATCH/deb" KIT_BUILD="$SCRATCH/kit" DIST="$SCRATCH/dist")

# target | in its plan (each of ;-apart regular expressions) | never in it
plans=(
    "deb|install-deps --native;-B $SCRATCH/deb .*-DBUILD_TESTING=OFF;cpack -G DEB|mingw|wine|ctest|cpack -G ZIP|install-deps( --kit)?$"
    "kit|install-deps --kit;-B $SCRATCH/kit .*-DBUILD_TESTING=OFF .*mingw-i686.cmake;cpack -G ZIP|wine|ctest|cpack -G DEB|$SCRATCH/deb|install-deps( --native)?$"
    "package|cpack -G DEB;cpack -G ZIP;-DBUILD_TESTING=OFF|ctest|wine|install-deps$"
)
for row in "${plans[@]}"; do
    IFS='|' read -r target wanted unwanted <<< "$row"  # unwanted keeps its own |
    plan=$(make -s -C "$SOURCE_DIR" -n "$target" "${folders[@]}") || fail "make -n $target: $plan"
    IFS=';' read -ra patterns <<< "$wanted"
    for pattern in "${patterns[@]}"; do
        grep -qE -- "$pattern" <<< "$plan" || fail "make $target does not run '$pattern': $plan"
    done
    ! grep -E -- "$unwanted" <<< "$plan" || fail "make $target runs what it must not ($unwanted)"
done

# The .deb's build configured as make deb configures it, with stand-ins for
# the cross tool chain and wine on the PATH: none is called, and the build
# holds the packaged programs and no test.
stubs=$SCRATCH/stubs
mkdir -p "$stubs"
for tool in i686-w64-mingw32-gcc-posix i686-w64-mingw32-g++-posix i686-w64-mingw32-windres wine wineboot wineserver; do
    printf '#!/bin/sh\necho "%s $*" >> "%s/called"\nexit 1\n' "$tool" "$SCRATCH" > "$stubs/$tool"
    chmod +x "$stubs/$tool"
done
PATH="$stubs:$PATH" make -s -C "$SOURCE_DIR" "${folders[@]}" "$SCRATCH/deb/CMakeCache.txt" > "$SCRATCH/configure.log" 2>&1 ||
    fail "make deb's configuration: $(cat "$SCRATCH/configure.log")"
[[ ! -e "$SCRATCH/called" ]] || fail "make deb's configuration called $(cat "$SCRATCH/called")"
targets=$(cmake --build "$SCRATCH/deb" --target help)
for target in KIVLINK TAVLIB kivpoll kivsim kivgate; do
    grep -qw -- "$target" <<< "$targets" || fail "the .deb's build has no $target"
done
! grep -E -- "kiv_[a-z_]*tests|gtest|fuzz_|kiv_soak" <<< "$targets" || fail "the .deb's build holds tests"
expect_contains "the .deb's build's tests" "Total Tests: 0" "$(ctest --test-dir "$SCRATCH/deb" -N)"
echo "package split test passed"
