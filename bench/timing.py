"""What both comparison scripts measure: one command as a whole process."""
import os
import subprocess
import time


def timed(cmd):
    """Runs cmd; returns its seconds and its peak resident memory in MB (of
    its largest process). A failed command ends the benchmark."""
    seconds, megabytes, _ = timed_with_cpu(cmd)
    return seconds, megabytes


def timed_with_cpu(cmd):
    """The same, and the processor seconds (user and system) that it and
    every process it waited for used: on a machine that others share, the
    figure their load changes least."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"failed ({status}): {' '.join(cmd[:8])}")
    return seconds, usage.ru_maxrss / 1024.0, usage.ru_utime + usage.ru_stime


def rotated(tools, round_index):
    """The tools of a task, each round starting with another one, so that
    none always runs right after the same neighbour."""
    order = list(tools.items())
    k = round_index % len(order)
    return order[k:] + order[:k]
