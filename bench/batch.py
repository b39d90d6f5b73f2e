#!/usr/bin/env python3
"""Batch jobs over many photos, every tool using all cores: pixelvane-batch
against ImageMagick (mogrify), libvips (vips per file through xargs -P, and
vipsthumbnail), Pillow (a multiprocessing pool as large as the core
count) and sharp (bench/sharp.js, one pipeline a core). Runs are
interleaved round by round, each figure the median over the rounds:
pictures per second and the peak memory of the whole run.

usage: batch.py BUILD_DIR PHOTO_DIR PHONE_DIR OUT_DIR ROUNDS RESULTS_MD
BATCH_JOBS=B8,B9 runs only those jobs; BASELINE_BATCH adds another build's
pixelvane-batch to B1; SHARP_MODULES is the node_modules
folder that holds sharp (its jobs are left out without it).
"""
import glob
import os
import shutil
import statistics
import sys

from timing import rotated, timed_with_cpu

build, photos, phones, outdir, rounds, results = sys.argv[1:6] + [sys.argv[6]]
rounds = int(rounds)
cores = os.cpu_count()
inputs = sorted(glob.glob(os.path.join(photos, "*.jpg")))
few = inputs[:16]
heics = sorted(glob.glob(os.path.join(phones, "*.heic")))
batch = os.path.join(build, "pixelvane-batch")
pil = "/usr/bin/python3"
out = os.path.join(outdir, "batch-out")


def xargs(command, files=None, ext=".jpg"):
    """One command a file, cores at a time; {} is the input, {o} the output stem."""
    script = command.replace("{o}", out + f"/$(basename \"$1\" {ext})").replace("{}", "\"$1\"")
    return ["sh", "-c", f'printf "%s\\0" "$@" | xargs -0 -P {cores} -n 1 sh -c \'{script}\' _', "_"] + (files or inputs)


def vipsthumbnail(size, suffix, files, crop=True):
    return ["sh", "-c", f'printf "%s\\0" "$@" | xargs -0 -P {cores} -n {max(1, len(files) // cores)} '
            f'vipsthumbnail -s {size} {"-c " if crop else ""}-o "{out}/{suffix}"', "_"] + files


def pillow_sizes(sizes):
    """One decode, then each size by ImageOps.fit into its own folder."""
    code = f"""
import os, sys
from multiprocessing import Pool
from PIL import Image, ImageOps
def one(path):
    im = Image.open(path)
    im.load()
    for w, h, name in {sizes!r}:
        ImageOps.fit(im, (w, h), Image.BOX).save(os.path.join(sys.argv[1], name, os.path.basename(path)), quality=90)
if __name__ == "__main__":
    with Pool({cores}) as pool:
        pool.map(one, sys.argv[2:], chunksize=1)
"""
    return [pil, "-c", code, out] + few


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


def mogrify(*args, files=None):
    return ["mogrify", "-path", out] + list(args) + (files or inputs)


def sharp(size, fit, fmt, quality, files):
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sharp.js")
    return ["env", f"NODE_PATH={os.environ.get('SHARP_MODULES', '')}", "node", script, out, size, fit, fmt,
            str(quality)] + files


sizes = [(1200, 1200, "large"), (600, 600, "medium"), (160, 160, "small")]
three_saves = [a for w, h, name in sizes for a in ("--shrink", f"{w}x{h}", "--save", name)]


