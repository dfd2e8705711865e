#!/usr/bin/env python3
"""Where the guest's processor time goes during a test run: samples /proc until told to stop.

Usage: profile.py OUT. Every SAMPLE_PERIOD_S it reads each process's processor time so
far; on SIGTERM it writes to OUT the processor seconds, process count and longest
lifetime per program, the largest first. A Wine process is named by its Windows
program (services.exe, msiexec.exe, Vexaclkd.exe), a Linux one by its executable.
A second table sums the Wine processes per prefix (its wineserver included), which
is per group of tests.
A process's last sample counts: what it used after that, up to a period, is missed;
of a process already running at the first sample, only what it used since.
"""
import os
import signal
import sys
import time

SAMPLE_PERIOD_S = 0.5
TICKS_PER_S = os.sysconf("SC_CLK_TCK")


def program_of(pid):
    """The program a process runs, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            args = [a.decode(errors="replace") for a in f.read().split(b"\0") if a]
    except OSError:
        return None
    if not args:
        return None
    # Wine shows the Windows command line: "C:\windows\system32\services.exe",
    # or the loader first, then the program.
    for arg in args[:2]:
        name = arg.replace("\\", "/").rsplit("/", 1)[-1]
        if name.lower().endswith((".exe", ".com")):
            return name
    first = args[0].rsplit("/", 1)[-1]
    if first in ("bash", "sh", "python3", "env") and len(args) > 1:
        return f"{first} {args[1].rsplit('/', 1)[-1]}"
    return first


def prefix_of(pid):
    """The Wine prefix a process runs in (its WINEPREFIX's last two parts), or "-"."""
    try:
        with open(f"/proc/{pid}/environ", "rb") as f:
            for var in f.read().split(b"\0"):
                if var.startswith(b"WINEPREFIX="):
                    return "/".join(var[11:].decode(errors="replace").rstrip("/").split("/")[-2:])
    except OSError:
        pass
    return "-"


def times_of(pid):
    """A process's processor ticks so far and its start time, or None when it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    # utime, stime and starttime: fields 14, 15 and 22 of stat, counted after the
    # closing parenthesis of the command name.
    return int(fields[11]) + int(fields[12]), fields[19]


def cpu_totals():
    """The whole system's processor ticks so far per kind (the "cpu" line of /proc/stat)."""
    with open("/proc/stat") as f:
        fields = f.readline().split()
    kinds = ("user", "nice", "system", "idle", "iowait", "irq", "softirq", "steal")
    return dict(zip(kinds, (int(v) for v in fields[1:9])))


def main():
    out = sys.argv[1]
    seen = {}  # (pid, start time) -> [program, ticks, first seen, last seen, prefix]
    before = {}  # what the processes already running had used before the first sample
    first_sample = True
    stopping = []
    signal.signal(signal.SIGTERM, lambda *_: stopping.append(True))
    started = time.monotonic()
    system_before = cpu_totals()
    while not stopping:
        now = time.monotonic() - started
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            times = times_of(entry)
            if times is None:
                continue
            ticks, start = times
            key = (entry, start)
            record = seen.get(key)
            if record is None:
                program = program_of(entry)
                if program is None:
                    continue
                record = seen[key] = [program, ticks, now, now, prefix_of(entry)]
                if first_sample:
                    before[key] = ticks
            record[1] = ticks - before.get(key, 0)
            record[3] = now
        first_sample = False
        time.sleep(SAMPLE_PERIOD_S)

    system_after = cpu_totals()
    totals = {}
    prefixes = {}
    for program, ticks, first, last, prefix in seen.values():
        total = totals.setdefault(program, [0, 0, 0.0])
        total[0] += ticks
        total[1] += 1
        total[2] = max(total[2], last - first)
        if prefix != "-":
            per_prefix = prefixes.setdefault(prefix, [0, 0])
            per_prefix[0] += ticks
            per_prefix[1] += 1
    with open(out, "w") as f:
        f.write(f"# {time.monotonic() - started:.0f} s sampled; all processors, s: ")
        f.write(" ".join(f"{kind} {(system_after[kind] - system_before[kind]) / TICKS_PER_S:.0f}"
                         for kind in system_after) + "\n")
        f.write("# processor s, processes, longest life s, program\n")
        for program, (ticks, count, longest) in sorted(totals.items(), key=lambda t: -t[1][0]):
            f.write(f"{ticks / TICKS_PER_S:9.1f} {count:6d} {longest:8.1f}  {program}\n")
        f.write("\n# per Wine prefix: processor s, processes, prefix\n")
        for prefix, (ticks, count) in sorted(prefixes.items(), key=lambda t: -t[1][0]):
            f.write(f"{ticks / TICKS_PER_S:9.1f} {count:6d}  {prefix}\n")


if __name__ == "__main__":
    main()
