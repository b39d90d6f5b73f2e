#!/usr/bin/env bash
# The benchmark: bench/run.sh BUILD_DIR [ROUNDS]. Makes its inputs, times the
# window's code paths in process, then Pixelvane against ImageMagick, libvips
# and Pillow as whole processes, and writes bench/RESULTS.md.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1
rounds=${2:-5}
work=bench/out
mkdir -p "$work"
"$build/bench/pixelvane-bench-inputs" "$work"
echo "== in process (median of $rounds)"
QT_QPA_PLATFORM=offscreen "$build/bench/pixelvane-bench" "$work" "$rounds" 2>/dev/null | tee "$work/inproc.txt"
echo "== whole processes (median of $rounds interleaved rounds)"
QT_QPA_PLATFORM=offscreen python3 bench/compare.py "$build" "$(pwd)/$work" "$rounds" bench/RESULTS.md "$work/inproc.txt"
