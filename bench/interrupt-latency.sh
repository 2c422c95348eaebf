#!/usr/bin/env bash
# Measures how long a compact create takes to stop after SIGINT: for each
# delay, starts `kestro --compact OLD NEW`, sends SIGINT that many seconds
# later, and reports the seconds from the signal to the program's end, its
# exit (130 when it ended by the signal) and whether it left any file
# behind. Builds are interleaved: each delay runs every build before the
# next delay starts.
#
# Usage: bench/interrupt-latency.sh [-s SIZE] [-d "DELAYS..."] KESTRO...
#   -s SIZE     the synthetic pair's size (bench/synthetic-pair.py), 512M
#               by default, cached as bench/compare.sh caches it
#   -d DELAYS   seconds after the start, "1 3 10 30 60 90" by default
set -euo pipefail

size=512M
delays="1 3 10 30 60 90"
while getopts s:d: opt; do
  case $opt in
    s) size=$OPTARG ;;
    d) delays=$OPTARG ;;
    *) echo "usage: $0 [-s SIZE] [-d \"DELAYS...\"] KESTRO..." >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
(($# > 0)) || { echo "usage: $0 [-s SIZE] [-d \"DELAYS...\"] KESTRO..." >&2; exit 2; }

root=$(cd "$(dirname "$0")/.." && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/kestro-bench/synthetic-$size
if [[ ! -f $cache/new ]]; then
  mkdir -p "$cache"
  python3 "$root/bench/synthetic-pair.py" "$size" "$cache/old" "$cache/new"
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
ln -s "$cache/old" "$work/old.bin"
ln -s "$cache/new" "$work/new.bin"

printf '%-40s %8s %10s %6s %s\n' kestro delay-s stop-s status "left behind"
for delay in $delays; do
  for kestro in "$@"; do
    # A job started in the background of a script has SIGINT ignored, which
    # kestro keeps ignored (as under nohup): it starts with the default.
    (cd "$work" && exec env --default-signal=INT "$kestro" --compact old.bin new.bin \
      </dev/null >"$work/out" 2>&1) &
    pid=$!
    sleep "$delay"
    sent=$(date +%s.%N)
    if ! kill -INT "$pid" 2>/dev/null; then
      wait "$pid" || true
      printf '%-40s %8s %10s %6s %s\n' "$kestro" "$delay" "-" "-" "ended before the signal"
      rm -f "$work"/*.kst
      continue
    fi
    status=0
    wait "$pid" || status=$?
    ended=$(date +%s.%N)
    left=$(cd "$work" && find . -maxdepth 1 -type f ! -name out | sort | xargs)
    printf '%-40s %8s %10.2f %6s %s\n' "$kestro" "$delay" "$(awk "BEGIN {print $ended - $sent}")" \
      "$status" "${left:--}"
    rm -f "$work"/*.kst "$work"/*.tmp "$work"/*.kestro-lock
  done
done
