"""Reads the simulators' records as the test tools print them: board ops, clock calls, key=value lines."""
import os

# The service's pause after each press it handles, as the readers of the records need it.
STEP_PAUSE_MS = 600
DEFAULT_QPC_FREQUENCY = 10000000  # Wine counts QueryPerformanceCounter in 100 ns units


class BoardOp:
    """One line of "boardtool ops": seq, kind, port, value, hi, QueryPerformanceCounter."""

    def __init__(self, line):
        f = line.split()
        self.seq, self.kind = int(f[0]), f[1]
        self.port, self.value, self.hi = int(f[2], 16), int(f[3], 16), int(f[4], 16)
        self.qpc = int(f[5])


class Call:
    """One line of "clocktool calls": seq, op, index, arg, settings[4], error, QueryPerformanceCounter."""

    def __init__(self, line):
        f = [int(x) for x in line.split()]
        self.seq, self.op, self.index, self.arg = f[0], f[1], f[2], f[3]
        self.settings = f[4:8]
        self.error, self.qpc = f[8], f[9]


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, "rb") as handle:
        text = handle.read().decode("latin-1")
    return [line for line in text.replace("\r", "").split("\n") if line.strip()]


def read_ops(path):
    return [BoardOp(line) for line in read_lines(path)]


def read_calls(path):
    return [Call(line) for line in read_lines(path)]


def read_keys(path):
    """key=value lines (svcprobe, boardtool show, clocktool show) as a dict of strings."""
    keys = {}
    for line in read_lines(path):
        for word in line.split():
            if "=" in word:
                key, value = word.split("=", 1)
                keys[key] = value
    return keys


def qpc_frequency(path):
    lines = read_lines(path)
    return int(lines[0]) if lines else DEFAULT_QPC_FREQUENCY
