#!/usr/bin/env bash
# kivsim.exe under wine serves a unit on COM5 of a wine COM pair; the native
# kivpoll polls and writes it from the pseudo-terminal at the other end.
# usage: kivsim_wine_test.sh SOURCE_DIR WINDOWS_BUILD NATIVE_KIVPOLL SCRATCH
set -euo pipefail
SOURCE_DIR=$1 WINDOWS_BUILD=$2 NATIVE_KIVPOLL=$3 SCRATCH=$4
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"

# The poller runs as the pair's peer once the simulator had time to start.
cat > "$SCRATCH/peer.sh" <<PEER
#!/usr/bin/env bash
sleep 3
"$NATIVE_KIVPOLL" -p "\$1" -t 3000 --json -W 4242 R00120400 > "$SCRATCH/polled.txt" 2>&1 &&
    "$NATIVE_KIVPOLL" -p "\$1" -t 3000 --json -n 2 -i 10 R00120400 >> "$SCRATCH/polled.txt" 2>&1
echo \$? > "$SCRATCH/status.txt"
PEER
chmod +x "$SCRATCH/peer.sh"

KIV_PEER_COMMAND="$SCRATCH/peer.sh {}" "$SOURCE_DIR/scripts/wine-run" "$WINDOWS_BUILD/kivsim.exe" \
    --device COM5 --station 12 --no-stdin --quiet --duration 15 > "$SCRATCH/kivsim.txt" 2>&1 || {
    echo "FAIL: kivsim.exe: $(cat "$SCRATCH/kivsim.txt")"
    exit 1
}
status=$(cat "$SCRATCH/status.txt" 2>/dev/null || echo none)
polled=$(cat "$SCRATCH/polled.txt" 2>/dev/null || true)
if [[ "$status" != 0 ]] || [[ $(grep -c '"op":"read","result":0.*4242' <<< "$polled") != 2 ]] ||
   ! grep -q '"op":"write","result":0' <<< "$polled"; then
    echo "FAIL: native kivpoll against kivsim.exe (status $status): $polled"
    exit 1
fi
echo "kivsim.exe served the native kivpoll"
