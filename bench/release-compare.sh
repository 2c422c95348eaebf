#!/usr/bin/env bash
# Measures kestro's release packages against other ways of shipping the same
# update of a folder: the package's size against each of them, kestro's
# create time against making every file's compact delta one by one, its
# apply time and peak memory against unpacking the newer release, and what
# a file that only moved costs in the package.
#
# Usage: bench/release-compare.sh [-n RUNS] [-b BUILD-DIR] [-k KEEP-DIR]
#                                 [PAIR... | ORIGINAL-FOLDER NEWER-FOLDER]
#   -n RUNS      timed runs, 3 by default
#   -b BUILD     the build whose bin/kestro and bin/kestro-info are measured
#   -k KEEP-DIR  keeps each pair's package (and the moved-file variant's) in
#                KEEP-DIR, to look at with kestro-info
#
# A PAIR is one of these, two releases of a package fetched with npm pack:
#   sharp-win32-x64    @img/sharp-win32-x64 0.34.4 -> 0.34.5: seven files;
#                      libvips-42.dll and sharp-win32-x64.node (x86-64 PE
#                      DLLs) changed, libvips-cpp-8.17.2.dll renamed
#                      -8.17.3.dll and changed, two JSON files changed
#   onnxruntime-node   onnxruntime-node 1.20.0 -> 1.20.1: 36 files, 180 MiB;
#                      libraries for six platforms (PE x86-64 and ARM64, ELF
#                      x86-64 and AArch64, Mach-O) changed, four of them
#                      renamed (libonnxruntime.so.1.20.0 -> .so.1.20.1 and
#                      the like), libonnxruntime.so.1 a copy of the renamed
#                      one in each ELF folder, DirectML.dll the same
#   libvips-linux-x64  @img/sharp-libvips-linux-x64 1.2.3 -> 1.2.4: six
#                      files; libvips-cpp.so.8.17.2 (x86-64 ELF) renamed
#                      .8.17.3 and changed
# or two folders of your own (the original is copied first; neither is
# changed; without a FileVersion most programs carry, the package is named
# after the newer folder). Without either: sharp-win32-x64 and onnxruntime-node. Fetched
# releases are kept in a cache folder. The original folder is named after
# the package and the newer one after its version, as an updater would have
# them, so the package and the backup get the names they would in use.
#
# Sizes, each the bytes that would be shipped:
#   (a) zstd -19 --long=31 --patch-from=OLD.tar NEW.tar
#   (b) xz -9e -T1 of NEW.tar
#   (c) kestro --compact of each file of the newer folder against the
#       original at its path, where that differs, plus each file with no
#       original at its path xz -9e -T1 on its own (a renamed file is such a
#       file; files the same at their path cost nothing)
#   (d) hdiffz's folder diff of the two folders, the smallest of its runs
#       with each setting of HDIFFZ_OPTIONS (settings separated by ";"; by
#       default "-m-3 -block-0 -SD-2m -c-lzma2-9-16m; -m-6 -block-0 -SD-32m
#       -c-lzma2-9-64m", of the settings tried the smallest on
#       sharp-win32-x64 and on onnxruntime-node respectively; always -d, so
#       it does not check its own diff)
#   (e) zucchini gen OLD.tar NEW.tar, then xz -9e -T1 of its patch (it finds
#       the programs inside the tars)
#   kestro ORIGINAL NEWER, the release package
# OLD.tar and NEW.tar are made alike from inside each folder (names sorted,
# owner 0, times 0). The package's ratio is to the smallest of (a), (b),
# (d) and (e).
#
# Times, in interleaved runs (each run does every measurement below once
# before the next starts, so a change in machine load hits all alike),
# medians over the runs, peak memory the largest seen:
#   create  kestro ORIGINAL NEWER on two threads, against the sum of single
#           kestro --compact creates, one after the other, of the pairs of
#           files the package holds as deltas (its kestro-info listing); the
#           time of making (c) is shown as well
#   apply   kestro PACKAGE on a fresh copy of the original folder (whole
#           update: files checked, synced, the backup kept) against
#           tar -xJf of (b) into an empty folder (no sync)
# (a), (d), (e) and (b)'s compression run once, their times from that run:
# their sizes do not change from run to run.
#
# Moved file: a variant of the pair in which one file of at least 1 MiB, the
# same in both releases, lies in a folder of its own ("moved") in the newer
# release; its cost is the variant's package size minus the pair's. Where
# no file of that size is the same in both, the newer content of the
# largest file at the same path in both (or of the newer release's largest)
# is put into the original first, for both packages of the comparison.
#
# Every rebuilt folder (the package applied, (a) to (e) undone, the
# variant's package applied) is compared with its newer folder by diff -r;
# one that differs fails the script.
#
# Peers: zstd where installed; zucchini (an executable-aware differ, a Go
# port of Chromium's Zucchini) when ZUCCHINI names its program; hdiffz when
# HDIFFZ and HPATCHZ name its programs, built with folder diffs (DIR_DIFF=1).
# A peer not there shows "-". xz and tar are needed.
#
# kestro's encoder runs a thread per processor: on a machine with more than
# two, every timed command runs under taskset on processors 0 and 1.
set -euo pipefail

