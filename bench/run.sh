#!/usr/bin/env bash
# The benchmark: bench/run.sh BUILD_DIR [ROUNDS]. Makes its inputs, times the
# window's code paths in process, then Pixelvane against ImageMagick, libvips,
# Pillow and sharp as whole processes, and writes bench/RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
rounds=${2:-5}
work=bench/out
mkdir -p "$work"
"$build/bench/pixelvane-bench-inputs" "$work"
# Let the new files reach the disk first, so that writing them back does
# not run through the timings.
sync
echo "== in process (median of $rounds)"
QT_QPA_PLATFORM=offscreen "$build/bench/pixelvane-bench" "$work" "$rounds" 2>/dev/null | tee "$work/inproc.txt"
echo "== whole processes (median of $rounds interleaved rounds)"
QT_QPA_PLATFORM=offscreen python3 bench/compare.py "$build" "$(pwd)/$work" "$rounds" bench/RESULTS.md "$work/inproc.txt"
batch_rounds=${BATCH_ROUNDS:-3}
photos="$work/photos"
if [ "$(ls "$photos"/*.jpg 2>/dev/null | wc -l)" -ne 48 ]; then
    echo "== making 48 photos for the batch jobs"
    rm -rf "$photos" && mkdir -p "$photos"
    "$build/bench/pixelvane-bench-inputs" --batch "$photos" 48
fi
phones="$work/phones"
if [ "$(ls "$phones"/*.heic 2>/dev/null | wc -l)" -ne 8 ]; then
    echo "== making 8 phone photos for the batch jobs"
    rm -rf "$phones" && mkdir -p "$phones"
    "$build/bench/pixelvane-bench-inputs" --heic "$phones" 8
fi
# sharp, from npm, into the build folder (the machine's node; Debian's only
# where there is none).
sharp="$build/sharp"
if command -v npm >/dev/null && [ ! -d "$sharp/node_modules/sharp" ]; then
    echo "== installing sharp into $sharp"
    mkdir -p "$sharp" && npm install --prefix "$sharp" --no-audit --no-fund --silent sharp
fi
[ -d "$sharp/node_modules/sharp" ] && export SHARP_MODULES="$(cd "$sharp" && pwd)/node_modules"
echo "== batch jobs (median of $batch_rounds interleaved rounds)"
python3 bench/batch.py "$build" "$(pwd)/$photos" "$(pwd)/$phones" "$(pwd)/$work" "$batch_rounds" bench/RESULTS.md
