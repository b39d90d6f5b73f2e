#!/usr/bin/env bash
# pixelvane-batch and the window's save on other file systems: exFAT through
# FUSE (no RENAME_NOREPLACE, no hard links, names that differ only by case
# are one), bindfs (FUSE without RENAME_NOREPLACE), tmpfs, sshfs (SFTP, here
# without a network: sftp-server on its standard input and output), and
# ext4 shut down mid-run as a power failure would leave it. On each, a
# rerun decides by the outputs' records where the file system keeps user
# extended attributes (tried with setfattr), and by name where it keeps none. Needs root and loop devices;
# where the machine has neither, it says so and is skipped (status 77).
set -uo pipefail
build=$1
batch=$build/pixelvane-batch
scenario=$build/pixelvane-scenario
work=$(mktemp -d)
mounts=()
loops=()
cleanup() {
    for m in "${mounts[@]}"; do fusermount -u "$m" 2>/dev/null || umount "$m" 2>/dev/null; done
    for l in "${loops[@]}"; do losetup -d "$l" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
[ "$(id -u)" -eq 0 ] || skip "needs root to mount file systems"
for tool in losetup mkfs.exfat mount.exfat-fuse bindfs fusermount mkfs.ext4 python3 setfattr sshfs; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
[ -e /dev/fuse ] || skip "no /dev/fuse"

# Pictures: a.bmp and A.bmp differ, so that one replacing the other shows.
mkdir -p "$work/in" "$work/case"
python3 - "$work" <<'PY'
import struct, sys, zlib
def bmp(path, w, h, seed):
    stride = (w * 3 + 3) & ~3
    rows = b''.join(bytes(v for x in range(w) for v in ((x * 7 + y * 3 + seed) & 255, (x + seed) & 255, (y * 5) & 255)) +
                    b'\0' * (stride - 3 * w) for y in range(h))
    header = b'BM' + struct.pack('<IHHI', 54 + len(rows), 0, 0, 54)
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(rows), 3780, 3780, 0, 0)
    open(path, 'wb').write(header + info + rows)
work = sys.argv[1]
for i in range(8):
    bmp(f'{work}/in/p{i}.bmp', 800, 600, i)
bmp(f'{work}/case/a.bmp', 30, 20, 1)
bmp(f'{work}/case/A.bmp', 40, 20, 2)
PY

# A second run with other steps: made again by the record where the file
# system keeps user extended attributes, skipped as an existing file where
# it keeps none; a third run with the same steps finds the output current.
record_check() { # name folder
    local name=$1 at=$2 keeps=no
    : > "$at/.xattr-probe" && setfattr -n user.pixelvane.probe -v 1 "$at/.xattr-probe" 2>/dev/null && keeps=yes
    rm -f "$at/.xattr-probe"
    "$batch" -q --trim 2 -o "$at/rerun" "$work/in/p1.bmp" || fail "$name: writing failed"
    "$batch" -q --trim 3 --report "$work/rerun.jsonl" -o "$at/rerun" "$work/in/p1.bmp" || fail "$name: a rerun failed"
    if [ $keeps = yes ]; then
        grep -q 'made again: its steps changed' "$work/rerun.jsonl" || fail "$name: the record was not kept: $(cat "$work/rerun.jsonl")"
        "$batch" -q --trim 3 --report "$work/rerun.jsonl" -o "$at/rerun" "$work/in/p1.bmp" || fail "$name: a third run failed"
        grep -q 'the output is up to date' "$work/rerun.jsonl" || fail "$name: a current output not found current"
        echo "$name: keeps the record; a rerun makes again what changed and skips what is current"
    else
        grep -q '"the output exists"' "$work/rerun.jsonl" || fail "$name: without a record, an output was not skipped"
        echo "$name: keeps no record (no user extended attributes); a rerun skips every output that exists"
    fi
    ls -a "$at/rerun" | grep -q pvtmp && fail "$name: a temporary file was left"
    return 0
}

loop_image() { # size file -> loop device
    truncate -s "$1" "$2"
    losetup -f --show "$2" 2>/dev/null
}

# exFAT through FUSE.
dev=$(loop_image 64M "$work/exfat.img") || skip "cannot set up a loop device"
[ -n "$dev" ] || skip "cannot set up a loop device"
loops+=("$dev")
mkfs.exfat "$dev" >/dev/null 2>&1 || skip "mkfs.exfat failed"
mkdir -p "$work/exfat"
mount.exfat-fuse "$dev" "$work/exfat" >/dev/null 2>&1 || skip "cannot mount exFAT through FUSE here"
mounts+=("$work/exfat")
"$batch" -q -o "$work/exfat/out" "$work/in" || fail "exFAT: writing failed"
[ "$(ls "$work/exfat/out" | wc -l)" -eq 8 ] || fail "exFAT: not every picture written"
"$batch" -q -o "$work/exfat/out" "$work/in" || fail "exFAT: a rerun failed"
out=$("$batch" -q --report "$work/exfat/r.jsonl" -o "$work/exfat/case" "$work/case/A.bmp" "$work/case/a.bmp" 2>&1)
[ $? -eq 1 ] || fail "exFAT: a.bmp and A.bmp both reported written: $out"
grep -q '"status":"refused"' "$work/exfat/r.jsonl" || fail "exFAT: the second of a.bmp and A.bmp not refused"
out=$("$batch" -q --overwrite -o "$work/exfat/case2" "$work/case/A.bmp" "$work/case/a.bmp" 2>&1)
[ $? -eq 1 ] || fail "exFAT: --overwrite let A.bmp replace a.bmp: $out"
ls -a "$work/exfat/out" "$work/exfat/case" | grep -q pvtmp && fail "exFAT: a temporary file was left"
echo "exFAT through FUSE: outputs written without RENAME_NOREPLACE; a.bmp and A.bmp kept apart"
record_check "exFAT through FUSE" "$work/exfat"