runs=3
keep=
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
usage="usage: $0 [-n RUNS] [-b BUILD-DIR] [-k KEEP-DIR] [PAIR... | ORIGINAL-FOLDER NEWER-FOLDER]"
while getopts n:b:k: opt; do
  case $opt in
    n) runs=$OPTARG ;;
    b) build=$OPTARG ;;
    k) keep=$OPTARG ;;
    *) echo "$usage" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
((runs >= 1)) || { echo "$usage" >&2; exit 2; }

kestro=$(cd "$build/bin" && pwd)/kestro
kestroInfo=$(dirname "$kestro")/kestro-info
[[ -x $kestro && -x $kestroInfo ]] || { echo "no kestro in $build/bin; build it first" >&2; exit 2; }
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (Debian package time)" >&2; exit 2; }
command -v xz >/dev/null || { echo "needs xz (Debian package xz-utils)" >&2; exit 2; }
if [[ -n $keep ]]; then mkdir -p "$keep" && keep=$(cd "$keep" && pwd); fi
cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestro-bench/release

haveZstd=false haveZucchini=false haveHdiffz=false
command -v zstd >/dev/null && haveZstd=true
[[ -n ${ZUCCHINI:-} && -x ${ZUCCHINI:-} ]] && haveZucchini=true
[[ -n ${HDIFFZ:-} && -x ${HDIFFZ:-} && -n ${HPATCHZ:-} && -x ${HPATCHZ:-} ]] && haveHdiffz=true
IFS=';' read -ra hdiffzSettings <<<"${HDIFFZ_OPTIONS:--m-3 -block-0 -SD-2m -c-lzma2-9-16m; -m-6 -block-0 -SD-32m -c-lzma2-9-64m}"
hdiffzUsed=

pin=()
if (($(nproc) > 2)) && command -v taskset >/dev/null; then pin=(taskset -c "0,1"); fi

# release PACKAGE VERSION: the files of one release of an npm package,
# cached; prints their folder, named after the version.
release() {
  local folder=$cache/${1//\//+}/$2 tmp
  if [[ ! -d $folder ]]; then
    mkdir -p "$cache"
    tmp=$(mktemp -d "$cache/.fetch.XXXXXX")
    (cd "$tmp" && npm pack --silent "$1@$2" >/dev/null && tar -xzf ./*.tgz) ||
      { rm -rf "$tmp"; echo "could not fetch $1 $2" >&2; exit 1; }
    mkdir -p "$(dirname "$folder")"
    mv "$tmp/package" "$folder"
    rm -rf "$tmp"
  fi
  echo "$folder"
}

# npmPair PACKAGE OLD-VERSION NEW-VERSION: sets the pair's original, newer,
# name (the original folder's name: the package's) and about.
npmPair() {
  name=${1##*/} about="$1 $2 -> $3"
  original=$(release "$1" "$2")
  newer=$(release "$1" "$3")
}

resolve() {
  label=$1
  case $1 in
    sharp-win32-x64) npmPair @img/sharp-win32-x64 0.34.4 0.34.5 ;;
    onnxruntime-node) npmPair onnxruntime-node 1.20.0 1.20.1 ;;
    libvips-linux-x64) npmPair @img/sharp-libvips-linux-x64 1.2.3 1.2.4 ;;
    *) echo "unknown pair $1" >&2; exit 2 ;;
  esac
}

