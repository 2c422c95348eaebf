#!/usr/bin/env bash
# One delta, both platforms: the Linux and the Windows build make
# byte-identical deltas from the same files, and each applies the other's.
# Usage: tools/cross-platform-check.sh LINUX-BUILD-DIR WINDOWS-BUILD-DIR
# The Windows build runs under Wine (WINEPREFIX as the caller sets it).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
linux=$(cd "$1/bin" && pwd)/kestro
windows=$(cd "$2/bin" && pwd)/kestro.exe
wine=$(command -v wine64 || command -v wine || echo /usr/lib/wine/wine64)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

run_linux() { "$linux" "$@" | tr -d '\r' | tail -n 1; }
# Wine maps the Unix root to drive Z:.
run_windows() {
  local args=()
  for a in "$@"; do
    case $a in --*) args+=("$a") ;; *) args+=("Z:$a") ;; esac
  done
  WINEDEBUG=-all "$wine" "$windows" "${args[@]}" | tr -d '\r' | tail -n 1
}
expect() { # expect WHAT ACTUAL WANTED
  if [ "$2" != "$3" ]; then
    echo "FAIL: $1: got '$2', wanted '$3'" >&2
    exit 1
  fi
}

# check NAME ORIGINAL NEWER DELTA-NAME RESULT [OPTION...]: the OPTIONs
# (--compact, --sign KEY) go to both creates, and apply_options (--key KEY)
# to both applies. A signature file goes with its delta.
apply_options=()
check() {
  local name=$1 original=$2 newer=$3 delta=$4 result=$5 option=("${@:6}")
  for side in linux windows; do
    mkdir -p "$scratch/$name/$side"
    cp "$original" "$scratch/$name/$side/old.bin"
    cp "$newer" "$scratch/$name/$side/new.bin"
  done
  expect "$name: linux create" "$(run_linux "${option[@]}" "$scratch/$name/linux/old.bin" "$scratch/$name/linux/new.bin")" "$result"
  expect "$name: windows create" "$(run_windows "${option[@]}" "$scratch/$name/windows/old.bin" "$scratch/$name/windows/new.bin")" "$result"
  local files=("$delta")
  [ -f "$scratch/$name/linux/$delta.sig" ] && files+=("$delta.sig")
  for file in "${files[@]}"; do
    cmp "$scratch/$name/linux/$file" "$scratch/$name/windows/$file"
    # Swap the deltas and apply each with the other build.
    cp "$scratch/$name/linux/$file" "$scratch/$name/from-linux"
    cp "$scratch/$name/windows/$file" "$scratch/$name/linux/$file"
    cp "$scratch/$name/from-linux" "$scratch/$name/windows/$file"
  done
  local applied
  [ "$result" = OK ] && applied=OK || applied="Warning: Source File has no file version information included!"
  expect "$name: linux apply" "$(run_linux "${apply_options[@]}" "$scratch/$name/linux/$delta")" "$applied"
  expect "$name: windows apply" "$(run_windows "${apply_options[@]}" "$scratch/$name/windows/$delta")" "$applied"
  cmp "$scratch/$name/linux/old.bin" "$newer"
  cmp "$scratch/$name/windows/old.bin" "$newer"
  echo "$name: identical deltas, each applied by the other build"
}

check samples "$root/samples/hello.exe" "$root/samples/hello-1.0.0.2.exe" old.bin_1.0.0.2.kst OK

# A multi-block pair without version information.
head -c 3500000 /dev/urandom > "$scratch/big-old"
cp "$scratch/big-old" "$scratch/big-new"
printf 'changed' | dd of="$scratch/big-new" bs=1 seek=1700000 conv=notrunc status=none
head -c 70000 /dev/urandom >> "$scratch/big-new"
check multiblock "$scratch/big-old" "$scratch/big-new" old.bin_.kst \
  "Warning: Newer file doesn't have file version information"

# The same pairs as compact deltas.
rm -rf "${scratch:?}"/samples "$scratch/multiblock"
check samples "$root/samples/hello.exe" "$root/samples/hello-1.0.0.2.exe" old.bin_1.0.0.2.kst OK \
  --compact
check multiblock "$scratch/big-old" "$scratch/big-new" old.bin_.kst \
  "Warning: Newer file doesn't have file version information" --compact

# Signed deltas: a key made by each build signs on both (Ed25519 signatures
# are deterministic, so the signature files are identical too), and each
# build checks the other's with the public key.
"$linux" --keygen "$scratch/linux-key" >/dev/null
run_windows --keygen "$scratch/windows-key" >/dev/null
# Wine gives a private file's owner entry to the group bits too (0750); a key
# brought from Windows to a POSIX system is made its owner's alone there, as
# the POSIX build requires of a private key.
chmod 600 "$scratch/windows-key.key"
for maker in linux windows; do
  rm -rf "${scratch:?}/signed-$maker"
  apply_options=(--key "$scratch/$maker-key.pub")
  check "signed-$maker" "$root/samples/hello.exe" "$root/samples/hello-1.0.0.2.exe" \
    old.bin_1.0.0.2.kst OK --compact --sign "$scratch/$maker-key.key"
done