# bindfs.
mkdir -p "$work/bound-src" "$work/bound"
bindfs "$work/bound-src" "$work/bound" 2>/dev/null || skip "cannot mount bindfs here"
mounts+=("$work/bound")
"$batch" -q -o "$work/bound/out" "$work/in" || fail "bindfs: writing failed"
[ "$(ls "$work/bound/out" | wc -l)" -eq 8 ] || fail "bindfs: not every picture written"
echo "bindfs: outputs written"
record_check bindfs "$work/bound"

# tmpfs.
mkdir -p "$work/tmpfs"
mount -t tmpfs -o size=64m pixelvane "$work/tmpfs" 2>/dev/null || skip "cannot mount tmpfs here"
mounts+=("$work/tmpfs")
record_check tmpfs "$work/tmpfs"

# sshfs, through an SFTP server on a pipe instead of a network.
mkdir -p "$work/sftp-src" "$work/sftp"
printf '#!/bin/sh\nexec /usr/lib/openssh/sftp-server\n' > "$work/sftp-server.sh"
chmod +x "$work/sftp-server.sh"
[ -x /usr/lib/openssh/sftp-server ] || skip "no sftp-server"
sshfs -o ssh_command="$work/sftp-server.sh" "pipe:$work/sftp-src" "$work/sftp" 2>/dev/null || skip "cannot mount sshfs here"
mounts+=("$work/sftp")
"$batch" -q -o "$work/sftp/out" "$work/in" || fail "sshfs: writing failed"
[ "$(ls "$work/sftp/out" | wc -l)" -eq 8 ] || fail "sshfs: not every picture written"
record_check sshfs "$work/sftp"

# ext4, shut down as by a power failure right after the run and after a save.
dev=$(loop_image 256M "$work/ext4.img") || skip "cannot set up a loop device"
loops+=("$dev")
mkfs.ext4 -q "$dev" || skip "mkfs.ext4 failed"
mkdir -p "$work/ext4"
mount "$dev" "$work/ext4" 2>/dev/null || skip "cannot mount ext4 here"
mounts+=("$work/ext4")
shutdown_fs() { # as a power cut: nothing more reaches the disk, not even the journal
    python3 -c "import fcntl, os, sys; fd = os.open(sys.argv[1], os.O_RDONLY); fcntl.ioctl(fd, 0x8004587D, b'\x02\0\0\0')" "$1"
}
"$batch" -q -o "$work/ext4/out" "$work/in" || fail "ext4: writing failed"
printf '{"do":"answer","open":"%s"}\n{"do":"click","control":"mnuOpen"}\n{"do":"answer","save":"%s"}\n{"do":"click","control":"mnuSave"}\n' \
    "$work/in/p0.bmp" "$work/ext4/saved.bmp" | QT_QPA_PLATFORM=offscreen "$scenario" --no-digest >/dev/null
shutdown_fs "$work/ext4" || skip "this kernel cannot shut ext4 down"
umount "$work/ext4" || fail "ext4: cannot unmount"
# The kernel lets go of the shut-down file system after umount returns.
for _ in $(seq 100); do [ -e "/proc/fs/ext4/$(basename "$dev")" ] || break; sleep 0.1; done
mount "$dev" "$work/ext4" || fail "ext4: cannot mount again"
for f in "$work"/ext4/out/*.bmp "$work/ext4/saved.bmp"; do
    [ -s "$f" ] || fail "ext4: $(basename "$f") is empty after the power cut"
    cmp -s "$f" "$work/in/$(basename "$f" | sed 's/saved/p0/')" || fail "ext4: $(basename "$f") damaged by the power cut"
done
[ "$(ls "$work/ext4/out" | wc -l)" -eq 8 ] || fail "ext4: pictures reported written are gone after the power cut"
"$batch" -q --report "$work/after.jsonl" -o "$work/ext4/out" "$work/in" 2>/dev/null || fail "ext4: a rerun after the power cut failed"
[ "$(grep -c 'the output is up to date' "$work/after.jsonl")" -eq 8 ] || fail "ext4: records lost in the power cut"
echo "ext4 after a power cut: every picture reported written, and the window's new file, complete", with their records
record_check ext4 "$work/ext4"
