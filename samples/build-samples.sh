#!/usr/bin/env bash
# Rebuilds the bundled sample pair from hello.c and hello.rc with Debian's
# mingw-w64 (gcc-mingw-w64-x86-64, binutils-mingw-w64): hello.exe is version
# 1.0.0.1 and hello-1.0.0.2.exe version 1.0.0.2 of the same program. Stripped
# and without time stamps, so a rebuild gives the same bytes.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# build OUTPUT BUILD-NUMBER
build() {
  local output=$1 number=$2
  x86_64-w64-mingw32-windres -DHELLO_BUILD="$number" -O coff -o "$work/hello.res.o" hello.rc
  x86_64-w64-mingw32-gcc -Os -s -DHELLO_BUILD="$number" -Wl,--no-insert-timestamp \
    -o "$output" hello.c "$work/hello.res.o"
}

build hello.exe 1
build hello-1.0.0.2.exe 2
