#!/usr/bin/env bash
# kivsim.exe under wine serves unit 12 to the native kivpoll, which writes it
# and reads it back: on COM5 of a wine COM pair (kivpoll on the pseudo-terminal
# at the other end), or as a TCP device server on the loopback.
# usage: kivsim_wine_test.sh SOURCE_DIR WINDOWS_BUILD NATIVE_KIVPOLL SCRATCH com|tcp
set -euo pipefail
SOURCE_DIR=$1 WINDOWS_BUILD=$2 NATIVE_KIVPOLL=$3 SCRATCH=$4 LINE=$5
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"

# The poller's part on PORT: a write, then two reads of it.
cat > "$SCRATCH/poll.sh" <<POLL
#!/usr/bin/env bash
"$NATIVE_KIVPOLL" -p "\$1" -t 3000 --json -W 4242 R00120400 > "$SCRATCH/polled.txt" 2>&1 &&
    "$NATIVE_KIVPOLL" -p "\$1" -t 3000 --json -n 2 -i 10 R00120400 >> "$SCRATCH/polled.txt" 2>&1
echo \$? > "$SCRATCH/status.txt"
POLL
chmod +x "$SCRATCH/poll.sh"

# Waits up to a minute for FILE to hold something.
wait_for() {
    for _ in $(seq 600); do [[ -s "$1" ]] && return 0; sleep 0.1; done
    return 1
}
# kivsim.exe with OPTIONS, once open writing its line's name (CR LF ended, as
# a Windows text file) to path.txt, until "quit" on its standard input.
kivsim_exe() {
    "$SOURCE_DIR/scripts/wine-run" "$WINDOWS_BUILD/kivsim.exe" --station 12 --quiet --duration 90 \
        --path-file "Z:$SCRATCH/path.txt" "$@" > "$SCRATCH/kivsim.txt" 2>&1 ||
        { echo "FAIL: kivsim.exe ($LINE): $(cat "$SCRATCH/kivsim.txt")"; exit 1; }
}

case $LINE in
com)
    # The poller runs as the pair's peer once the simulator holds its end.
    printf '#!/usr/bin/env bash\nfor _ in $(seq 600); do [[ -s "%s" ]] && break; sleep 0.1; done\nexec "%s" "$1"\n' \
        "$SCRATCH/path.txt" "$SCRATCH/poll.sh" > "$SCRATCH/peer.sh"
    chmod +x "$SCRATCH/peer.sh"
    { wait_for "$SCRATCH/status.txt"; echo quit; } | KIV_PEER_COMMAND="$SCRATCH/peer.sh {}" kivsim_exe --device COM5
    ;;
tcp)
    {
        wait_for "$SCRATCH/path.txt" && "$SCRATCH/poll.sh" "$(tr -d '\r\n' < "$SCRATCH/path.txt")"
        echo quit
    } | kivsim_exe --listen-tcp 127.0.0.1:0
    ;;
*)
    echo "FAIL: no line kind $LINE"
    exit 1
    ;;
esac

status=$(cat "$SCRATCH/status.txt" 2>/dev/null || echo none)
polled=$(cat "$SCRATCH/polled.txt" 2>/dev/null || true)
if [[ "$status" != 0 ]] || [[ $(grep -c '"op":"read","result":0.*4242' <<< "$polled") != 2 ]] ||
   ! grep -q '"op":"write","result":0' <<< "$polled"; then
    echo "FAIL: native kivpoll against kivsim.exe on $LINE (status $status): $polled"
    exit 1
fi
echo "kivsim.exe served the native kivpoll on $LINE"
