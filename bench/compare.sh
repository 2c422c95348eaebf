#!/usr/bin/env bash
# Compares kestro with other delta tools, pair by pair: create time, apply
# time, peak resident memory of each, and delta size, with each tool's times
# as a ratio to the faster of the other tools.
#
# Usage: bench/compare.sh [-n RUNS] [-b BUILD-DIR] [-o OLD-BUILD-DIR] [-t "TOOL..."] [PAIR...]
#
# A PAIR is one of these, real programs fetched with npm (package, releases,
# file; who built it):
#   esbuild            @esbuild/win32-x64 0.28.1 -> 0.28.2, esbuild.exe: x86-64 PE
#                      program, Go
#   esbuild-6apart     @esbuild/win32-x64 0.27.3 -> 0.28.2 (six releases apart),
#                      esbuild.exe
#   esbuild-ia32       @esbuild/win32-ia32 0.28.1 -> 0.28.2, esbuild.exe: i386 PE
#                      program, Go
#   esbuild-arm64      @esbuild/win32-arm64 0.28.1 -> 0.28.2, esbuild.exe: ARM64 PE
#                      program, Go
#   esbuild-linux-x64  @esbuild/linux-x64 0.28.1 -> 0.28.2, bin/esbuild: x86-64 ELF
#                      program (static), Go
#   esbuild-linux-arm64
#                      @esbuild/linux-arm64 0.28.1 -> 0.28.2, bin/esbuild: AArch64
#                      ELF program (static), Go
#   libvips            @img/sharp-win32-x64 0.35.5 -> 0.35.6, lib/libvips-42.dll:
#                      x86-64 PE DLL, C and C++, mingw-w64 (MXE)
#   sharp-node-x64     @img/sharp-win32-x64 0.35.5 -> 0.35.6,
#                      lib/sharp-win32-x64-VERSION.node: x86-64 PE DLL, C++, MSVC
#   libvips-linux-x64  @img/sharp-libvips-linux-x64 1.3.4 -> 1.3.5,
#                      lib/libvips-cpp.so.8.18.7 -> .8.18.8: x86-64 ELF shared
#                      object, C and C++ (and some Rust), gcc
#   swc-ia32           @swc/core-win32-ia32-msvc 1.16.18 -> 1.16.20,
#                      swc.win32-ia32-msvc.node: i386 PE DLL, Rust, MSVC's linker
#                      (swc's other builds keep their code packed in a section of
#                      their own, new in every release: no use for comparing)
#   lightningcss-x64   lightningcss-win32-x64-msvc 1.32.0 -> 1.33.0,
#                      lightningcss.win32-x64-msvc.node: x86-64 PE DLL, Rust,
#                      MSVC's linker
#   lightningcss-arm64 lightningcss-win32-arm64-msvc 1.32.0 -> 1.33.0,
#                      lightningcss.win32-arm64-msvc.node: ARM64 PE DLL, Rust,
#                      MSVC's linker
#   esbuild-linux-arm  @esbuild/linux-arm 0.28.1 -> 0.28.2, bin/esbuild: 32-bit
#                      ARM ELF program (static), Go, ARM state
#   lightningcss-linux-arm
#                      lightningcss-linux-arm-gnueabihf 1.32.0 -> 1.33.0,
#                      lightningcss.linux-arm-gnueabihf.node: 32-bit ARM ELF
#                      shared object, Rust, ARM state
#   swc-linux-arm      @swc/core-linux-arm-gnueabihf 1.16.18 -> 1.16.20,
#                      swc.linux-arm-gnueabihf.node: 32-bit ARM ELF shared
#                      object, Rust, ARM state calling Thumb code
#   lightningcss-linux-x64
#                      lightningcss-linux-x64-gnu 1.32.0 -> 1.33.0,
#                      lightningcss.linux-x64-gnu.node: x86-64 ELF shared
#                      object, Rust
#   biome-x64          @biomejs/cli-win32-x64 2.6.8 -> 2.6.9, biome.exe (115 MiB):
#                      x86-64 PE program, Rust, MSVC's linker
#   next-swc-x64       @next/swc-win32-x64-msvc 16.4.5 -> 16.4.6,
#                      next-swc.win32-x64-msvc.node (105 MiB): x86-64 PE DLL, Rust
#   synthetic:SIZE     bench/synthetic-pair.py SIZE (random data, a few edits
#                      per 256 KiB, small insertions), e.g. synthetic:128M
#   OLD:NEW            two files of your own
# or two file names as two arguments. -o adds the kestro of another build
# (an earlier commit, say) as the tools "kestro-old" and, where kestro has
# --compact, "kestro-compact-old", measured in the same runs. Without a
# PAIR: esbuild, libvips, synthetic:128M and synthetic:512M. Downloaded and
# generated files are kept in a cache folder.
#
# Runs are interleaved: each run creates and applies once with every tool
# before the next run starts, so a change in machine load hits all tools
# alike. Times are the median over the runs, memory the largest peak seen.
# Every rebuilt file is compared with NEW; a tool that gets it wrong fails
# the script.
#
# What the tools do differs, and the table says so: kestro's apply is the
# whole update (whole-file CRC, rebuild with every block checked, backup,
# replacement of the original) and makes each file it publishes durable
# (fsync); "kestro-nosync" is the same run with its fsyncs turned into no-ops
# (eatmydata, where installed), to show what durability costs;
# "kestro-compact" is kestro --compact, the compact format, where the kestro
# built has that option (else it is left out with a note); "kestro-signed"
# and "kestro-compact-signed" are the same with --sign on create and --key
# on apply, where the kestro built has --keygen (so their apply also checks
# the signature: every byte of the delta and of the rebuilt file through
# SHA-512, and Ed25519). The others write
# the rebuilt file only, without fsync or backup, and run at their best
# settings for size:
#   xdelta3   -9 -I 0 (its lzma secondary compression, an unlimited
#             instruction buffer; -S djw makes larger deltas) with a source
#             window -B that holds the whole original
#   zstd      -19 --long=30 --patch-from, --long=30 on apply too, so that its
#             window spans files up to 1 GiB
#   bsdiff    bsdiff/bspatch (needs about 17 times the file size in memory)
#   zucchini  an executable-aware differ (a Go port of Chromium's Zucchini),
#             not packaged by Debian: used when ZUCCHINI names its program
#             and xz is installed. Its patch is not entropy coded, so create
#             is "zucchini gen" and then "xz -9e -T1" of the patch, timed
#             together, and the delta is the .xz; apply is "xz -d" and then
#             "zucchini apply" (needs about 10 times the file size in memory
#             to create)
#   hdiffz    a suffix-array differ with LZMA2-coded streams, not packaged by
#             Debian: used when HDIFFZ and HPATCHZ name its two programs,
#             with HDIFFZ_OPTIONS (default "-m-6 -SD-2m -c-lzma2-9-16m";
#             -d, so it does not check its own delta; needs about 6 times
#             the file size in memory)
# xdelta3, zstd, bsdiff, zucchini and hdiffz are used where installed, or
# only the tools -t names.
set -euo pipefail

