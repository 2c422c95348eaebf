#!/usr/bin/env bash
# Compares kestro with other delta tools on one pair of files: create time,
# apply time, peak resident memory of each, and delta size.
#
# Usage: bench/compare.sh [-n RUNS] [-b BUILD-DIR] [-t "TOOL..."] [OLD NEW]
#
# Without OLD and NEW it fetches esbuild.exe 0.28.1 and 0.28.2 (the npm
# package @esbuild/win32-x64) into a cache folder. Runs are interleaved:
# each run creates and applies once with every tool before the next run
# starts, so a change in machine load hits all tools alike. Times are the
# median over the runs, memory the largest peak seen. Every rebuilt file is
# compared with NEW; a tool that gets it wrong fails the script.
#
# kestro's apply is the whole update: whole-file CRC, rebuild, backup and
# replacement of the original. The others write the rebuilt file only.
# xdelta3, zstd and bsdiff/bspatch are used where installed, or only the
# tools -t names (bsdiff needs about 17 times the file size in memory).
set -euo pipefail

runs=3
only=
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
usage="usage: $0 [-n RUNS] [-b BUILD-DIR] [-t \"TOOL...\"] [OLD NEW]"
while getopts n:b:t: opt; do
  case $opt in
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    t) only=$OPTARG ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

kestro=$(cd "$build/bin" && pwd)/kestro
[[ -x $kestro ]] || { echo "no kestro in $build/bin; build it first" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }

if (($# == 2)); then
  old=$(realpath "$1")
  new=$(realpath "$2")
elif (($# == 0)); then
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestro-bench
  for v in 0.28.1 0.28.2; do
    if [[ ! -f $cache/$v/esbuild.exe ]]; then
      mkdir -p "$cache/$v"
      (cd "$cache/$v" && npm pack --silent "@esbuild/win32-x64@$v" >/dev/null &&
        tar -xzf esbuild-win32-x64-$v.tgz package/esbuild.exe &&
        mv package/esbuild.exe . && rmdir package)
    fi
  done
  old=$cache/0.28.1/esbuild.exe
  new=$cache/0.28.2/esbuild.exe
else
  echo "$usage" >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
name=$(basename "$old")

tools=(kestro)
command -v xdelta3 >/dev/null && tools+=(xdelta3)
command -v zstd >/dev/null && tools+=(zstd)
command -v bsdiff >/dev/null && command -v bspatch >/dev/null && tools+=(bsdiff)
if [[ -n $only ]]; then
  wanted=()
  for tool in $only; do
    [[ " ${tools[*]} " == *" $tool "* ]] || { echo "$tool is not installed or not known" >&2; exit 2; }
    wanted+=("$tool")
  done
  tools=("${wanted[@]}")
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

# create TOOL and apply TOOL leave the delta in $work/TOOL.delta and check
# the rebuilt file against NEW.
create() {
  local dir=$work/create-$1
  rm -rf "$dir" && mkdir "$dir" && cp "$old" "$dir/$name" && cp "$new" "$dir/newer"
  case $1 in
    kestro)
      (cd "$dir" && measure "$work/$1.create" "$kestro" "$name" newer)
      mv "$dir"/*.kst "$work/$1.delta" ;;
    xdelta3) measure "$work/$1.create" xdelta3 -e -f -s "$dir/$name" "$dir/newer" "$work/$1.delta" ;;
    zstd) measure "$work/$1.create" zstd -q -f --patch-from="$dir/$name" "$dir/newer" -o "$work/$1.delta" ;;
    bsdiff) measure "$work/$1.create" bsdiff "$dir/$name" "$dir/newer" "$work/$1.delta" ;;
  esac
  rm -rf "$dir"
}

apply() {
  local dir=$work/apply-$1 result
  rm -rf "$dir" && mkdir "$dir" && cp "$old" "$dir/$name"
  case $1 in
    kestro)
      cp "$work/$1.delta" "$dir/delta.kst"
      (cd "$dir" && measure "$work/$1.apply" "$kestro" delta.kst)
      result=$dir/$name ;;
    xdelta3)
      measure "$work/$1.apply" xdelta3 -d -f -s "$dir/$name" "$work/$1.delta" "$dir/result"
      result=$dir/result ;;
    zstd)
      measure "$work/$1.apply" zstd -q -f -d --patch-from="$dir/$name" "$work/$1.delta" -o "$dir/result"
      result=$dir/result ;;
    bsdiff)
      measure "$work/$1.apply" bspatch "$dir/$name" "$dir/result" "$work/$1.delta"
      result=$dir/result ;;
  esac
  cmp -s "$result" "$new" || { echo "$1 did not rebuild the newer file" >&2; exit 1; }
  rm -rf "$dir"
}

for ((run = 1; run <= runs; run++)); do
  for tool in "${tools[@]}"; do
    create "$tool"
    apply "$tool"
  done
done

# median FILE COLUMN: the median of one column of a measurement file.
median() { cut -d' ' -f"$2" "$1" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
peak() { cut -d' ' -f2 "$1" | sort -g | tail -n1; }

printf '%s (%d bytes) -> %s (%d bytes), %d runs, %d cores\n\n' \
  "$old" "$(stat -c %s "$old")" "$new" "$(stat -c %s "$new")" "$runs" "$(nproc)"
printf '%-8s %10s %10s %12s %12s %12s\n' tool create-s apply-s create-MiB apply-MiB delta-bytes
for tool in "${tools[@]}"; do
  printf '%-8s %10s %10s %12.1f %12.1f %12d\n' "$tool" \
    "$(median "$work/$tool.create" 1)" "$(median "$work/$tool.apply" 1)" \
    "$(awk "BEGIN {print $(peak "$work/$tool.create") / 1024}")" \
    "$(awk "BEGIN {print $(peak "$work/$tool.apply") / 1024}")" \
    "$(stat -c %s "$work/$tool.delta")"
done
