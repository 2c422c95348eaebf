#!/usr/bin/env bash
# The program's main job on the bundled samples: copies hello.exe (1.0.0.1)
# and hello-1.0.0.2.exe to a scratch folder, makes the delta that turns the
# first into the second, applies it, and shows what happened.
# Usage: tools/demo.sh [BUILD-DIR]   (default: build)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bin=$(cd "${1:-$root/build}/bin" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$root/samples/hello.exe" "$root/samples/hello-1.0.0.2.exe" "$scratch/"

step() { printf '\n== %s\n' "$*"; }
show() { (cd "$scratch" && ls -l | tail -n +2); }

step "the samples"
show
step "kestro hello.exe hello-1.0.0.2.exe (make the delta)"
"$bin/kestro" "$scratch/hello.exe" "$scratch/hello-1.0.0.2.exe" | tr -d '\r'
show
step "kestro-info hello.exe_1.0.0.2.kst (what the delta holds)"
"$bin/kestro-info" "$scratch/hello.exe_1.0.0.2.kst" | tr -d '\r'
step "kestro hello.exe_1.0.0.2.kst (apply the delta)"
"$bin/kestro" "$scratch/hello.exe_1.0.0.2.kst" | tr -d '\r'
show
step "result"
if cmp -s "$scratch/hello.exe" "$scratch/hello-1.0.0.2.exe" &&
   cmp -s "$scratch/hello.exe_1.0.0.1.org" "$root/samples/hello.exe"; then
  echo "hello.exe is now version 1.0.0.2; the old one is kept as hello.exe_1.0.0.1.org"
else
  echo "the update did not give the expected files" >&2
  exit 1
fi
"$bin/kestro-info" "$scratch/hello.exe" | tr -d '\r' | grep '^L_FileVersion='
step "kestro hello.exe_1.0.0.2.kst (a second time)"
"$bin/kestro" "$scratch/hello.exe_1.0.0.2.kst" | tr -d '\r'
