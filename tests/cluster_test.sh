#!/usr/bin/env bash
# The README's recipes for more than one machine, run as they stand: GNU
# parallel over ssh to two hosts (network namespaces, each running its own
# sshd on its loopback address), with a shared folder and without one, and a
# Slurm job array on one node (munged, slurmctld and slurmd started here, in
# the foreground, as this script's children, in a network namespace of their
# own), with one task killed part-way and submitted again; sbatch waits for
# the array through SBATCH_WAIT, its --wait, so that the command stays the
# README's. The recipes are taken from README.md itself; only the
# host names and the paths are replaced. Every output must be byte for byte
# what one run on this machine writes. Needs root, network namespaces and the
# test packages of build.sh; where the machine lacks them it says so and is
# skipped (status 77). No traffic leaves the loopback range.
set -uo pipefail
build=$(cd "$1" && pwd)
readme=$(cd "$(dirname "$0")/.." && pwd)/README.md
work=$(mktemp -d)
id=$$
hosts=(pixelvane-host1-$id pixelvane-host2-$id)
cluster=pixelvane-slurm-$id
namespaces=()
daemons=()
fuse=
submitted=
cleanup() {
    [ -n "$fuse" ] && kill -CONT "$fuse" 2>/dev/null
    [ -n "$submitted" ] && kill "$submitted" 2>/dev/null
    if [ -n "${SLURM_CONF:-}" ] && [ -e "$SLURM_CONF" ]; then
        ip netns exec "$cluster" scancel --quiet --user=root 2>/dev/null
        for try in $(seq 100); do
            [ -z "$(ip netns exec "$cluster" squeue -h 2>/dev/null)" ] && break
            sleep 0.1
        done
    fi
    for ((i = ${#daemons[@]} - 1; i >= 0; i--)); do kill "${daemons[i]}" 2>/dev/null; done
    for p in "${daemons[@]}"; do wait "$p" 2>/dev/null; done
    # What the daemons started and left, such as a job step that lost its slurmd.
    for n in "${namespaces[@]}"; do
        for p in $(ip netns pids "$n" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
    done
    if [ -n "$fuse" ]; then
        fusermount -u -z "$work/slowfs" 2>/dev/null
        kill "$fuse" 2>/dev/null
        wait "$fuse" 2>/dev/null
    fi
    for n in "${namespaces[@]}"; do ip netns delete "$n" 2>/dev/null; done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
skip() { echo "SKIP: $*"; exit 77; }
logs=()
fail() {
    echo "FAIL: $*"
    for f in "${logs[@]}"; do [ -s "$f" ] && { echo "== $f"; tail -n 15 "$f"; }; done
    exit 1
}
[ "$(id -u)" -eq 0 ] || skip "needs root for network namespaces and daemons"
for tool in ip timeout python3 bindfs fusermount ssh ssh-keygen /usr/sbin/sshd parallel rsync munged slurmctld slurmd sbatch squeue scancel sinfo; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
export LC_ALL=C

# The recipes: the sh blocks of the README's "Beyond one machine".
awk '/^### Beyond one machine/ { on = 1; next } on && /^##/ { exit }
     on && /^```sh$/ { n++; inside = 1; next } inside && /^```$/ { inside = 0; next }
     inside { print > (dir "/recipe" n ".sh") }' dir="$work" "$readme"
shared_recipe=$work/recipe1.sh private_recipe=$work/recipe2.sh slurm_recipe=$work/recipe3.sh
grep -q -- '--sshlogin host1,host2,host3 ' "$shared_recipe" && grep -q '/shared/' "$shared_recipe" ||
    fail "README: the first recipe is not the shared-folder one over host1,host2,host3"
grep -q -- '--sshlogin host1,host2 --transferfile' "$private_recipe" ||
    fail "README: the second recipe is not the one without a shared folder over host1,host2"
grep -q -- '^sbatch --array=0-15 ' "$slurm_recipe" && grep -q '/shared/' "$slurm_recipe" ||
    fail "README: the third recipe is not the Slurm job array"
# Only the host names and the paths change.
sed -i -e 's/--sshlogin host1,host2,host3 /--sshlogin "$SSHLOGINS" /' -e 's/--sshlogin host1,host2 /--sshlogin "$SSHLOGINS" /' \
    -e "s|/shared/|$work/shared/|g" "$shared_recipe" "$private_recipe" "$slurm_recipe"
! grep -q 'host[0-9]\| /shared/' "$shared_recipe" "$private_recipe" "$slurm_recipe" || fail "README: a recipe names other hosts"

mkdir -p "$work/bin" "$work/gen" "$work/shared" "$work/private"
ln -s "$build/pixelvane-batch" "$work/bin/pixelvane-batch"
export PATH="$work/bin:$PATH" HOME="$work/home"
mkdir -p "$HOME"

# 40 JPEGs of a few sizes; the one-machine run is the reference.
python3 - "$work/gen" <<'PY'
import struct, sys
for i in range(40):
    w, h = 400 + 13 * (i % 7), 300 + 11 * (i % 5)
    stride = (w * 3 + 3) & ~3
    base = bytes((k * (i + 3) + (k // 3) * 7) & 255 for k in range(w * 3 + 768))
    rows = b''.join(base[(y * (i + 1) * 3) % 768:][:w * 3] + b'\0' * (stride - 3 * w) for y in range(h))
    info = struct.pack('<IiiHHIIiiII', 40, w, h, 1, 24, 0, len(rows), 3780, 3780, 0, 0)
    with open(f'{sys.argv[1]}/p{i:02}.bmp', 'wb') as f:
        f.write(b'BM' + struct.pack('<IHHI', 54 + len(rows), 0, 0, 54) + info + rows)
PY
pixelvane-batch -q --format jpeg -o "$work/shared/shop" "$work/gen" 2>/dev/null || fail "cannot make the JPEGs"
# p22.jpg is read through bindfs, which is stopped to hold the Slurm task that
# opens it (the kernel keeps the file's attributes, so only the open waits).
mkdir -p "$work/slow" "$work/slowfs"
mv "$work/shared/shop/p22.jpg" "$work/slow/"
bindfs -f -o entry_timeout=3600,attr_timeout=3600 "$work/slow" "$work/slowfs" 2>"$work/bindfs.log" &
fuse=$!
for try in $(seq 100); do
    [ -e "$work/slowfs/p22.jpg" ] && break
    kill -0 "$fuse" 2>/dev/null || skip "cannot mount bindfs here: $(tail -n1 "$work/bindfs.log")"
    sleep 0.1
done
ln -s "$work/slowfs/p22.jpg" "$work/shared/shop/p22.jpg"
pixelvane-batch -q --shrink 320x240 -o "$work/reference" "$work/shared/shop" 2>/dev/null || fail "the run on one machine failed"
count=$(ls "$work"/reference/*.bmp 2>/dev/null | wc -l)
[ "$count" -eq 40 ] || fail "the run on one machine wrote $count pictures, not 40"
same_as_reference() { # folder what [pictures]
    local n f
    n=$(ls "$1"/*.bmp 2>/dev/null | wc -l)
    [ "$n" -eq "${3:-$count}" ] || fail "$2: $n pictures in the output folder, not ${3:-$count}"
    for f in "$1"/*.bmp; do
        cmp -s "$f" "$work/reference/${f##*/}" || fail "$2: ${f##*/} differs from the run on one machine"
    done
    ! ls -A "$1" | grep -q pvtmp || fail "$2: a temporary file was left in the output folder"
}

# Two hosts, each a network namespace with only its loopback, its own /root
# (a private folder) and an sshd on 127.0.0.1 that gives sessions a PATH that
# finds pixelvane-batch, through a wrapper that notes the pictures it was
# given on that host.
mkdir -p "$work/ssh"
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/host_key" || fail "ssh-keygen failed"
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/key" || fail "ssh-keygen failed"
cp "$work/ssh/key.pub" "$work/ssh/authorized_keys"
for h in "${hosts[@]}"; do
    mkdir -p "$work/ssh/$h"
    printf '#!/bin/sh\nfor a; do case $a in *.jpg) echo "$a";; esac; done >> %s\nexec %s "$@"\n' \
        "$work/ssh/$h/pictures" "$build/pixelvane-batch" > "$work/ssh/$h/pixelvane-batch"
    chmod +x "$work/ssh/$h/pixelvane-batch"
    cat > "$work/ssh/$h/sshd_config" <<EOF
ListenAddress 127.0.0.1
HostKey $work/ssh/host_key
AuthorizedKeysFile $work/ssh/authorized_keys
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
StrictModes no
PidFile none
SetEnv PATH=$work/ssh/$h:$PATH
EOF
done
logins=()
for h in "${hosts[@]}"; do
    ip netns add "$h" 2>/dev/null || skip "the kernel refuses network namespaces here"
    namespaces+=("$h")
    ip -n "$h" link set lo up || skip "cannot bring up a namespace's loopback"
    ip netns exec "$h" sh -c 'mount -t tmpfs -o mode=755 tmpfs /run && mkdir /run/sshd &&
        mount -t tmpfs -o mode=700 tmpfs /root && exec /usr/sbin/sshd -D -e -f "$1"' sh "$work/ssh/$h/sshd_config" \
        >"$work/ssh/$h/log" 2>&1 &
    daemons+=($!)
    logins+=("ip netns exec $h ssh -F /dev/null -i $work/ssh/key -o BatchMode=yes -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -o KexAlgorithms=curve25519-sha256 root@127.0.0.1")
done
for i in "${!hosts[@]}"; do
    for try in $(seq 100); do
        ${logins[i]} true 2>/dev/null && break
        kill -0 "${daemons[i]}" 2>/dev/null || skip "sshd cannot start here: $(tail -n1 "$work/ssh/${hosts[i]}/log")"
        sleep 0.1
    done
    ${logins[i]} true || skip "sshd in ${hosts[i]} does not answer"
done
SSHLOGINS=$(IFS=,; echo "${logins[*]}")
export SSHLOGINS
${logins[0]} 'touch mine' && ${logins[1]} '[ ! -e mine ]' && [ ! -e /root/mine ] ||
    fail "the hosts' folders are not their own"
${logins[0]} 'rm mine'

# Each picture was given to pixelvane-batch once, on one of the hosts, and
# each host had some.
given_once() { # what pictures...
    local what=$1 h
    shift
    for h in "${hosts[@]}"; do
        [ -s "$work/ssh/$h/pictures" ] || fail "$what: $h ran nothing"
    done
    cat "$work"/ssh/*/pictures | sort > "$work/given"
    printf '%s\n' "$@" | sort | diff - "$work/given" >/dev/null ||
        fail "$what: the pictures given on the hosts are not each picture once: $(tr '\n' ' ' < "$work/given")"
    rm "$work"/ssh/*/pictures
}

# GNU parallel, a folder every host sees.
logs=("$work/shared.log" "$work"/ssh/*/log)
timeout 300 bash "$shared_recipe" >"$work/shared.log" 2>&1 || fail "the shared-folder recipe failed (status $?)"
same_as_reference "$work/shared/thumbs" "parallel over ssh, shared folder"
given_once "parallel over ssh, shared folder" "$work"/shared/shop/*.jpg
mv "$work/shared/thumbs" "$work/thumbs-parallel"
echo "GNU parallel over ssh to two hosts, shared folder: every picture as on one machine"

# GNU parallel, no shared folder: the pictures go to each host's own folder
# and the results come back.
mkdir "$work/private/shop" && cp -L "$work"/shared/shop/p0[0-7].jpg "$work/private/shop/"
logs=("$work/private.log" "$work"/ssh/*/log)
(cd "$work/private" && timeout 300 bash "$private_recipe") >"$work/private.log" 2>&1 ||
    fail "the recipe without a shared folder failed (status $?)"
same_as_reference "$work/private/thumbs" "parallel over ssh, no shared folder" 8
given_once "parallel over ssh, no shared folder" shop/p0{0..7}.jpg
for i in "${!hosts[@]}"; do
    left=$(${logins[i]} 'find . -name "*.jpg" -o -name "*.bmp"')
    [ -z "$left" ] || fail "--cleanup left files on ${hosts[i]}: $left"
done
echo "GNU parallel over ssh to two hosts, pictures carried there and back: every picture as on one machine"

# Slurm: one node in its own network namespace, with munge.
ip netns add "$cluster" 2>/dev/null || skip "the kernel refuses network namespaces here"
namespaces+=("$cluster")
ip -n "$cluster" link set lo up || skip "cannot bring up a namespace's loopback"
# An address besides 127.0.0.1, so that getaddrinfo's AI_ADDRCONFIG sees IPv4.
ip -n "$cluster" addr add 127.0.0.2/8 dev lo || skip "cannot add a loopback address"
mkdir -p "$work/munge" "$work/slurm/state" "$work/slurm/spool" "$work/submit"
chmod 755 "$work" "$work/munge"
head -c 1024 /dev/urandom > "$work/munge/key" && chmod 400 "$work/munge/key"
ip netns exec "$cluster" munged -F --key-file="$work/munge/key" --socket="$work/munge/socket" \
    --pid-file="$work/munge/pid" --log-file="$work/munge/log" --seed-file="$work/munge/seed" \
    >"$work/munge/out" 2>&1 &
daemons+=($!)
export SLURM_CONF=$work/slurm/slurm.conf
cat > "$SLURM_CONF" <<EOF
ClusterName=pixelvane
SlurmctldHost=localhost(127.0.0.2)
SlurmUser=root
AuthType=auth/munge
AuthInfo=socket=$work/munge/socket
CredType=cred/munge
StateSaveLocation=$work/slurm/state
SlurmdSpoolDir=$work/slurm/spool
SlurmctldPidFile=$work/slurm/slurmctld.pid
SlurmdPidFile=$work/slurm/slurmd.pid
MailProg=/bin/true
ProctrackType=proctrack/pgid
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
JobCompType=jobcomp/none
MpiDefault=none
SwitchType=switch/none
SchedulerType=sched/builtin
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
SlurmdParameters=config_overrides
ReturnToService=2
KillWait=2
NodeName=node1 NodeAddr=127.0.0.2 CPUs=128 State=UNKNOWN
PartitionName=main Nodes=node1 Default=YES MaxTime=INFINITE State=UP
EOF
echo 'CgroupPlugin=cgroup/v1' > "$work/slurm/cgroup.conf"
for try in $(seq 100); do
    [ -S "$work/munge/socket" ] && break
    kill -0 "${daemons[-1]}" 2>/dev/null || skip "munged cannot start here: $(tail -n1 "$work/munge/out")"
    sleep 0.1
done
logs=("$work/slurm/slurmctld.log" "$work/slurm/slurmd.log")
ip netns exec "$cluster" slurmctld -D -f "$SLURM_CONF" >"$work/slurm/slurmctld.log" 2>&1 &
daemons+=($!)
ip netns exec "$cluster" slurmd -D -N node1 -f "$SLURM_CONF" >"$work/slurm/slurmd.log" 2>&1 &
daemons+=($!)
for try in $(seq 300); do
    [ "$(ip netns exec "$cluster" sinfo -h -n node1 -o %T 2>/dev/null)" = idle ] && break
    kill -0 "${daemons[-2]}" 2>/dev/null || skip "slurmctld cannot start here: $(tail -n1 "$work/slurm/slurmctld.log")"
    kill -0 "${daemons[-1]}" 2>/dev/null || skip "slurmd cannot start here: $(tail -n1 "$work/slurm/slurmd.log")"
    sleep 0.1
done
[ "$(ip netns exec "$cluster" sinfo -h -n node1 -o %T)" = idle ] || skip "the Slurm node did not come up"

# The job array. Task 7's second picture lies on a FUSE mount whose daemon is
# stopped, so that opening it waits; the task is killed there, once it has
# reported its first.
slice=($(find "$work/shared/shop" -name '*.jpg' | sort | awk 'NR % 16 == 7'))
[ ${#slice[@]} -eq 3 ] && [ -L "${slice[1]}" ] || fail "task 7 would not get the held picture second of three"
stat "$(readlink "${slice[1]}")" >/dev/null || fail "the held picture is not there"
kill -STOP "$fuse" || fail "cannot stop bindfs"
logs+=("$work/slurm1.log" "$work/slurm2.log")
cd "$work/submit" || fail "no folder to submit from"
SBATCH_WAIT=1 timeout 300 ip netns exec "$cluster" bash "$slurm_recipe" >"$work/slurm1.log" 2>&1 &
submitted=$!
report7=$work/submit/report-7.jsonl
for try in $(seq 1200); do
    [ -s "$report7" ] && break
    kill -0 "$submitted" 2>/dev/null || fail "the job array ended while task 7 was held"
    sleep 0.1
done
[ -s "$report7" ] || fail "task 7 reported nothing"
job=$(sed -n 's/^Submitted batch job \([0-9]*\)$/\1/p' "$work/slurm1.log")
[ -n "$job" ] || fail "sbatch did not say which job it submitted"
ip netns exec "$cluster" scancel "${job}_7" || fail "scancel failed"
for try in $(seq 1200); do
    kill -0 "$submitted" 2>/dev/null || break
    sleep 0.1
done
kill -0 "$submitted" 2>/dev/null && fail "the job array did not end after task 7 was killed"
wait "$submitted" && fail "sbatch --wait reported success although task 7 was killed"
submitted=
for try in $(seq 300); do
    [ -z "$(ip netns exec "$cluster" squeue -h -t R,CG -j "$job")" ] && break
    sleep 0.1
done
[ -z "$(ip netns exec "$cluster" squeue -h -t R,CG -j "$job")" ] || fail "task 7 did not end when cancelled"
kill -CONT "$fuse"
[ ! -e "$work/shared/thumbs/$(basename "${slice[1]}" .jpg).bmp" ] || fail "task 7 wrote the picture it was killed at"
mkdir "$work/first" && cp "$work"/submit/report-*.jsonl "$work/first/"
stat -c '%n %i %y' "$work"/shared/thumbs/*.bmp > "$work/before-rerun"

# Submitted again alone, as the README says.
sed -n '/^sbatch /,$p' "$slurm_recipe" | sed 's/--array=0-15 /--array=7 /' > "$work/rerun.sh"
grep -q -- '--array=7 ' "$work/rerun.sh" || fail "cannot make the command that submits task 7 again"
SBATCH_WAIT=1 timeout 300 ip netns exec "$cluster" bash "$work/rerun.sh" >"$work/slurm2.log" 2>&1 ||
    fail "task 7 submitted again did not succeed (status $?)"
same_as_reference "$work/shared/thumbs" "Slurm job array"
stat -c '%n %i %y' "$work"/shared/thumbs/*.bmp > "$work/after-rerun"
python3 - "$work/first" "$work/submit" "$work/before-rerun" "$work/after-rerun" <<'PY' || fail "Slurm job array: the reports are wrong"
import json, os, sys
first, final, before, after = sys.argv[1:]
names = open(f'{final}/list.txt').read().splitlines()
if len(names) != 40:
    sys.exit(f'list.txt holds {len(names)} pictures, not 40')
slices = [[name for n, name in enumerate(names, 1) if n % 16 == task] for task in range(16)]
task7 = slices[7]
def report(folder, task):
    path = f'{folder}/report-{task}.jsonl'
    if not os.path.exists(path):
        sys.exit(f'task {task} left no report in {folder}')
    return [json.loads(line) for line in open(path)]
def fault(message):
    print(message)
    sys.exit(1)
written = {}
for task in range(16):
    lines = report(first, task)
    for line in lines:
        if line['status'] != 'written':
            fault(f'task {task} reported {line["input"]} {line["status"]}: {line["reason"]}')
        written[line['output']] = written.get(line['output'], 0) + 1
    if task != 7 and [line['input'] for line in lines] != slices[task]:
        fault(f'task {task} reported {[line["input"] for line in lines]}, not its slice {slices[task]}')
killed = report(first, 7)
if [line['input'] for line in killed] != task7[:1]:
    fault(f'task 7, killed at its second picture, reported {[line["input"] for line in killed]}')
stamps = dict(line.split(' ', 1) for line in open(before))
again = report(final, 7)
if [line['input'] for line in again] != task7:
    fault(f'task 7 submitted again reported {[line["input"] for line in again]}')
for line in again:
    had = line['output'] in stamps
    if line['status'] != ('skipped' if had else 'written'):
        fault(f'task 7 submitted again: {line["input"]} {line["status"]}, its output {"existed" if had else "did not exist"}')
    # What the killed task wrote but did not live to report counts as its writing.
    if line['status'] == 'written' or line['output'] not in written:
        written[line['output']] = written.get(line['output'], 0) + 1
now = dict(line.split(' ', 1) for line in open(after))
for name, stamp in stamps.items():
    if now.get(name) != stamp:
        fault(f'{name}, written before task 7 was submitted again, was written again')
if sorted(written.values()) != [1] * 40:
    fault(f'not every picture written exactly once: {sorted(written.items())}')
PY
echo "Slurm job array: every picture written once, one report per task; task 7 killed part-way and submitted again skipped what it had written"
