#!/usr/bin/env bash
# The .deb: built by CPack, its control fields and copyright file, unpacked
# with dpkg-deb -x and run from the scratch folder; lintian (slow, so only
# with KIV_LINTIAN=1) reports no tag but those the README justifies.
# usage: deb_test.sh SOURCE_DIR BUILD_DIR VERSION MAN_PAGES SCRATCH
SOURCE_DIR=$1 BUILD_DIR=$2 VERSION=$3 MAN_PAGES=$4 SCRATCH=$5
source "$SOURCE_DIR/tests/package/lib.sh"
rm -rf "$SCRATCH" && mkdir -p "$SCRATCH"

(cd "$BUILD_DIR" && cpack -G DEB -B "$SCRATCH/out") > "$SCRATCH/cpack.log" 2>&1 || fail "cpack: $(cat "$SCRATCH/cpack.log")"
deb=$(ls "$SCRATCH"/out/kivlink_*.deb)
expect_eq "package name" "kivlink" "$(dpkg-deb -f "$deb" Package)"
expect_eq "package version" "$VERSION" "$(dpkg-deb -f "$deb" Version)"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libgcc-s1 libmosquitto1; do
    expect_contains "Depends" "$library" "$depends"
done
# One maintainer in the control file, the copyright file and the changelog.
maintainer=$(dpkg-deb -f "$deb" Maintainer)
copyright=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/kivlink/copyright)
expect_contains "copyright" "Upstream-Name: kivlink" "$copyright"
expect_contains "copyright's contact" "Upstream-Contact: $maintainer" "$copyright"
expect_contains "changelog's maintainer" " -- $maintainer " "$(dpkg-deb --fsys-tarfile "$deb" |
    tar -xO ./usr/share/doc/kivlink/changelog.gz | gzip -dc)"

dpkg-deb -x "$deb" "$SCRATCH/unpacked"
check_tree "$SCRATCH/unpacked/usr" lib demo

# kivgate's service: the unit where Debian keeps units, its user, the
# example in /etc as a conffile.
root="$SCRATCH/unpacked"
for file in lib/systemd/system/kivgate@.service usr/lib/sysusers.d/kivgate.conf etc/kivgate/example.toml; do
    [[ -f "$root/$file" ]] || fail "$file not in the .deb"
done
expect_eq "conffiles" "/etc/kivgate/example.toml" "$(dpkg-deb --info "$deb" conffiles)"
# The user as systemd-sysusers makes it, in a copy of this machine's files.
if command -v systemd-sysusers > /dev/null; then
    mkdir -p "$SCRATCH/sysroot/etc" && cp /etc/passwd /etc/group "$SCRATCH/sysroot/etc/"
    systemd-sysusers --root="$SCRATCH/sysroot" "$root/usr/lib/sysusers.d/kivgate.conf" > /dev/null 2>&1 ||
        fail "systemd-sysusers refuses kivgate.conf"
    grep -qE '^dialout:.*[:,]kivgate(,|$)' "$SCRATCH/sysroot/etc/group" || fail "kivgate is not in dialout"
    grep -q '^kivgate:' "$SCRATCH/sysroot/etc/passwd" || fail "no user kivgate"
fi
check_unit "$root/lib/systemd/system/kivgate@.service" "$root"

if [[ "${KIV_LINTIAN:-0}" == 1 ]]; then
    command -v lintian > /dev/null || fail "KIV_LINTIAN=1, but lintian is not installed"
    # Tags the README's packaging section names, each with its reason.
    justified=$(sed -n '/^### lintian/,/^#/p' "$SOURCE_DIR/README.md" | sed -nE 's/^- `([a-z0-9-]+)`.*/\1/p')
    lintian --no-tag-display-limit "$deb" > "$SCRATCH/lintian.log" 2>&1 || true
    while read -r severity _ tag _; do
        [[ "$severity" =~ ^[EWI]:$ ]] || continue
        grep -qx -- "$tag" <<< "$justified" || fail "lintian tag $tag is not justified in the README: $(cat "$SCRATCH/lintian.log")"
    done < "$SCRATCH/lintian.log"
else
    echo "lintian skipped (KIV_LINTIAN=1 runs it)"
fi
echo "deb test passed"
