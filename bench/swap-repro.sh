#!/usr/bin/env bash
# Another program renames a foreign file over the target while an update
# runs: applies a delta ROUNDS times over, on a versioned pair of about SIZE
# (a sample program with SIZE of synthetic data appended), and renames a
# foreign file over the target 0-DELAY ms after the start of each apply.
# Counts the rounds whose apply printed "OK" although the backup is not the
# original (false_ok: it holds the foreign file, and the checked original is
# lost), and the rounds that printed no "OK" and left the foreign file at the
# target with no backup holding it (refused).
#
# Usage: bench/swap-repro.sh KESTRO [ROUNDS [SIZE [DELAY]]]
#        (defaults 12, 256M, a delay spread over one apply's duration)
set -euo pipefail
kestro=$(realpath "$1")
rounds=${2:-12}
size=${3:-256M}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

python3 "$here/synthetic-pair.py" "$size" body-old body-new
cat "$here/../samples/hello.exe" body-old > old.exe
cat "$here/../samples/hello-1.0.0.2.exe" body-new > new.exe
rm body-old body-new
head -c 4096 /dev/urandom > foreign.exe
mkdir run
cp old.exe run/app.exe
cp new.exe run/app2.exe
(cd run && "$kestro" app.exe app2.exe > /dev/null)
rm run/app2.exe
delta=app.exe_1.0.0.2.kst
backup=app.exe_1.0.0.1.org

# One undisturbed apply sets the spread of the swap's moment.
start=$(date +%s%N)
(cd run && "$kestro" "$delta" > /dev/null)
delay=${4:-$((($(date +%s%N) - start) / 1000000))}

falseOk=0 refused=0 ok=0
for ((round = 1; round <= rounds; ++round)); do
  find run -mindepth 1 ! -name "$delta" -delete
  cp old.exe run/app.exe
  cp foreign.exe run/foreign.tmp
  (cd run && exec "$kestro" "$delta" > ../apply.out) &
  apply=$!
  sleep "$(awk -v d="$delay" -v r="$RANDOM" 'BEGIN { printf "%.3f", d * r / 32768 / 1000 }')"
  mv run/foreign.tmp run/app.exe
  wait "$apply" || true
  if grep -q '^OK' apply.out; then
    ((++ok))
    if ! cmp -s "run/$backup" old.exe; then ((++falseOk)); fi
  elif cmp -s run/app.exe foreign.exe && ! { [[ -e run/$backup ]] && cmp -s "run/$backup" foreign.exe; }; then
    ((++refused))
  fi
done
echo "rounds=$rounds delay_ms=$delay ok=$ok false_ok=$falseOk refused=$refused"
