#!/usr/bin/env python3
"""Whole processes side by side: Pixelvane's scenario runner against
ImageMagick, libvips and Pillow on the same tasks, with djpeg and dd as the
floors. Runs are interleaved round by round; each figure is the median over
the rounds and its ratio to the djpeg decode measured in the same run.

usage: compare.py BUILD_DIR INPUT_DIR ROUNDS RESULTS_MD [INPROC_TXT]
"""
import datetime
import os
import platform
import statistics
import sys

from timing import rotated, timed

build, inputs, rounds, results = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
inproc = open(sys.argv[5]).read() if len(sys.argv) > 5 else ""
jpg = os.path.join(inputs, "photo.jpg")
bmp = os.path.join(inputs, "photo.bmp")
heic = os.path.join(inputs, "phone.heic")
out = os.path.join(inputs, "out.bmp")
runner = os.path.join(build, "pixelvane-scenario")
pil = "/usr/bin/python3"
convert = "/usr/bin/convert"


def scenario(name, source, steps, save=True):
    path = os.path.join(inputs, f"task-{name}.jsonl")
    with open(path, "w") as f:
        f.write(f'{{"do":"answer","open":"{source}"}}\n{{"do":"click","control":"mnuOpen"}}\n')
        for s in steps:
            f.write(s + "\n")
        if save:
            f.write(f'{{"do":"answer","save":"{out}"}}\n{{"do":"click","control":"mnuSave"}}\n')
    return [runner, "--no-digest", path]


def pillow(code, source):
    return [pil, "-c", "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n" + code +
            "\nim.save(sys.argv[2])", source, out]


trim = ['{"do":"click","control":"cmbDotDel"}']
crop = ['{"do":"type","field":"txtYoko","text":"4000"}', '{"do":"type","field":"txtTate","text":"3000"}',
        '{"do":"click","control":"cmbCenterDel"}']
shrink = ['{"do":"type","field":"txtYoko","text":"1920"}', '{"do":"type","field":"txtTate","text":"1080"}',
          '{"do":"click","control":"cmdHenkan"}']

tasks = {
    "(b) JPEG, trim 10 from every edge, BMP": {
        "Pixelvane": scenario("b", jpg, trim),
        "ImageMagick": [convert, jpg, "-shave", "10x10", "BMP3:" + out],
        "libvips": ["vips", "crop", jpg, out, "10", "10", "5980", "3980"],
        "Pillow": pillow("im = im.crop((10, 10, 5990, 3990))", jpg),
    },
    "(c) JPEG, centre crop 4000 x 3000, BMP": {
        "Pixelvane": scenario("c", jpg, crop),
        "ImageMagick": [convert, jpg, "-gravity", "center", "-crop", "4000x3000+0+0", "+repage", "BMP3:" + out],
        "libvips": ["vips", "crop", jpg, out, "1000", "500", "4000", "3000"],
        "Pillow": pillow("im = im.crop((1000, 500, 5000, 3500))", jpg),
    },
    "(d) JPEG, cut to 16:9, resize 1920 x 1080, BMP": {
        "Pixelvane": scenario("d", jpg, shrink),
        "ImageMagick": [convert, jpg, "-gravity", "center", "-crop", "6000x3375+0+0", "+repage",
                        "-resize", "1920x1080!", "BMP3:" + out],
        "libvips": ["vips", "thumbnail", jpg, out, "1920", "--height", "1080", "--crop", "centre"],
        "Pillow": pillow("im = im.crop((0, 312, 6000, 3687)).resize((1920, 1080), Image.LANCZOS)", jpg),
    },
    "(h) 12-megapixel phone HEIC, open (the window: start, open, end)": {
        "Pixelvane": scenario("h", heic, [], save=False),
        "libvips": ["vips", "copy", heic, os.path.join(inputs, "phone.v")],
    },
    "(f) 24-bit BMP, trim 10 from every edge, BMP": {
        "Pixelvane": scenario("f", bmp, trim),
        "ImageMagick": [convert, bmp, "-shave", "10x10", "BMP3:" + out],
        "libvips": ["vips", "crop", bmp, out, "10", "10", "5980", "3980"],
        "Pillow": pillow("im = im.crop((10, 10, 5990, 3990))", bmp),
    },
}
trimmed_bytes = 54 + ((5980 * 3 + 3) & ~3) * 3980
floors = {
    "djpeg": ["djpeg", "-outfile", os.devnull, jpg],
    "dd": ["dd", "if=/dev/zero", "of=" + out, "bs=4M", f"count={trimmed_bytes}", "iflag=count_bytes", "status=none"],
}


def measure(cmd):
    if os.path.exists(out):
        os.remove(out)
    return timed(cmd)


times = {}
memory = {}
for r in range(rounds):
    for name, cmd in floors.items():
        s, m = measure(cmd)
        times.setdefault(("floor", name), []).append(s)
        memory.setdefault(("floor", name), []).append(m)
    for task, tools in tasks.items():
        for tool, cmd in rotated(tools, r):
            s, m = measure(cmd)
            times.setdefault((task, tool), []).append(s)
            memory.setdefault((task, tool), []).append(m)
    print(f"round {r + 1} of {rounds} done", file=sys.stderr)

djpeg = statistics.median(times[("floor", "djpeg")])
lines = []
lines.append(f"Floors: djpeg decode {djpeg:.3f} s ({statistics.median(memory[('floor', 'djpeg')]):.0f} MB); "
             f"dd of {trimmed_bytes / 1e6:.1f} MB {statistics.median(times[('floor', 'dd')]):.3f} s "
             f"= {statistics.median(times[('floor', 'dd')]) / djpeg:.2f}x djpeg")
lines.append("")
columns = list(tasks[next(iter(tasks))].keys())
lines.append("| task | " + " | ".join(columns) + " |")
lines.append("| --- |" + " --- |" * len(columns))
for task, tools in tasks.items():
    cells = []
    for tool in columns:
        if tool not in tools:
            cells.append("")
            continue
        s = statistics.median(times[(task, tool)])
        m = statistics.median(memory[(task, tool)])
        cells.append(f"{s:.3f} s, {s / djpeg:.2f}x, {m:.0f} MB")
    lines.append(f"| {task} | " + " | ".join(cells) + " |")
table = "\n".join(lines)
print(table)

cpu = "unknown processor"
try:
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
except OSError:
    pass
with open(results, "w") as f:
    f.write("# Benchmark results\n\n")
    f.write(f"Measured {datetime.date.today().isoformat()} on {os.cpu_count()} cores of {cpu}, "
            f"{platform.system()} {platform.release()}; median of {rounds} interleaved rounds. "
            "Each cell: seconds, ratio to the djpeg decode of the same JPEG in the same run, peak memory.\n\n")
    f.write("## Whole processes\n\n" + table + "\n")
    if inproc:
        f.write("\n## In process, on the window's own code paths\n\n```\n" + inproc.strip() + "\n```\n")