runs=3
only=
oldBuild=
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
usage="usage: $0 [-n RUNS] [-b BUILD-DIR] [-o OLD-BUILD-DIR] [-t \"TOOL...\"] [PAIR...]"
while getopts n:b:o:t: opt; do
  case $opt in
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    o) oldBuild=$OPTARG ;;
    t) only=$OPTARG ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

kestro=$(cd "$build/bin" && pwd)/kestro
[[ -x $kestro ]] || { echo "no kestro in $build/bin; build it first" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestro-bench

# fetch PACKAGE VERSION FILE: FILE out of an npm package, cached; prints its
# path.
fetch() {
  local folder=$cache/$1/$2
  if [[ ! -f $folder/$(basename "$3") ]]; then
    mkdir -p "$folder"
    (cd "$folder" && npm pack --silent "$1@$2" >/dev/null &&
      tar -xzf ./*.tgz "package/$3" && mv "package/$3" . && rm -rf package ./*.tgz)
  fi
  echo "$folder/$(basename "$3")"
}

# npmPair PACKAGE OLD-VERSION NEW-VERSION FILE [NEW-FILE]: prints "OLD NEW",
# FILE out of two releases of PACKAGE (NEW-FILE out of the newer, where its
# name differs).
npmPair() { echo "$(fetch "$1" "$2" "$4") $(fetch "$1" "$3" "${5:-$4}")"; }

# resolve PAIR: prints "OLD NEW" for a pair name.
resolve() {
  case $1 in
    esbuild) npmPair @esbuild/win32-x64 0.28.1 0.28.2 esbuild.exe ;;
    esbuild-6apart) npmPair @esbuild/win32-x64 0.27.3 0.28.2 esbuild.exe ;;
    esbuild-ia32) npmPair @esbuild/win32-ia32 0.28.1 0.28.2 esbuild.exe ;;
    esbuild-arm64) npmPair @esbuild/win32-arm64 0.28.1 0.28.2 esbuild.exe ;;
    esbuild-linux-x64) npmPair @esbuild/linux-x64 0.28.1 0.28.2 bin/esbuild ;;
    esbuild-linux-arm64) npmPair @esbuild/linux-arm64 0.28.1 0.28.2 bin/esbuild ;;
    esbuild-linux-arm) npmPair @esbuild/linux-arm 0.28.1 0.28.2 bin/esbuild ;;
    lightningcss-linux-arm)
      npmPair lightningcss-linux-arm-gnueabihf 1.32.0 1.33.0 lightningcss.linux-arm-gnueabihf.node ;;
    swc-linux-arm)
      npmPair @swc/core-linux-arm-gnueabihf 1.16.18 1.16.20 swc.linux-arm-gnueabihf.node ;;
    libvips) npmPair @img/sharp-win32-x64 0.35.5 0.35.6 lib/libvips-42.dll ;;
    sharp-node-x64)
      npmPair @img/sharp-win32-x64 0.35.5 0.35.6 lib/sharp-win32-x64-0.35.5.node lib/sharp-win32-x64-0.35.6.node ;;
    libvips-linux-x64)
      npmPair @img/sharp-libvips-linux-x64 1.3.4 1.3.5 lib/libvips-cpp.so.8.18.7 lib/libvips-cpp.so.8.18.8 ;;
    swc-ia32) npmPair @swc/core-win32-ia32-msvc 1.16.18 1.16.20 swc.win32-ia32-msvc.node ;;
    lightningcss-x64)
      npmPair lightningcss-win32-x64-msvc 1.32.0 1.33.0 lightningcss.win32-x64-msvc.node ;;
    lightningcss-arm64)
      npmPair lightningcss-win32-arm64-msvc 1.32.0 1.33.0 lightningcss.win32-arm64-msvc.node ;;
    lightningcss-linux-x64)
      npmPair lightningcss-linux-x64-gnu 1.32.0 1.33.0 lightningcss.linux-x64-gnu.node ;;
    biome-x64) npmPair @biomejs/cli-win32-x64 2.6.8 2.6.9 biome.exe ;;
    next-swc-x64) npmPair @next/swc-win32-x64-msvc 16.4.5 16.4.6 next-swc.win32-x64-msvc.node ;;
    synthetic:*)
      local size=${1#synthetic:} folder=$cache/synthetic-${1#synthetic:}
      if [[ ! -f $folder/new ]]; then
        mkdir -p "$folder"
        python3 "$root/bench/synthetic-pair.py" "$size" "$folder/old" "$folder/new"
      fi
      echo "$folder/old $folder/new" ;;
    *:*) echo "$(realpath "${1%%:*}") $(realpath "${1#*:}")" ;;
    *) echo "unknown pair $1" >&2; exit 2 ;;
  esac
}

pairs=()
if (($# == 2)) && [[ -f $1 && -f $2 ]]; then
  pairs=("$1:$2")
elif (($# == 0)); then
  pairs=(esbuild libvips synthetic:128M synthetic:512M)
else
  pairs=("$@")
fi

tools=(kestro)
command -v eatmydata >/dev/null && tools+=(kestro-nosync)
# A kestro without --compact prints its usage and writes nothing.
probe=$(mktemp -d)
cp "$root/samples/hello.exe" "$root/samples/hello-1.0.0.2.exe" "$probe/"
if (cd "$probe" && "$kestro" --compact hello.exe hello-1.0.0.2.exe </dev/null >/dev/null 2>&1) &&
  compgen -G "$probe/*.kst" >/dev/null; then
  tools+=(kestro-compact)
  if (cd "$probe" && "$kestro" --keygen bench </dev/null >/dev/null 2>&1); then
    tools+=(kestro-signed kestro-compact-signed)
  fi
else
  echo "note: kestro-compact left out: $kestro has no --compact" >&2
fi
rm -rf "$probe"
if [[ -n $oldBuild ]]; then
  kestroOld=$(cd "$oldBuild/bin" && pwd)/kestro
  [[ -x $kestroOld ]] || { echo "no kestro in $oldBuild/bin" >&2; exit 2; }
  tools+=(kestro-old)
  [[ " ${tools[*]} " == *" kestro-compact "* ]] && tools+=(kestro-compact-old)
fi
command -v xdelta3 >/dev/null && tools+=(xdelta3)
command -v zstd >/dev/null && tools+=(zstd)
command -v bsdiff >/dev/null && command -v bspatch >/dev/null && tools+=(bsdiff)
read -ra hdiffzOptions <<<"${HDIFFZ_OPTIONS:--m-6 -SD-2m -c-lzma2-9-16m}"
[[ -n ${ZUCCHINI:-} && -x ${ZUCCHINI:-} ]] && command -v xz >/dev/null && tools+=(zucchini)
[[ -n ${HDIFFZ:-} && -x ${HDIFFZ:-} && -n ${HPATCHZ:-} && -x ${HPATCHZ:-} ]] && tools+=(hdiffz)
if [[ -n $only ]]; then
  wanted=()
  for tool in $only; do
    [[ " ${tools[*]} " == *" $tool "* ]] || { echo "$tool is not installed or not known" >&2; exit 2; }
    wanted+=("$tool")
  done
  tools=("${wanted[@]}")
fi

# What each tool's apply does besides writing the rebuilt file.
durability() {
  case $1 in
    kestro | kestro-old | kestro-compact | kestro-compact-old) echo "fsync+backup" ;;
    kestro-signed | kestro-compact-signed) echo "fsync+backup+signature" ;;
    kestro-nosync) echo "backup" ;;
    *) echo "-" ;;
  esac
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [[ " ${tools[*]} " == *"-signed "* ]]; then
  (cd "$work" && "$kestro" --keygen bench >/dev/null)
fi

# measure FILE COMMAND... runs COMMAND quietly and appends "seconds KiB" to
# FILE; the timing covers the whole process.
measure() {
  local file=$1
  shift
  /usr/bin/time -f '%e %M' -o "$work/time" "$@" >"$work/out" 2>&1 ||
    { echo "failed: $*" >&2; cat "$work/out" >&2; exit 1; }
  cat "$work/time" >>"$file"
}

# sourceWindow FILE: xdelta3's source window for FILE, the power of two
# that holds all of it, at least xdelta3's default of 64 MiB.
sourceWindow() {
  local size window=$((64 << 20))
  size=$(stat -c %s "$1")
  while ((window < size)); do window=$((window * 2)); done
  echo "$window"
}

# create TOOL and apply TOOL leave the delta in $work/TOOL.delta and check
# the rebuilt file against NEW.
create() {
  local dir=$work/create-$1
  rm -rf "$dir" && mkdir "$dir" && cp "$old" "$dir/$name" && cp "$new" "$dir/newer"
  case $1 in
    kestro)
      (cd "$dir" && measure "$work/$1.create" "$kestro" "$name" newer)
      mv "$dir"/*.kst "$work/$1.delta" ;;
    kestro-nosync)
      (cd "$dir" && measure "$work/$1.create" eatmydata "$kestro" "$name" newer)
      mv "$dir"/*.kst "$work/$1.delta" ;;
    kestro-old)
      (cd "$dir" && measure "$work/$1.create" "$kestroOld" "$name" newer)
      mv "$dir"/*.kst "$work/$1.delta" ;;
    kestro-compact)
      (cd "$dir" && measure "$work/$1.create" "$kestro" --compact "$name" newer)
      mv "$dir"/*.kst "$work/$1.delta" ;;
    kestro-compact-old)
      (cd "$dir" && measure "$work/$1.create" "$kestroOld" --compact "$name" newer)
      mv "$dir"/*.kst "$work/$1.delta" ;;
    kestro-signed | kestro-compact-signed)
      local format=()
      [[ $1 == kestro-compact-signed ]] && format=(--compact)
      (cd "$dir" && measure "$work/$1.create" "$kestro" "${format[@]}" --sign "$work/bench.key" \
        "$name" newer)
      mv "$dir"/*.kst.sig "$work/$1.delta.sig"
      mv "$dir"/*.kst "$work/$1.delta" ;;
    xdelta3) measure "$work/$1.create" xdelta3 -e -f -9 -I 0 -B "$window" -s "$dir/$name" "$dir/newer" \
      "$work/$1.delta" ;;
    zstd) measure "$work/$1.create" zstd -q -f -19 --long=30 --patch-from="$dir/$name" "$dir/newer" \
      -o "$work/$1.delta" ;;
    bsdiff) measure "$work/$1.create" bsdiff "$dir/$name" "$dir/newer" "$work/$1.delta" ;;
    zucchini)
      # shellcheck disable=SC2016 # the script sh runs expands its arguments
      measure "$work/$1.create" sh -c '"$1" gen "$2" "$3" "$4" && xz -9e -T1 -k -f "$4"' sh \
        "$ZUCCHINI" "$dir/$name" "$dir/newer" "$dir/patch"
      mv "$dir/patch.xz" "$work/$1.delta" ;;
    hdiffz) measure "$work/$1.create" "$HDIFFZ" -d -f "${hdiffzOptions[@]}" "$dir/$name" "$dir/newer" \
      "$work/$1.delta" ;;
  esac
  rm -rf "$dir"
}

apply() {
  local dir=$work/apply-$1 result
  rm -rf "$dir" && mkdir "$dir" && cp "$old" "$dir/$name"
  case $1 in
    kestro | kestro-nosync | kestro-old | kestro-compact | kestro-compact-old)
      cp "$work/$1.delta" "$dir/delta.kst"
      local program=("$kestro")
      [[ $1 == kestro-nosync ]] && program=(eatmydata "$kestro")
      [[ $1 == kestro-old || $1 == kestro-compact-old ]] && program=("$kestroOld")
      (cd "$dir" && measure "$work/$1.apply" "${program[@]}" delta.kst)
      result=$dir/$name ;;
    kestro-signed | kestro-compact-signed)
      cp "$work/$1.delta" "$dir/delta.kst"
      cp "$work/$1.delta.sig" "$dir/delta.kst.sig"
      (cd "$dir" && measure "$work/$1.apply" "$kestro" --key "$work/bench.pub" delta.kst)
      result=$dir/$name ;;
    xdelta3)
      measure "$work/$1.apply" xdelta3 -d -f -B "$window" -s "$dir/$name" "$work/$1.delta" "$dir/result"
      result=$dir/result ;;
    zstd)
      measure "$work/$1.apply" zstd -q -f -d --long=30 --patch-from="$dir/$name" "$work/$1.delta" \
        -o "$dir/result"
      result=$dir/result ;;
    bsdiff)
      measure "$work/$1.apply" bspatch "$dir/$name" "$dir/result" "$work/$1.delta"
      result=$dir/result ;;
    zucchini)
      # shellcheck disable=SC2016 # the script sh runs expands its arguments
      measure "$work/$1.apply" sh -c 'xz -d -T1 -c "$3" >"$4.patch" && "$1" apply "$2" "$4.patch" "$4"' sh \
        "$ZUCCHINI" "$dir/$name" "$work/$1.delta" "$dir/result"
      result=$dir/result ;;
    hdiffz)
      measure "$work/$1.apply" "$HPATCHZ" -f "$dir/$name" "$work/$1.delta" "$dir/result"
      result=$dir/result ;;
  esac
  cmp -s "$result" "$new" || { echo "$1 did not rebuild the newer file" >&2; exit 1; }
  rm -rf "$dir"
}

# median FILE COLUMN: the median of one column of a measurement file.
median() { cut -d' ' -f"$2" "$1" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
peak() { cut -d' ' -f2 "$1" | sort -g | tail -n1; }
# fastest OPERATION: the smallest median among the tools other than kestro's.
fastest() {
  local best='' tool t
  for tool in "${tools[@]}"; do
    [[ $tool == kestro* ]] && continue
    t=$(median "$work/$tool.$1" 1)
    if [[ -z $best ]] || awk "BEGIN {exit !($t < $best)}"; then best=$t; fi
  done
  echo "$best"
}
ratio() { [[ -n $2 ]] && awk "BEGIN {printf \"%.2f\", $1 / ($2 > 0 ? $2 : 0.01)}" || echo "-"; }

for pair in "${pairs[@]}"; do
  read -r old new < <(resolve "$pair")
  name=$(basename "$old")
  window=$(sourceWindow "$old")
  rm -f "$work"/*.create "$work"/*.apply "$work"/*.delta "$work"/*.delta.sig
  for ((run = 1; run <= runs; run++)); do
    for tool in "${tools[@]}"; do
      create "$tool"
      apply "$tool"
    done
  done

  printf '\n%s: %s (%d bytes) -> %s (%d bytes), %d runs, %d cores\n' "$pair" \
    "$old" "$(stat -c %s "$old")" "$new" "$(stat -c %s "$new")" "$runs" "$(nproc)"
  printf '%-14s %9s %7s %9s %7s %11s %11s %12s  %s\n' tool create-s ratio apply-s ratio \
    create-MiB apply-MiB delta-bytes "apply also"
  bestCreate=$(fastest create)
  bestApply=$(fastest apply)
  for tool in "${tools[@]}"; do
    create_s=$(median "$work/$tool.create" 1)
    apply_s=$(median "$work/$tool.apply" 1)
    printf '%-14s %9s %7s %9s %7s %11.1f %11.1f %12d  %s\n' "$tool" \
      "$create_s" "$(ratio "$create_s" "$bestCreate")" \
      "$apply_s" "$(ratio "$apply_s" "$bestApply")" \
      "$(awk "BEGIN {print $(peak "$work/$tool.create") / 1024}")" \
      "$(awk "BEGIN {print $(peak "$work/$tool.apply") / 1024}")" \
      "$(stat -c %s "$work/$tool.delta")" "$(durability "$tool")"
  done
done
