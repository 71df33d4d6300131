#!/bin/bash
# Bytes saved by --lossless and by --strip over the corpus photos, and a run split into 3 parts
# (one after another, and all at once with -j1 each) against one run, in the same script.
# Usage: bench/options/measure.sh [TRAMBLIX] [PHOTOS]
set -eu
T=${1:-build/bin/tramblix}
P=${2:-../shared/corpus/photos}
W=$(mktemp -d)
trap 'rm -rf "$W"' EXIT
sum() { find "$1" -type f -iname '*.jpg' -printf '%s\n' | awk '{s += $1} END {print s}'; }
elapsed() { local s; s=$(date +%s.%N); bash -c "$1" >/dev/null 2>&1 || true; echo "$(date +%s.%N) - $s" | bc; }

"$T" -q --lossless "$P" "$W/lossless" >/dev/null 2>&1
"$T" -q "$P" "$W/default" >/dev/null 2>&1
"$T" -q --strip "$P" "$W/strip" >/dev/null 2>&1
in=$(sum "$P") l=$(sum "$W/lossless") d=$(sum "$W/default") s=$(sum "$W/strip")
echo "inputs $in bytes; --lossless $l ($(echo "scale=4; $l / $in" | bc));" \
     "default $d; --strip $s ($(echo "scale=4; 100 * ($d - $s) / $d" | bc)% less)"

# A tree of 4 copies of the photos, so each part has several files.
for i in 1 2 3 4; do mkdir -p "$W/in/set$i" && cp "$P"/* "$W/in/set$i/"; done
for round in 1 2; do
    rm -rf "$W"/o_*
    one=$(elapsed "'$T' -q -j1 '$W/in' '$W/o_one'")
    two=$(elapsed "'$T' -q -j2 '$W/in' '$W/o_two'")
    seq=$(elapsed "for k in 0 1 2; do '$T' -q -j1 --shard=\$k/3 '$W/in' '$W/o_seq'; done")
    par=$(elapsed "for k in 0 1 2; do '$T' -q -j1 --shard=\$k/3 '$W/in' '$W/o_par' & done; wait")
    same=$(diff -r "$W/o_one" "$W/o_seq" >/dev/null && diff -r "$W/o_one" "$W/o_par" >/dev/null && echo same || echo DIFFERENT)
    echo "round $round: one run -j1 ${one}s; -j2 $(echo "scale=2; $two / $one" | bc);" \
         "3 parts one after another $(echo "scale=2; $seq / $one" | bc); 3 parts at once" \
         "$(echo "scale=2; $par / $one" | bc) (ratios to one -j1 run); outputs $same"
done
