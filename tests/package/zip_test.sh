#!/usr/bin/env bash
# The Windows kit: built by CPack with the mingw tool chain, laid out for the
# integrator (the runtime stand-in apart, texts with CR LF, every user
# document of docs/), and working under wine from the empty folder it was
# unpacked into: kivpoll.exe finds the kit's stand-in by itself, plays its
# demo on a COM pair, names a missing stand-in, and polls the native kivsim
# through the kit's own driver; kivsim.exe speaks of COM ports.
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
# Every user document of docs/ (the developers' reports aside), with the
# kit's names in its references; the README is the one for Windows. kivgate
# (Linux alone) and its documents are not in the kit.
for doc in "$SOURCE_DIR"/docs/*.md "$SOURCE_DIR"/docs/*.svg; do
    [[ -e "$doc" ]] || continue
    name=$(basename "$doc")
    case $name in ARCHITECTURE.md | BENCHMARKS.md | RELIABILITY.md | kivgate*) continue ;; esac
    [[ -f "$kit/docs/${name/%.md/.txt}" ]] || fail "docs/$name not in the kit"
done
! find "$kit" -iname 'kivgate*' | grep . || fail "kivgate in the kit"
! grep -l 'docs/[A-Za-z_-]*\.md' "$kit"/docs/*.txt || fail "kit documents name docs/*.md files"
expect_contains "the kit's README" "KIVLINK for Windows" "$(head -1 "$kit/docs/README.txt")"

wine_run=$SOURCE_DIR/scripts/wine-run
# The kit without its stand-in, beside the whole one.
bare="$SCRATCH/bare"
cp -r "$kit" "$bare" && rm -rf "$bare/test-stand-in"

# One run per row, from the scratch folder (not the kit's): what, the kit
# folder, the program, the exit code wanted, a text wanted in its output (a
# regular expression), its arguments. The demo's report-by-exception part is
# cut to 2 s; it plays the units on COM6 and the driver opens COM5, the two
# ends of the pair scripts/wine-ports makes.
runs=(
    "kivpoll.exe --version|$kit|kivpoll.exe|0|^kivpoll $VERSION\$|--version"
    "kivpoll.cmd --version|$kit|kivpoll.cmd|0|^kivpoll $VERSION\$|--version"
    "kivsim.exe --version|$kit|kivsim.exe|0|^kivsim $VERSION\$|--version"
    "the demo on a COM pair|$kit|kivpoll.exe|0|no answer 0|--demo --port COM5 --sim-port COM6 --listen 2"
    "the demo without a pair|$kit|kivpoll.exe|3|^kivpoll: the demo needs two COM ports joined by a virtual null-modem pair .*--sim-port COM6|--demo"
    "the stand-in missing|$bare|kivpoll.exe|6|^kivpoll: the runtime stand-in TAVLIB.DLL is neither in .*test-stand-in nor in |-p COM5 R00120300"
    "--version without the stand-in|$bare|kivpoll.exe|0|^kivpoll $VERSION\$|--version"
    "kivsim.exe on a missing port|$kit|kivsim.exe|1|^kivsim: COM77: no such port: .* [(]error [23][)]|--device COM77 --no-stdin"
    "kivsim.exe without a port|$kit|kivsim.exe|2|^kivsim: give the COM port to serve [(]--device COM2[)]|--no-stdin"
    "kivsim.exe --help|$kit|kivsim.exe|0|--device COMn +serve this COM port|--help"
)
for row in "${runs[@]}"; do
    IFS='|' read -r what folder program code wanted arguments <<< "$row"
    # shellcheck disable=SC2086
    status=0
    said=$(cd "$SCRATCH" && "$wine_run" "$folder/$program" $arguments 2>&1 | tr -d '\r') || status=$?
    [[ "$status" == "$code" ]] || fail "$what: exit $status, not $code: $said"
    grep -qE -- "$wanted" <<< "$said" || fail "$what: no line matching '$wanted' in: $said"
done
if grep -q "pseudo-terminal pair and prints" <<< "$(cd "$SCRATCH" && "$wine_run" "$kit/kivsim.exe" --help)"; then
    fail "kivsim.exe --help speaks of pseudo-terminals"
fi

# The kit's poller and stand-in against the native simulator on the other
# end of COM5.
polled=$(cd "$kit" && KIV_PEER_COMMAND="$NATIVE_KIVSIM --device {} --station 12 --no-stdin --quiet" \
    "$wine_run" "$kit/kivpoll.exe" -p COM5 -t 300 --json R00120300 | tr -d '\r') || fail "kivpoll.exe: $polled"
expect_contains "kivpoll.exe read" '"result":0' "$polled"
echo "zip test passed"