jobs = {
    "(B1) trim 10 from every edge, BMP": {
        "Pixelvane": [batch, "-q", "--trim", "10", "-o", out] + inputs,
        "ImageMagick": mogrify("-shave", "10x10", "-type", "TrueColor", "-format", "bmp"),
        "libvips": xargs("vips crop {} {o}.bmp 10 10 5980 3980"),
        "Pillow": pillow("    im = im.crop((10, 10, 5990, 3990))", "bmp"),
        # The floor of a run that puts each file on the disk: dd writing the
        # same bytes, each file synced, as many at once as there are cores.
        "floor: dd conv=fdatasync": ["sh", "-c", f'seq -w {len(inputs)} | xargs -P {cores} -I {{}} dd if=/dev/zero '
                                     f'of="{out}/{{}}.bmp" bs=4M count={54 + (5980 * 3 + 3) // 4 * 4 * 3980} '
                                     'iflag=count_bytes conv=fdatasync status=none'],
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
        # sharp writes no BMP: uncompressed pixels are the nearest.
        "sharp (raw pixels)": sharp("320x240", "cover", "raw", 0, inputs),
    },
    "(B5) centre crop 1000 x 1000, JPEG quality 90": {
        "Pixelvane": [batch, "-q", "--crop", "1000x1000", "--format", "jpeg", "--quality", "90", "-o", out] + inputs,
        "libvips": xargs("vips crop {} {o}.jpg[Q=90] 2500 1500 1000 1000"),
        "Pillow": pillow("    im = im.crop((2500, 1500, 3500, 2500))", "jpg", ", quality=90"),
    },
    "(B4) 16 photos to 1200 x 1200, 600 x 600 and 160 x 160, JPEG quality 90": {
        "Pixelvane": [batch, "-q", "--format", "jpeg", "--quality", "90"] + three_saves + ["-o", out] + few,
        "Pixelvane --max-size 100k": [batch, "-q", "--format", "jpeg", "--quality", "90", "--max-size", "100k"]
                                     + three_saves + ["-o", out] + few,
        "vipsthumbnail": ["sh", "-c", " && ".join(
            f'mkdir -p "{out}/{name}" && printf "%s\\0" "$@" | xargs -0 -P {cores} -n {max(1, len(few) // cores)} '
            f'vipsthumbnail -s {w}x{h} -c -o "{out}/{name}/%s.jpg[Q=90]"' for w, h, name in sizes), "_"] + few,
        "Pillow": ["sh", "-c", " && ".join(f'mkdir -p "{out}/{name}"' for _, _, name in sizes) + ' && exec "$@"', "_"]
                  + pillow_sizes(sizes),
    },
    "(B6) shrink to 320 x 240, WebP quality 80": {
        "Pixelvane": [batch, "-q", "--shrink", "320x240", "--format", "webp", "--quality", "80", "-o", out] + inputs,
        "Pixelvane --fast": [batch, "-q", "--fast", "--shrink", "320x240", "--format", "webp", "--quality", "80", "-o", out] + inputs,
        "vipsthumbnail": vipsthumbnail("320x240", "%s.webp[Q=80]", inputs),
        "sharp": sharp("320x240", "cover", "webp", 80, inputs),
    },
    "(B7) 8 phone photos (12 MP HEIC) to 320 x 240, BMP": {
        "Pixelvane": [batch, "-q", "--shrink", "320x240", "-o", out] + heics,
        "libvips": xargs("vips thumbnail {} {o}.bmp 320 --height 240 --crop centre", heics, ".heic"),
        "ImageMagick": mogrify("-resize", "320x240^", "-gravity", "center", "-extent", "320x240", "-type", "TrueColor",
                               "-format", "bmp", files=heics),
    },
    "(B8) 16 photos fitted into 1200 x 1200, WebP quality 80": {
        "Pixelvane": [batch, "-q", "--fit", "1200x1200", "--format", "webp", "--quality", "80", "-o", out] + few,
        "Pixelvane --fast": [batch, "-q", "--fast", "--fit", "1200x1200", "--format", "webp", "--quality", "80", "-o", out]
                            + few,
        "sharp": sharp("1200x1200", "inside", "webp", 80, few),
        "vipsthumbnail": vipsthumbnail("1200x1200", "%s.webp[Q=80]", few, crop=False),
    },
    "(B9) 16 photos to 1200 x 800 by shrink, fit and pad, BMP": {
        f"Pixelvane{fast} {how}": [batch, "-q"] + ([fast.strip()] if fast else []) + how.split() + ["-o", out] + few
        for fast in ("", " --fast")
        for how in ("--shrink 1200x800", "--fit 1200x1200", "--pad 1200x800", "--pad 1200x1200")
    },
    "(B10) 8 phone photos (12 MP HEIC, 320 x 240 thumbnail) to 160 x 120, JPEG": {
        "Pixelvane --fast": [batch, "-q", "--fast", "--shrink", "160x120", "--format", "jpeg", "-o", out] + heics,
        "vipsthumbnail": vipsthumbnail("160x120", "%s.jpg", heics),
    },
    "(B3) centre crop 4000 x 3000, JPEG quality 90": {
        "Pixelvane": [batch, "-q", "--crop", "4000x3000", "--format", "jpeg", "--quality", "90", "-o", out] + inputs,
        "ImageMagick": mogrify("-gravity", "center", "-crop", "4000x3000+0+0", "+repage", "-quality", "90",
                               "-format", "jpg"),
        "libvips": xargs("vips crop {} {o}.jpg[Q=90] 1000 500 4000 3000"),
        "Pillow": pillow("    im = im.crop((1000, 500, 5000, 3500))", "jpg", ", quality=90"),
    },
}
# BASELINE_BATCH names another build's pixelvane-batch to run beside this
# one on B1, as "Pixelvane (baseline)".
if os.environ.get("BASELINE_BATCH"):
    b1 = next(job for job in jobs if job.startswith("(B1)"))
    jobs[b1] = {"Pixelvane (baseline)": [os.environ["BASELINE_BATCH"]] + jobs[b1]["Pixelvane"][1:], **jobs[b1]}
