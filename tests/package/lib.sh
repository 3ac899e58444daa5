# Shared checks of an installed tree (a DESTDIR install or an unpacked .deb).
# Sourced by the package tests; VERSION, SOURCE_DIR and SCRATCH are set by them.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

expect_eq() {  # what expected actual
    [[ "$2" == "$3" ]] || fail "$1: expected '$2', got '$3'"
}

expect_contains() {  # what needle haystack
    [[ "$3" == *"$2"* ]] || fail "$1: '$2' not in: $3"
}

# A clean environment: nothing of the build tree on the search paths.
run_clean() {
    env -i PATH=/usr/bin:/bin HOME="$SCRATCH" "$@"
}

# check_tree PREFIX LIBDIR [demo]: the installed programs, driver, headers, pkg-config
# file, man pages and completion work from where they lie.
check_tree() {
    local prefix=$1 libdir=$2 demo_too=${3:-}
    for file in bin/kivpoll bin/kivsim bin/kivgate "$libdir/KIVLINK.so" "$libdir/libTAVLIB.so" include/kivlink.h \
                include/tavlib_control.h "$libdir/pkgconfig/kivlink.pc" "$libdir/cmake/kivlink/kivlinkConfig.cmake" \
                share/doc/kivlink/README.md share/doc/kivlink/configuration.md share/doc/kivlink/kivgate.example.toml \
                share/bash-completion/completions/kivpoll share/bash-completion/completions/kivsim \
                share/bash-completion/completions/kivgate; do
        [[ -e "$prefix/$file" ]] || fail "$file not installed"
    done

    # Every user document of docs/, the developers' reports aside.
    local doc
    for doc in "$SOURCE_DIR"/docs/*.md "$SOURCE_DIR"/docs/*.svg; do
        [[ -e "$doc" ]] || continue
        case $(basename "$doc") in ARCHITECTURE.md | BENCHMARKS.md | RELIABILITY.md) continue ;; esac
        [[ -f "$prefix/share/doc/kivlink/$(basename "$doc")" ]] || fail "docs/$(basename "$doc") not installed"
    done

    # One version: the tools, the pkg-config file, the man pages.
    expect_eq "kivpoll --version" "kivpoll $VERSION" "$(run_clean "$prefix/bin/kivpoll" --version)"
    expect_eq "kivsim --version" "kivsim $VERSION" "$(run_clean "$prefix/bin/kivsim" --version)"
    expect_eq "kivgate --version" "kivgate $VERSION" "$(run_clean "$prefix/bin/kivgate" --version)"
    local pc=(env PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config)
    expect_eq "pkg-config version" "$VERSION" "$("${pc[@]}" --modversion kivlink)"
    if [[ "$MAN_PAGES" == 1 ]]; then
        for tool in kivpoll kivsim kivgate; do
            local header
            header=$(zcat "$prefix/share/man/man1/$tool.1.gz" | grep '^\.TH')
            expect_contains "$tool(1) header" "$tool $VERSION" "$header"
            zcat "$prefix/share/man/man1/$tool.1.gz" | grep -qF -e '\-\-port' -e '\-\-device' -e '\-\-config' ||
                fail "$tool(1) lists no options"
        done
    fi

    # The driver reads its per-thread values through TLS descriptors on x86:
    # no call into the dynamic loader for each read, as __tls_get_addr would be.
    case $(uname -m) in
        x86_64 | i?86)
            ! nm -D --undefined-only "$prefix/$libdir/KIVLINK.so" | grep -qw __tls_get_addr ||
                fail "KIVLINK.so reads its thread-locals through __tls_get_addr" ;;
    esac

    # The installed poller finds the installed driver and runtime, nothing else.
    local libs
    libs=$(run_clean ldd "$prefix/bin/kivpoll" | grep TAVLIB)
    expect_contains "kivpoll's runtime" "$prefix/bin/../$libdir/libTAVLIB.so" "$libs"
    if [[ "$demo_too" == demo ]]; then  # its report-by-exception part cut to 2 s
        local demo
        demo=$(cd "$SCRATCH" && run_clean "$prefix/bin/kivpoll" --demo --listen 2 2>&1) || fail "kivpoll --demo: $demo"
        expect_contains "kivpoll --demo" "no answer 0" "$demo"
    fi

    # kivgate's man page examples that only read a file (--check), on the
    # installed example: the installed kivgate finds its driver by itself.
    local example said checked=0
    while read -r example; do
        example=${example//\/usr\/share\/doc\/kivlink/$prefix/share/doc/kivlink}
        # shellcheck disable=SC2086
        said=$(cd "$SCRATCH" && run_clean "$prefix/bin/"$example 2>&1) || fail "$example: $said"
        expect_contains "$example" "setpoint" "$said"
        checked=$((checked + 1))
    done < <(sed 's/\\-/-/g' "$SOURCE_DIR/packaging/man/kivgate.h2m" | grep -E '^kivgate .*--check')
    [[ $checked -gt 0 ]] || fail "kivgate(1) has no --check example"

    # A host program against the installed header, with pkg-config's flags.
    local cflags
    cflags=$("${pc[@]}" --cflags --libs kivlink)
    expect_contains "pkg-config flags" "-lTAVLIB" "$cflags"
    # shellcheck disable=SC2086
    cc -Wall -Wextra -Werror -o "$SCRATCH/host_program" "$SOURCE_DIR/tests/package/host_program.c" $cflags -ldl \
        -Wl,-rpath,"$("${pc[@]}" --variable=libdir kivlink)" || fail "host program does not build"
    local described
    described=$(run_clean "$SCRATCH/host_program" "$("${pc[@]}" --variable=driver kivlink)")
    expect_contains "Describe" "kind 70 block 66104" "$described"
    expect_contains "banner's version row" "KIVLINK driver version $VERSION " "$described"

    # Completion: options from the tool's help, ports from /dev.
    local completion="$prefix/share/bash-completion/completions/kivpoll"
    complete_words() {  # words...; prints the replies for the last word
        PATH="$prefix/bin:$PATH" bash -c 'source "$0"; COMP_WORDS=("${@}"); COMP_CWORD=$(($# - 1));
            _kivlink_complete; printf "%s\n" "${COMPREPLY[@]}"' "$completion" "$@"
    }
    expect_contains "kivpoll option completion" "--port" "$(complete_words kivpoll --po)"
    expect_contains "kivpoll option completion" "--version" "$(complete_words kivpoll --ver)"
    expect_contains "kivsim option completion" "--device" "$(complete_words kivsim --dev)"
    expect_contains "port completion" "/dev/tty" "$(complete_words kivpoll --port /dev/tt)"
    expect_contains "device completion" "/dev/tty" "$(complete_words kivsim --device /dev/tt)"
}

# check_unit UNIT ROOT: kivgate's systemd unit holds the keys its service
# needs (a row per key, "[Section]Key=Value"), starts a program ROOT holds,
# and, where systemd-analyze is installed, verifies without a word.
check_unit() {
    local unit=$1 root=$2 row keys
    keys=$(awk '/^\[/ { section = $0 } /^[A-Za-z]/ { print section $0 }' "$unit")
    local wanted=(
        "[Service]ExecStart=/usr/bin/kivgate --config /etc/kivgate/%i.toml"
        "[Service]ExecReload=/bin/kill -HUP \$MAINPID"
        "[Service]Restart=on-failure"
        "[Service]RestartSec=5"
        "[Service]User=kivgate"
        "[Service]SupplementaryGroups=dialout"
        "[Service]StateDirectory=kivgate/%i"
        "[Service]WorkingDirectory=/var/lib/kivgate/%i"
        "[Install]WantedBy=multi-user.target"
    )
    for row in "${wanted[@]}"; do
        grep -qxF -- "$row" <<< "$keys" || fail "kivgate@.service lacks $row"
    done
    [[ -x "$root/usr/bin/kivgate" ]] || fail "the unit's /usr/bin/kivgate is not in the tree"
    if command -v systemd-analyze > /dev/null; then
        mkdir -p "$SCRATCH/unit"
        sed "s|/usr/bin/kivgate|$root/usr/bin/kivgate|" "$unit" > "$SCRATCH/unit/kivgate@site1.service"
        local said
        said=$(systemd-analyze verify --man=no "$SCRATCH/unit/kivgate@site1.service" 2>&1) || fail "verify: $said"
        [[ -z "$said" ]] || fail "systemd-analyze verify kivgate@.service: $said"
    else
        echo "systemd-analyze not installed: kivgate@.service's keys checked, not verified"
    fi
}