pairs=()
if (($# == 2)) && [[ -d $1 && -d $2 ]]; then
  pairs=("$(realpath "$1"):$(realpath "$2")")
elif (($# == 0)); then
  pairs=(sharp-win32-x64 onnxruntime-node)
else
  pairs=("$@")
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# measure FILE COMMAND... runs COMMAND quietly and appends "seconds KiB
# user-seconds system-seconds" to FILE; the timing covers the whole
# process.
measure() {
  local file=$1
  shift
  /usr/bin/time -f '%e %M %U %S' -o "$work/time" "$@" >"$work/out" 2>&1 ||
    { echo "failed: $*" >&2; cat "$work/out" >&2; exit 1; }
  cat "$work/time" >>"$file"
}
# timed COMMAND...: measure, printing what it appends.
timed() { rm -f "$work/one"; measure "$work/one" "$@"; cat "$work/one"; }

# sameAsNewer FOLDER NEWER WHAT fails the script unless FOLDER is NEWER.
sameAsNewer() {
  diff -r "$1" "$2" >"$work/diff" 2>&1 ||
    { echo "$3 did not rebuild the newer folder:" >&2; head -n 20 "$work/diff" >&2; exit 1; }
}
# tarSameAsNewer TAR NEWER WHAT: likewise for a rebuilt tar, unpacked.
tarSameAsNewer() {
  local unpacked=$work/unpacked
  rm -rf "$unpacked" && mkdir "$unpacked" && tar -xf "$1" -C "$unpacked"
  sameAsNewer "$unpacked" "$2" "$3"
  rm -rf "$unpacked"
}

makeTar() { tar --sort=name --owner=0 --group=0 --numeric-owner --mtime=@0 -C "$1" -cf "$2" .; }
size() { stat -c %s "$1"; }
add() { awk -v a="$1" -v b="$2" 'BEGIN {print a + b}'; }
most() { awk -v a="$1" -v b="$2" 'BEGIN {print (a > b ? a : b)}'; }
# median FILE COLUMN: the median of one column of a measurement file; peak
# FILE: the largest of its second column.
median() { cut -d' ' -f"$2" "$1" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'; }
peak() { cut -d' ' -f2 "$1" | sort -g | tail -n1; }
mib() { [[ -s $1 ]] && awk -v k="$(peak "$1")" 'BEGIN {printf "%.1f", k / 1024}' || echo "-"; }
seconds() { [[ -s $1 ]] && median "$1" 1 || echo "-"; }
ratio() {
  [[ $1 != - && $2 != - ]] && awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", a / (b > 0 ? b : 0.01)}' ||
    echo "-"
}
# verdict VALUE OPERATOR LIMIT: "met" or "missed".
verdict() {
  [[ $1 == - ]] && { echo "-"; return; }
  awk -v v="$1" -v l="$3" "BEGIN {exit !(v $2 l)}" && echo "met" || echo "missed"
}

# package ORIGINAL-FOLDER NEWER-FOLDER MEASUREMENTS FOLDER: kestro ORIGINAL
# NEWER (measured into MEASUREMENTS), the package moved out of the
# original's folder into FOLDER; prints the package's path.
package() {
  local beside
  beside=$(dirname "$1")
  rm -f "$beside"/*.kst
  (cd "$beside" && measure "$3" "${pin[@]}" "$kestro" "$(basename "$1")" "$2")
  local made=("$beside"/*.kst)
  if ((${#made[@]} != 1)) || [[ ! -f ${made[0]} ]]; then
    echo "kestro wrote no package beside $1" >&2
    exit 1
  fi
  mkdir -p "$4" && mv "${made[0]}" "$4/"
  echo "$4/$(basename "${made[0]}")"
}

# applyPackage PACKAGE ORIGINAL-FOLDER NEWER-FOLDER MEASUREMENTS: kestro
# PACKAGE on a fresh copy of ORIGINAL, measured; the result checked.
applyPackage() {
  local dir=$work/apply
  rm -rf "$dir" && mkdir "$dir"
  cp -a "$2" "$dir/$(basename "$2")" && cp "$1" "$dir/"
  sync
  (cd "$dir" && measure "$4" "${pin[@]}" "$kestro" "$(basename "$1")")
  sameAsNewer "$dir/$(basename "$2")" "$3" "kestro $(basename "$1")"
  rm -rf "$dir"
}

# compactDelta ORIGINAL-FILE NEWER-FILE DELTA: kestro --compact of one file
# on a copy of the original; prints "seconds KiB".
compactDelta() {
  local scratch=$work/scratch
  rm -rf "$scratch" && mkdir "$scratch" && cp "$1" "$scratch/"
  (cd "$scratch" && timed "${pin[@]}" "$kestro" --compact "$(basename "$1")" "$2")
  local made=("$scratch"/*.kst)
  [[ -f ${made[0]} ]] || { echo "kestro --compact wrote no delta for $1" >&2; exit 1; }
  mv "${made[0]}" "$3"
  rm -rf "$scratch"
}

# rebuildPerFile: rebuilds the newer folder out of (c), checked.
rebuildPerFile() {
  local rebuilt=$work/per-file-rebuilt scratch=$work/scratch i path
  rm -rf "$rebuilt" && cp -a "$O" "$rebuilt"
  for ((i = 0; i < ${#compactNew[@]}; i++)); do
    path=${compactNew[i]}
    rm -rf "$scratch" && mkdir "$scratch"
    cp -a "$O/$path" "$scratch/" && cp "$work/c/$i.kst" "$scratch/delta.kst"
    (cd "$scratch" && "$kestro" delta.kst >"$work/out" 2>&1) ||
      { echo "kestro could not apply the compact delta of $path" >&2; cat "$work/out" >&2; exit 1; }
    mv "$scratch/$(basename "$path")" "$rebuilt/$path"
  done
  for ((i = 0; i < ${#wholeNew[@]}; i++)); do
    path=${wholeNew[i]}
    mkdir -p "$(dirname "$rebuilt/$path")"
    xz -d -c "$work/w/$i.xz" >"$rebuilt/$path"
  done
  # What the newer release no longer has.
  (cd "$O" && find . -mindepth 1 -depth -printf '%P\n') | while IFS= read -r path; do
    if [[ ! -e $N/$path && ! -L $N/$path ]]; then rm -rf "${rebuilt:?}/$path"; fi
  done
  rm -rf "$scratch"
  sameAsNewer "$rebuilt" "$N" "the per-file deltas (c)"
  rm -rf "$rebuilt"
}

# runPeers: (a), (b), (d), (e), once each, every result checked.
runPeers() {
  local rebuilt=$work/peer-rebuilt
  makeTar "$O" "$work/old.tar"
  makeTar "$N" "$work/new.tar"
  measure "$work/b.create" "${pin[@]}" xz -9e -T1 -k -f "$work/new.tar"
  if $haveZstd; then
    measure "$work/a.create" "${pin[@]}" zstd -q -f -19 --long=31 --patch-from="$work/old.tar" \
      "$work/new.tar" -o "$work/a.delta"
    measure "$work/a.apply" "${pin[@]}" zstd -q -f -d --long=31 --patch-from="$work/old.tar" \
      "$work/a.delta" -o "$work/rebuilt.tar"
    tarSameAsNewer "$work/rebuilt.tar" "$N" "zstd --patch-from"
  fi
  if $haveHdiffz; then
    local setting options
    for setting in "${hdiffzSettings[@]}"; do
      read -ra options <<<"$setting"
      rm -f "$work/d.try"
      measure "$work/d.try" "${pin[@]}" "$HDIFFZ" -d -f "${options[@]}" "$O" "$N" "$work/d.trial"
      if [[ ! -f $work/d.delta ]] || (($(size "$work/d.trial") < $(size "$work/d.delta"))); then
        mv "$work/d.trial" "$work/d.delta" && mv "$work/d.try" "$work/d.create"
        hdiffzUsed=${options[*]}
      fi
      rm -f "$work/d.trial" "$work/d.try"
    done
    rm -rf "$rebuilt"
    measure "$work/d.apply" "${pin[@]}" "$HPATCHZ" -f "$O" "$work/d.delta" "$rebuilt"
    sameAsNewer "$rebuilt" "$N" "hpatchz"
    rm -rf "$rebuilt"
  fi
  if $haveZucchini; then
    # shellcheck disable=SC2016 # the script sh runs expands its arguments
    measure "$work/e.create" "${pin[@]}" sh -c '"$1" gen "$2" "$3" "$4" && xz -9e -T1 -f "$4"' sh \
      "$ZUCCHINI" "$work/old.tar" "$work/new.tar" "$work/e.patch"
    mv "$work/e.patch.xz" "$work/e.delta"
    # shellcheck disable=SC2016
    measure "$work/e.apply" "${pin[@]}" sh -c 'xz -d -T1 -c "$3" >"$4.patch" && "$1" apply "$2" "$4.patch" "$4"' \
      sh "$ZUCCHINI" "$work/old.tar" "$work/e.delta" "$work/rebuilt.tar"
    rm -f "$work/rebuilt.tar.patch"
    tarSameAsNewer "$work/rebuilt.tar" "$N" "zucchini"
  fi
  rm -f "$work/rebuilt.tar" "$work/old.tar" "$work/new.tar"
  cp "$work/new.tar.xz" "$work/b.delta"
}

# The files of (c): compactNew[i] changed at its path, wholeNew[i] with no
# original at its path.
listPerFile() {
  compactNew=() wholeNew=()
  local path
  while IFS= read -r path; do
    if [[ -f $O/$path && ! -L $O/$path ]]; then
      cmp -s "$O/$path" "$N/$path" || compactNew+=("$path")
    else
      wholeNew+=("$path")
    fi
  done < <(cd "$N" && find . -type f -printf '%P\n' | LC_ALL=C sort)
}

# The package's deltas, from its listing: deltaNew[i] made from
# deltaOriginal[i].
listDeltas() {
  deltaNew=() deltaOriginal=()
  local line
  while IFS= read -r line; do
    deltaNew+=("$(sed -E 's/^Entry=(.*): file .*, delta against .* \([0-9]+ bytes, format [0-9.]+\)$/\1/' <<<"$line")")
    deltaOriginal+=("$(sed -E 's/^Entry=.*: file .*, delta against (.*) \([0-9]+ bytes, format [0-9.]+\)$/\1/' <<<"$line")")
  done < <("$kestroInfo" "$1" | tr -d '\r' | grep -E '^Entry=.*: file .*, delta against .* \([0-9]+ bytes, format [0-9.]+\)$' || true)
}

# oneRun RUN: one of each timed measurement.
oneRun() {
  local i t kib out compactSum=0 wholeSum=0 deltaSum=0 peakKiB=0
  local -A done_=()
  # The package.
  pkg=$(package "$O" "$N" "$work/kestro.create" "$work/made")
  if (($1 == 1)); then listDeltas "$pkg"; fi
  # (c), and the single creates of the package's deltas: a pair both have
  # is made once and counted in both.
  mkdir -p "$work/c" "$work/w"
  for ((i = 0; i < ${#compactNew[@]}; i++)); do
    out=$(compactDelta "$O/${compactNew[i]}" "$N/${compactNew[i]}" "$work/c/$i.kst")
    read -r t kib _ <<<"$out"
    compactSum=$(add "$compactSum" "$t") peakKiB=$(most "$peakKiB" "$kib")
    done_["${compactNew[i]}"$'\t'"${compactNew[i]}"]=$t
  done
  for ((i = 0; i < ${#wholeNew[@]}; i++)); do
    # shellcheck disable=SC2016
    out=$(timed "${pin[@]}" sh -c 'xz -9e -T1 -c "$1" >"$2"' sh "$N/${wholeNew[i]}" "$work/w/$i.xz")
    read -r t kib _ <<<"$out"
    wholeSum=$(add "$wholeSum" "$t") peakKiB=$(most "$peakKiB" "$kib")
  done
  for ((i = 0; i < ${#deltaNew[@]}; i++)); do
    local key="${deltaOriginal[i]}"$'\t'"${deltaNew[i]}"
    if [[ -z ${done_[$key]:-} ]]; then
      out=$(compactDelta "$O/${deltaOriginal[i]}" "$N/${deltaNew[i]}" "$work/single.kst")
      read -r t kib _ <<<"$out"
      done_[$key]=$t
    fi
    deltaSum=$(add "$deltaSum" "${done_[$key]}")
    echo "${done_[$key]}" >>"$work/single.$i"
  done
  echo "$(add "$compactSum" "$wholeSum") $peakKiB" >>"$work/c.create"
  echo "$deltaSum 0" >>"$work/single.create"
  if (($1 == 1)); then rebuildPerFile; fi
  # The package applied, and the newer release unpacked.
  applyPackage "$pkg" "$O" "$N" "$work/kestro.apply"
  local unpacked=$work/untar
  rm -rf "$unpacked" && mkdir "$unpacked"
  sync
  measure "$work/b.apply" "${pin[@]}" tar -xJf "$work/new.tar.xz" -C "$unpacked"
  sameAsNewer "$unpacked" "$N" "tar -xJf"
  rm -rf "$unpacked"
}

# movedFile: the variant with one file moved; sets moved, movedBytes,
# movedBase and movedVariant (package sizes) and movedEntry.
movedFile() {
  local path best='' bestSize=0 s baseOriginal=$O basePackage=$pkg
  # The largest file of at least 1 MiB the same at its path in both.
  while IFS= read -r path; do
    s=$(size "$N/$path")
    if ((s >= 1048576 && s > bestSize)) && [[ -f $O/$path ]] && cmp -s "$O/$path" "$N/$path"; then
      best=$path bestSize=$s
    fi
  done < <(cd "$N" && find . -type f -printf '%P\n')
  if [[ -z $best ]]; then
    # Else the largest at the same path in both, or the largest, made the
    # same in an original of its own.
    while IFS= read -r path; do
      s=$(size "$N/$path")
      if ((s >= 1048576 && s > bestSize)) && [[ -f $O/$path ]]; then best=$path bestSize=$s; fi
    done < <(cd "$N" && find . -type f -printf '%P\n')
    if [[ -z $best ]]; then
      while IFS= read -r path; do
        s=$(size "$N/$path")
        if ((s >= 1048576 && s > bestSize)); then best=$path bestSize=$s; fi
      done < <(cd "$N" && find . -type f -printf '%P\n')
    fi
    [[ -n $best ]] || { moved=; return; }
    baseOriginal=$work/moved-original/$name
    mkdir -p "$work/moved-original" && cp -a "$O" "$baseOriginal"
    mkdir -p "$(dirname "$baseOriginal/$best")" && cp "$N/$best" "$baseOriginal/$best"
    basePackage=$(package "$baseOriginal" "$N" "$work/moved.create" "$work/moved-base")
    applyPackage "$basePackage" "$baseOriginal" "$N" "$work/moved.apply"
  fi
  moved=$best movedBytes=$bestSize
  local folder=moved
  while [[ -e $N/$folder ]]; do folder=_$folder; done
  local variant
  variant=$work/moved-newer/$(basename "$N")
  mkdir -p "$work/moved-newer" && cp -a "$N" "$variant"
  mkdir "$variant/$folder" && mv "$variant/$best" "$variant/$folder/"
  movedTo=$folder/$(basename "$best")
  local variantPackage
  variantPackage=$(package "$baseOriginal" "$variant" "$work/moved.create" "$work/moved-variant")
  applyPackage "$variantPackage" "$baseOriginal" "$variant" "$work/moved.apply"
  movedBase=$(size "$basePackage") movedVariant=$(size "$variantPackage")
  movedEntry=$("$kestroInfo" "$variantPackage" | tr -d '\r' | grep -F "Entry=$movedTo: " || true)
  if [[ -n $keep ]]; then cp "$variantPackage" "$keep/${label}-moved_$(basename "$variantPackage")"; fi
  rm -rf "$variant" "$work/moved-original" "$variantPackage"
  [[ $basePackage == "$pkg" ]] || rm -f "$basePackage"
}

row() { # LABEL BYTES CREATE-FILE APPLY-FILE
  local bytes=$2 create=- apply=- createMiB=- applyMiB=-
  if [[ $bytes == - ]]; then printf '%-48s %11s\n' "$1" -; return; fi
  [[ -n $3 ]] && create=$(seconds "$3") createMiB=$(mib "$3")
  [[ -n $4 ]] && apply=$(seconds "$4") applyMiB=$(mib "$4")
  printf '%-48s %11s %9s %9s %9s %11s %10s\n' "$1" "$bytes" "$(ratio "$packageBytes" "$bytes")" \
    "$create" "$apply" "$createMiB" "$applyMiB"
}

for pair in "${pairs[@]}"; do
  if [[ $pair == /*:/* ]]; then
    original=${pair%%:*} newer=${pair#*:}
    name=$(basename "$original") label=$name about="$original -> $newer"
  else
    resolve "$pair"
  fi
  rm -rf "${work:?}"/*
  mkdir -p "$work/original"
  cp -a "$original" "$work/original/$name"
  O=$work/original/$name N=$newer
  loadBefore=$(cut -d' ' -f1-3 /proc/loadavg)

  runPeers
  listPerFile
  for ((run = 1; run <= runs; run++)); do oneRun "$run"; done
  packageBytes=$(size "$pkg")
  [[ -n $keep ]] && cp "$pkg" "$keep/"
  movedFile
  loadAfter=$(cut -d' ' -f1-3 /proc/loadavg)

  printf '\n%s: %s\n' "$label" "$about"
  printf 'original %s: %d files, %d bytes; newer %s: %d files, %d bytes\n' "$name" \
    "$(find "$O" -type f | wc -l)" "$(du -sb --apparent-size "$O" | cut -f1)" \
    "$(basename "$N")" "$(find "$N" -type f | wc -l)" "$(du -sb --apparent-size "$N" | cut -f1)"
  printf '%d runs, %d cores%s; load average %s before, %s after\n' "$runs" "$(nproc)" \
    "$( ((${#pin[@]} > 0)) && echo ", timed commands on processors 0 and 1")" "$loadBefore" "$loadAfter"
  printf '%-48s %11s %9s %9s %9s %11s %10s\n' way bytes package/ create-s apply-s create-MiB apply-MiB
  sizeA=- sizeD=- sizeE=-
  $haveZstd && sizeA=$(size "$work/a.delta")
  $haveHdiffz && sizeD=$(size "$work/d.delta")
  $haveZucchini && sizeE=$(size "$work/e.delta")
  sizeB=$(size "$work/b.delta")
  sizeC=$(find "$work/c" "$work/w" -type f -printf '%s\n' | awk '{s += $1} END {print s + 0}')
  row "(a) zstd -19 --long=31 --patch-from, tars" "$sizeA" "$work/a.create" "$work/a.apply"
  row "(b) xz -9e, newer tar (apply: tar -xJf)" "$sizeB" "$work/b.create" "$work/b.apply"
  row "(c) per-file compact deltas + new files xz -9e" "$sizeC" "$work/c.create" ""
  row "(d) hdiffz $hdiffzUsed" "$sizeD" "$work/d.create" "$work/d.apply"
  row "(e) zucchini on tars, then xz -9e" "$sizeE" "$work/e.create" "$work/e.apply"
  row "kestro package" "$packageBytes" "$work/kestro.create" "$work/kestro.apply"
  printf '(times of (a), (d), (e) and of (b)'\''s create from one run; the rest medians of %d)\n' "$runs"
  printf 'package: %s\n' "$(basename "$pkg")"

  smallest='' smallestName=''
  for way in a b d e; do
    var=size${way^^}
    [[ ${!var} == - ]] && continue
    if [[ -z $smallest ]] || ((${!var} < smallest)); then smallest=${!var} smallestName="($way)"; fi
  done
  packageRatio=$(ratio "$packageBytes" "$smallest")
  createSeconds=$(seconds "$work/kestro.create")
  singleSeconds=$(seconds "$work/single.create")
  ((${#deltaNew[@]} > 0)) || singleSeconds=-
  createRatio=$(ratio "$createSeconds" "$singleSeconds")
  # The longest of the single creates, and the processors kestro's create
  # kept busy.
  longest=- longestSeconds=0
  for ((i = 0; i < ${#deltaNew[@]}; i++)); do
    t=$(median "$work/single.$i" 1)
    if awk -v a="$t" -v b="$longestSeconds" 'BEGIN {exit !(a > b)}'; then
      longest=${deltaNew[i]} longestSeconds=$t
    fi
  done
  busy=$(awk '{print ($3 + $4) / ($1 > 0 ? $1 : 0.01)}' "$work/kestro.create" | sort -g |
    awk '{v[NR] = $1} END {printf "%.2f", v[int((NR + 1) / 2)]}')
  applyRatio=$(ratio "$(seconds "$work/kestro.apply")" "$(seconds "$work/b.apply")")
  applyMiB=$(mib "$work/kestro.apply")
  printf '%-64s %10s %8s  %s\n' goal value limit ""
  printf '%-64s %10s %8s  %s\n' "package / smallest of (a), (b), (d), (e): $smallestName" "$packageRatio" \
    "<= 0.80" "$(verdict "$packageRatio" "<=" 0.80)"
  if [[ -n $moved ]]; then
    movedCost=$((movedVariant - movedBase))
    printf '%-64s %10s %8s  %s\n' "moved file, bytes (package with the move - without)" "$movedCost" \
      "< 200" "$(verdict "$movedCost" "<" 200)"
    printf '  (%s, %d bytes, to %s: packages of %d and %d bytes;\n   %s)\n' "$moved" "$movedBytes" \
      "$movedTo" "$movedVariant" "$movedBase" "${movedEntry:-no entry for it in the listing}"
  else
    printf '%-64s %10s\n' "moved file: the newer release has no file of 1 MiB or more" -
  fi
  printf '%-64s %10s %8s  %s\n' \
    "create / ${#deltaNew[@]} single compact creates ($singleSeconds s)" "$createRatio" "<= 0.65" \
    "$(verdict "$createRatio" "<=" 0.65)"
  printf '  (create / making (c): %s; the longest single create %s s, %s; create kept %s\n' \
    "$(ratio "$createSeconds" "$(seconds "$work/c.create")")" "$longestSeconds" "$longest" "$busy"
  printf '   processors busy on average)\n'
  printf '%-64s %10s %8s  %s\n' "apply / tar -xJf newer.tar.xz" "$applyRatio" "<= 2" \
    "$(verdict "$applyRatio" "<=" 2)"
  printf '%-64s %10s %8s  %s\n' "apply peak memory, MiB" "$applyMiB" "<= 64" "$(verdict "$applyMiB" "<=" 64)"
done
