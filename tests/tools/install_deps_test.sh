#!/usr/bin/env bash
# scripts/install-deps against stand-ins for dpkg and apt-get that install
# nothing: --native (make demo, make deb) asks for no mingw, no wine and no
# i386 architecture; --kit (make kit) for mingw without wine or the test
# tools; without either (make test) all of them come in.
set -u
script=$1
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
cat >"$stubs/dpkg-query" <<'STUB'
#!/bin/sh
exit 1
STUB
cat >"$stubs/dpkg" <<'STUB'
#!/bin/sh
echo "dpkg $*" >>"$KIV_STUB_LOG"
STUB
cat >"$stubs/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$KIV_STUB_LOG"
STUB
chmod +x "$stubs"/*
failed=0
check() {  # mode, pattern, wanted (yes/no)
  export KIV_STUB_LOG=$stubs/log.$1
  : >"$KIV_STUB_LOG"
  case $1 in
    native | kit) PATH="$stubs:$PATH" "$script" "--$1" >/dev/null ;;
    *) PATH="$stubs:$PATH" "$script" >/dev/null ;;
  esac
  if grep -q -- "$2" "$KIV_STUB_LOG"; then found=yes; else found=no; fi
  if [ "$found" != "$3" ]; then
    echo "install-deps ($1): '$2' expected $3, got $found"; cat "$KIV_STUB_LOG"; failed=1
  fi
}
for pattern in mingw-w64 wine i386 chromium; do
  check native "$pattern" no
  check full "$pattern" yes
done
for pattern in "install .*cmake" libcli11-dev g++; do
  check native "$pattern" yes
done
# make kit: the cross tool chain alone, without wine or the native tests' tools.
for pattern in wine i386 googletest socat help2man; do
  check kit "$pattern" no
done
for pattern in mingw-w64 libcli11-dev "install .*cmake"; do
  check kit "$pattern" yes
done
exit $failed