# BATCH_JOBS=B4 (a comma-separated list) runs only those jobs.
if os.environ.get("BATCH_JOBS"):
    wanted = [f"({name.strip()})" for name in os.environ["BATCH_JOBS"].split(",")]
    jobs = {job: tools for job, tools in jobs.items() if any(job.startswith(w) for w in wanted)}


# BATCH_SKIP=ImageMagick,Pillow leaves those tools out.
skip = [t for t in os.environ.get("BATCH_SKIP", "").split(",") if t]
for tools in jobs.values():
    for tool in [t for t in tools if t in skip]:
        tools.pop(tool)
only = [j for j in os.environ.get("BATCH_JOBS", "").split(",") if j]
if only:
    jobs = {job: tools for job, tools in jobs.items() if job[1:].split(")")[0] in only}
if not os.environ.get("SHARP_MODULES"):
    for tools in jobs.values():
        for tool in [t for t in tools if t.startswith("sharp")]:
            tools.pop(tool)


def pictures(job):
    return len(few) if job.startswith(("(B4)", "(B8)", "(B9)")) else len(heics) if job.startswith(("(B7)", "(B10)")) else len(inputs)


def measure(job, cmd):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    seconds, megabytes, cpu = timed_with_cpu(cmd)
    written = sum(len(files) for _, _, files in os.walk(out))
    expected = pictures(job) * (3 if job.startswith("(B4)") else 1)
    if written != expected:
        raise SystemExit(f"wrote {written} of {expected}: {' '.join(cmd[:6])} ...")
    return seconds, megabytes, cpu


# A warm-up round first: fresh memory is slow the first time it is touched.
times, memory, cpus = {}, {}, {}
for r in range(rounds + 1):
    for job, tools in jobs.items():
        for tool, cmd in rotated(tools, r):
            s, m, c = measure(job, cmd)
            print(f"round {r} {job[:4]} {tool}: {pictures(job) / s:.2f} pictures/s, {c / pictures(job):.3f} CPU s a picture",
                  file=sys.stderr)
            if r > 0:
                times.setdefault((job, tool), []).append(s)
                memory.setdefault((job, tool), []).append(m)
                cpus.setdefault((job, tool), []).append(c)
    print(f"batch round {r} of {rounds} done" if r else "batch warm-up round done", file=sys.stderr)

lines = [f"{len(inputs)} photos of 6000 x 4000 (JPEG, quality 90, each different; B4 the first 16) and "
         f"{len(heics)} phone photos of 4032 x 3024 (HEIC), {cores} cores; pictures per second (median of "
         f"{rounds} interleaved rounds after a warm-up round), the processor time a picture takes (user and "
         f"system, of every process of the run), then the peak memory of the run's largest process.", ""]
for job, tools in jobs.items():
    lines.append(f"| {job} | pictures/s | CPU s a picture | peak memory |")
    lines.append("| --- | --- | --- | --- |")
    for tool in tools:
        s = statistics.median(times[(job, tool)])
        m = statistics.median(memory[(job, tool)])
        c = statistics.median(cpus[(job, tool)])
        lines.append(f"| {tool} | {pictures(job) / s:.2f} | {c / pictures(job):.3f} | {m:.0f} MB |")
    lines.append("")
table = "\n".join(lines)
print(table)
with open(results, "a") as f:
    f.write("\n## Batch jobs\n\n" + table)
