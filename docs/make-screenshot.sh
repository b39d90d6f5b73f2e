#!/usr/bin/env bash
# Renders docs/window.png: the real window, offscreen, with a generated
# photo-like picture opened and trimmed once. Needs a built tree (./build.sh test).
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 - "$work/landscape.bmp" <<'PY'
import math, struct, sys
w, h = 960, 640
row = (w * 3 + 3) & ~3
out = bytearray()
for y in range(h - 1, -1, -1):
    line = bytearray()
    for x in range(w):
        horizon = 380 + 40 * math.sin(x / 90.0)
        if y < horizon:  # sky, lighter towards the horizon, and a sun
            t = y / horizon
            r, g, b = 90 + 120 * t, 150 + 80 * t, 235
            if (x - 700) ** 2 + (y - 150) ** 2 < 55 ** 2:
                r, g, b = 255, 226, 120
        else:            # hills with stripes of fields
            t = (y - horizon) / (h - horizon)
            r, g, b = 60 + 60 * t, 140 - 40 * t + 20 * math.sin(x / 25.0 + y / 9.0), 60
        line += bytes((int(b), int(g), int(r)))
    out += line + b"\0" * (row - w * 3)
hdr = b"BM" + struct.pack("<IHHI", 54 + len(out), 0, 0, 54)
hdr += struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(out), 3780, 3780, 0, 0)
open(sys.argv[1], "wb").write(hdr + out)
PY
cat > "$work/shot.jsonl" <<JSON
{"do":"answer","open":"$work/landscape.bmp"}
{"do":"click","control":"mnuOpen"}
{"do":"click","control":"cmbDotDel"}
{"do":"screenshot","path":"docs/window.png"}
JSON
QT_QPA_PLATFORM=offscreen build/pixelvane-scenario "$work/shot.jsonl" >/dev/null
echo "wrote docs/window.png"
