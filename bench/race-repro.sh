#!/usr/bin/env bash
# Two updaters of one program at once: applies the same delta twice, the
# second started 0-120 ms after the first and killed (SIGKILL) the moment
# the first ends, ROUNDS times over, on a versioned pair of about SIZE
# (a sample program with SIZE of synthetic data appended). Counts the rounds
# that left a torn target (neither the old nor the new file), a torn backup
# (not the old file), or an "OK" from a run whose target is not the new file,
# and the files left beside target, delta and backup.
#
# Usage: bench/race-repro.sh KESTRO [ROUNDS [SIZE]]   (defaults 20, 64M)
set -euo pipefail
kestro=$(realpath "$1")
rounds=${2:-20}
size=${3:-64M}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 "$here/synthetic-pair.py" "$size" body-old body-new
cat "$here/../samples/hello.exe" body-old > old.exe
cat "$here/../samples/hello-1.0.0.2.exe" body-new > new.exe
rm body-old body-new
mkdir run
cp old.exe run/app.exe
cp new.exe run/app2.exe
(cd run && "$kestro" app.exe app2.exe > /dev/null)
rm run/app2.exe
delta=app.exe_1.0.0.2.kst
backup=app.exe_1.0.0.1.org

torn=0 tornBackup=0 falseOk=0 leftovers=0
for ((round = 1; round <= rounds; ++round)); do
  find run -mindepth 1 ! -name "$delta" -delete
  rm -f first.out second.out
  touch first.out second.out
  cp old.exe run/app.exe
  (cd run && exec "$kestro" "$delta" > ../first.out) &
  first=$!
  sleep "0.$(printf '%03d' $((RANDOM % 121)))"
  (cd run && exec "$kestro" "$delta" > ../second.out) &
  second=$!
  wait "$first" || true
  kill -9 "$second" 2> /dev/null || true
  wait "$second" 2> /dev/null || true
  state=new
  if ! cmp -s run/app.exe new.exe; then
    if cmp -s run/app.exe old.exe; then state=old; else state=torn; ((++torn)); fi
  fi
  if [[ -e run/$backup ]] && ! cmp -s "run/$backup" old.exe; then ((++tornBackup)); fi
  # Anything but the target, the delta and the backup: temporary and lock
  # files that the killed run left.
  leftovers=$((leftovers + $(find run -mindepth 1 ! -name app.exe ! -name "$delta" ! -name "$backup" | wc -l)))
  for out in first.out second.out; do
    if grep -q '^OK' "$out" && [[ $state != new ]]; then ((++falseOk)); fi
  done
done
echo "rounds=$rounds torn_target=$torn torn_backup=$tornBackup false_ok=$falseOk leftover_files=$leftovers"
