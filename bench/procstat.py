# SPDX-License-Identifier: GPL-2.0-or-later
"""CPU time and proportional memory of a process and everything below it, from /proc."""
import os

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def family(root_pid):
    """root_pid and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as stat:
                    parent = int(stat.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(parent, []).append(int(entry))
            except OSError:
                pass
    found, todo = [], [root_pid]
    while todo:
        pid = todo.pop()
        found.append(pid)
        todo.extend(children.get(pid, []))
    return found


def _sum_over(pids, path, read):
    """Sum of read(file) over /proc/PID/path of each process still there."""
    total = 0
    for pid in pids:
        try:
            with open("/proc/%d/%s" % (pid, path)) as proc_file:
                total += read(proc_file)
        except OSError:
            pass
    return total


def pss_kib(pids):
    return _sum_over(pids, "smaps_rollup",
                     lambda rollup: sum(int(line.split()[1]) for line in rollup if line.startswith("Pss:")))


def private_kib(pids):
    """Memory that is the processes' own (USS): unlike PSS, it does not move when other programs map the same
    libraries."""
    return _sum_over(pids, "smaps_rollup", lambda rollup: sum(
        int(line.split()[1]) for line in rollup if line.startswith(("Private_Clean:", "Private_Dirty:"))))


def anonymous_kib(pids):
    """Anonymous memory (heap and other anonymous mappings): what a leak grows. Unlike private memory, it leaves
    out the pages of mapped libraries, which grow as more of their code is used and which reclaim may drop."""
    return _sum_over(pids, "smaps_rollup",
                     lambda rollup: sum(int(line.split()[1]) for line in rollup if line.startswith("Anonymous:")))


def cpu_seconds(pids):
    """User and system time, in seconds."""

    def ticks(stat):
        fields = stat.read().rsplit(")", 1)[1].split()
        return int(fields[11]) + int(fields[12])

    return _sum_over(pids, "stat", ticks) / CLOCK_TICKS
