#!/usr/bin/env bash
# Rebuilds the PE fixtures of the version reader's tests from the .rc files
# here, with Debian's mingw-w64 (packages gcc-mingw-w64-x86-64,
# gcc-mingw-w64-i686, binutils-mingw-w64). The programs are built without the
# C runtime, stripped and without time stamps, so a rebuild gives the same
# bytes.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# build OUTPUT TOOL-PREFIX RC-FILE; 32-bit symbols carry a leading underscore.
build() {
  local output=$1 prefix=$2 rc=$3 entry=start
  [[ $prefix == i686-* ]] && entry=_start
  "$prefix-windres" -O coff -o "$work/$output.res.o" "$rc"
  "$prefix-gcc" -Os -nostdlib -e "$entry" -s -fno-asynchronous-unwind-tables \
    -Wl,--no-insert-timestamp -Wl,--subsystem,console \
    -o "$output" stub.c "$work/$output.res.o"
}

build version64.exe x86_64-w64-mingw32 version64.rc
build version32.exe i686-w64-mingw32 version32.rc
build multilang.exe x86_64-w64-mingw32 multilang.rc
build noversion.exe x86_64-w64-mingw32 noversion.rc
