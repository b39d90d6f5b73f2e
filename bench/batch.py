#!/usr/bin/env python3
"""Batch jobs over many photos, every tool using all cores: pixelvane-batch
against ImageMagick (mogrify), libvips (vips per file through xargs -P, and
vipsthumbnail) and Pillow (a multiprocessing pool as large as the core
count). Runs are interleaved round by round, each figure the median over
the rounds: pictures per second and the peak memory of the whole run.

usage: batch.py BUILD_DIR PHOTO_DIR OUT_DIR ROUNDS RESULTS_MD
"""
import glob
import os
import shutil
import statistics
import sys

from timing import rotated, timed

build, photos, outdir, rounds, results = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5]
cores = os.cpu_count()
inputs = sorted(glob.glob(os.path.join(photos, "*.jpg")))
batch = os.path.join(build, "pixelvane-batch")
pil = "/usr/bin/python3"
out = os.path.join(outdir, "batch-out")


def xargs(command):
    """One command a file, cores at a time; {} is the input, {o} the output stem."""
    script = command.replace("{o}", out + "/$(basename \"$1\" .jpg)").replace("{}", "\"$1\"")
    return ["sh", "-c", f'printf "%s\\0" "$@" | xargs -0 -P {cores} -n 1 sh -c \'{script}\' _', "_"] + inputs


def pillow(body, ext, save=""):
    code = f"""
import os, sys
from multiprocessing import Pool
from PIL import Image, ImageOps
def one(path):
    im = Image.open(path)
{body}
    im.save(os.path.join(sys.argv[1], os.path.basename(path)[:-4] + ".{ext}"){save})
if __name__ == "__main__":
    with Pool({cores}) as pool:
        pool.map(one, sys.argv[2:], chunksize=1)
"""
    return [pil, "-c", code, out] + inputs


def mogrify(*args):
    return ["mogrify", "-path", out] + list(args) + inputs


jobs = {
    "(B1) trim 10 from every edge, BMP": {
        "Pixelvane": [batch, "-q", "--trim", "10", "-o", out] + inputs,
        "ImageMagick": mogrify("-shave", "10x10", "-type", "TrueColor", "-format", "bmp"),
        "libvips": xargs("vips crop {} {o}.bmp 10 10 5980 3980"),
        "Pillow": pillow("    im = im.crop((10, 10, 5990, 3990))", "bmp"),
    },
    "(B2) shrink to 320 x 240, all edges, margin 0, BMP": {
        "Pixelvane": [batch, "-q", "--shrink", "320x240", "-o", out] + inputs,
        "Pixelvane --fast": [batch, "-q", "--fast", "--shrink", "320x240", "-o", out] + inputs,
        "ImageMagick": mogrify("-resize", "320x240^", "-gravity", "center", "-extent", "320x240",
                               "-type", "TrueColor", "-format", "bmp"),
        "libvips": xargs("vips thumbnail {} {o}.bmp 320 --height 240 --crop centre"),
        "vipsthumbnail": ["sh", "-c", f'printf "%s\\0" "$@" | xargs -0 -P {cores} -n {max(1, len(inputs) // cores)} '
                          f'vipsthumbnail -s 320x240 -c -o "{out}/%s.bmp"', "_"] + inputs,
        "Pillow": pillow("    im = ImageOps.fit(im, (320, 240), Image.BOX)", "bmp"),
    },
    "(B3) centre crop 4000 x 3000, JPEG quality 90": {
        "Pixelvane": [batch, "-q", "--crop", "4000x3000", "--format", "jpeg", "--quality", "90", "-o", out] + inputs,
        "ImageMagick": mogrify("-gravity", "center", "-crop", "4000x3000+0+0", "+repage", "-quality", "90",
                               "-format", "jpg"),
        "libvips": xargs("vips crop {} {o}.jpg[Q=90] 1000 500 4000 3000"),
        "Pillow": pillow("    im = im.crop((1000, 500, 5000, 3500))", "jpg", ", quality=90"),
    },
}


def measure(cmd):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    seconds, megabytes = timed(cmd)
    written = len(os.listdir(out))
    if written != len(inputs):
        raise SystemExit(f"wrote {written} of {len(inputs)}: {' '.join(cmd[:6])} ...")
    return seconds, megabytes


times, memory = {}, {}
for r in range(rounds):
    for job, tools in jobs.items():
        for tool, cmd in rotated(tools, r):
            s, m = measure(cmd)
            times.setdefault((job, tool), []).append(s)
            memory.setdefault((job, tool), []).append(m)
    print(f"batch round {r + 1} of {rounds} done", file=sys.stderr)

lines = [f"{len(inputs)} photos of 6000 x 4000 (JPEG, quality 90, each different), {cores} cores; "
         "pictures per second (median of the rounds), then the peak memory of the run's largest process.", ""]
for job, tools in jobs.items():
    lines.append(f"| {job} | pictures/s | peak memory |")
    lines.append("| --- | --- | --- |")
    for tool in tools:
        s = statistics.median(times[(job, tool)])
        m = statistics.median(memory[(job, tool)])
        lines.append(f"| {tool} | {len(inputs) / s:.2f} | {m:.0f} MB |")
    lines.append("")
table = "\n".join(lines)
print(table)
with open(results, "a") as f:
    f.write("\n## Batch jobs\n\n" + table)
