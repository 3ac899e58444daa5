#!/usr/bin/env bash
# The Windows kit: built by CPack with the mingw tool chain, laid out for the
# integrator (the runtime stand-in apart, texts with CR LF), and working under
# wine from where it was unpacked: kivpoll.cmd polls the native kivsim on a
# COM port through the kit's own driver and stand-in.
# usage: zip_test.sh SOURCE_DIR BUILD_DIR VERSION NATIVE_KIVSIM SCRATCH
SOURCE_DIR=$1 BUILD_DIR=$2 VERSION=$3 NATIVE_KIVSIM=$4 SCRATCH=$5
source "$SOURCE_DIR/tests/package/lib.sh"
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"

(cd "$BUILD_DIR" && cpack -G ZIP -B "$SCRATCH/out") > "$SCRATCH/cpack.log" 2>&1 || fail "cpack: $(cat "$SCRATCH/cpack.log")"
zip="$SCRATCH/out/kivlink-$VERSION-win32.zip"
[[ -f "$zip" ]] || fail "no $zip: $(ls "$SCRATCH/out")"
unzip -q "$zip" -d "$SCRATCH/unpacked"
kit="$SCRATCH/unpacked/kivlink-$VERSION-win32"
for file in KIVLINK.dll kivpoll.exe kivsim.exe kivpoll.cmd INSTALL.txt test-stand-in/TAVLIB.DLL \
            test-stand-in/README.txt sample/kivIN01.int docs/README.txt docs/configuration.txt docs/kivpoll.txt \
            docs/kivsim.txt; do
    [[ -f "$kit/$file" ]] || fail "$file not in the kit"
done
[[ ! -e "$kit/TAVLIB.DLL" ]] || fail "the runtime stand-in lies beside the driver"
# INSTALL.txt names everything else at the top of the kit.
for file in "$kit"/*; do
    [[ "$file" == */INSTALL.txt ]] && continue
    name=$(basename "$file")
    grep -qF "$name" "$kit/INSTALL.txt" || fail "INSTALL.txt does not name $name"
done
expect_contains "stand-in marked" "TEST STAND-IN" "$(cat "$kit/test-stand-in/README.txt")"
for text in INSTALL.txt docs/README.txt sample/kivIN01.int; do
    [[ $(grep -c $'\r$' "$kit/$text") == $(wc -l < "$kit/$text") ]] || fail "$text lacks CR LF line ends"
done

# kivpoll.cmd: the kit's poller with the kit's stand-in, against the native
# simulator on the other end of COM5.
wine_run=$SOURCE_DIR/scripts/wine-run
version=$(cd "$kit" && "$wine_run" "$kit/kivpoll.cmd" --version | tr -d '\r')
expect_eq "kivpoll.cmd --version" "kivpoll $VERSION" "$version"
version=$(cd "$kit" && "$wine_run" "$kit/kivsim.exe" --version | tr -d '\r')
expect_eq "kivsim.exe --version" "kivsim $VERSION" "$version"
polled=$(cd "$kit" && KIV_PEER_COMMAND="$NATIVE_KIVSIM --device {} --station 12 --no-stdin --quiet" \
    "$wine_run" "$kit/kivpoll.cmd" -p COM5 -t 300 --json R00120300 | tr -d '\r') || fail "kivpoll.cmd: $polled"
expect_contains "kivpoll.cmd read" '"result":0' "$polled"
echo "zip test passed"
