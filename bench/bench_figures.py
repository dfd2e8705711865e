#!/usr/bin/env python3
"""The benchmark's figures from the simulators' records: press-to-apply latency and stop times, for bench.sh."""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "tools"))
from board_table import read_board_table  # noqa: E402
from sim_records import STEP_PAUSE_MS, qpc_frequency, read_calls, read_lines, read_ops  # noqa: E402

OP_SET = 11  # SetClockSettings in the clock simulator's record
# What "svcprobe stop" prints for each stop, in this order: its times and states, its
# status readings, its exit codes.
STOP_LINES = ("stop_ms", "readings", "exit")


class RecordError(Exception):
    """A record whose shape is not the one these figures are made from."""


def percentile(values, fraction):
    """Nearest-rank percentile of a sorted list."""
    rank = max(1, math.ceil(fraction * len(values)))
    return values[rank - 1]


def summary(values_ms):
    values = sorted(values_ms)
    return {
        "n": len(values),
        "min": values[0],
        "median": percentile(values, 0.5),
        "p99": percentile(values, 0.99),
        "max": values[-1],
    }


def print_summary(name, values_ms):
    if not values_ms:
        print("%s_n=0" % name)
        return
    s = summary(values_ms)
    print("%s_n=%d %s_min=%.1f %s_median=%.1f %s_p99=%.1f %s_max=%.1f" % (
        name, s["n"], name, s["min"], name, s["median"], name, s["p99"], name, s["max"]))


# --- press-to-apply latency ------------------------------------------------

def cmd_latency(ops_path, calls_path, freq_path, variant):
    """Pairs every press with the acknowledgement of its latch and the next SetClockSettings."""
    board = read_board_table()[variant]
    ticks_per_ms = qpc_frequency(freq_path) / 1000.0
    ops = read_ops(ops_path)
    sets = [c for c in read_calls(calls_path) if c.op == OP_SET]
    presses = [op for op in ops if op.kind == "press"]
    acks = [op for op in ops if op.kind == "out"]
    to_apply, to_ack, ack_to_apply = [], [], []
    unpaired = 0
    used_acks = set()
    for press in presses:
        if press.hi != 0:  # merged into a latch already set: no step of its own
            unpaired += 1
            continue
        ack = next((a for a in acks if a.qpc > press.qpc and a.port == press.port
                    and a.value & press.value), None)
        later_press = next((p for p in presses if p.qpc > press.qpc and p.port == press.port
                            and p.value == press.value), None)
        if ack is None or ack.seq in used_acks or (later_press and later_press.qpc < ack.qpc):
            unpaired += 1
            continue
        used_acks.add(ack.seq)
        # The step's own SetClockSettings: after its acknowledgement, before the next one.
        next_ack = next((a.qpc for a in acks if a.qpc > ack.qpc), None)
        apply = next((c for c in sets if c.qpc > ack.qpc), None)
        if apply is None or (next_ack is not None and apply.qpc > next_ack):
            unpaired += 1
            continue
        to_apply.append((apply.qpc - press.qpc) / ticks_per_ms)
        to_ack.append((ack.qpc - press.qpc) / ticks_per_ms)
        ack_to_apply.append((apply.qpc - ack.qpc) / ticks_per_ms)
    print("presses=%d paired=%d unpaired=%d down=%d up=%d" % (
        len(presses), len(to_apply), unpaired,
        sum(1 for p in presses if (p.port, p.value) == board.down),
        sum(1 for p in presses if (p.port, p.value) == board.up)))
    print_summary("apply", to_apply)
    print_summary("ack", to_ack)
    print_summary("clockcall", ack_to_apply)


# --- stop time ---------------------------------------------------------------

def read_stops(stops_path, expected):
    """The stops of a record of "svcprobe stop" outputs, each as one dict of the keys of its
    lines. RecordError unless it holds exactly the expected number of stops, each with its
    lines of STOP_LINES in order and nothing else."""
    lines = read_lines(stops_path)
    stops = []
    for number, line in enumerate(lines, 1):
        words = line.split()
        kind = words[0].split("=", 1)[0] if "=" in words[0] else words[0]
        due = STOP_LINES[(number - 1) % len(STOP_LINES)]
        if kind not in STOP_LINES:
            raise RecordError("%s:%d: a line of an unknown kind, %r" % (stops_path, number, line))
        if kind != due:
            raise RecordError("%s:%d: a %s= line where a %s= line is due" % (stops_path, number, kind, due))
        if kind == STOP_LINES[0]:
            stops.append({})
        stops[-1].update(w.split("=", 1) for w in words if "=" in w)
    if len(lines) % len(STOP_LINES) != 0:
        raise RecordError("%s: the last stop lacks its %s= line" % (
            stops_path, STOP_LINES[len(lines) % len(STOP_LINES)]))
    if len(stops) != expected:
        raise RecordError("%s: %d stops where %d were made" % (stops_path, len(stops), expected))
    for number, stop in enumerate(stops, 1):
        missing = [key for key in ("stop_ms", "states", "control_qpc", "stopped_qpc", "exit") if key not in stop]
        if missing:
            raise RecordError("%s: stop %d has no %s" % (stops_path, number, ", ".join(missing)))
    return stops


def cmd_stops(stops_path, ops_path, calls_path, freq_path, expected):
    """Stop times, where in the poll each stop control landed, and the stops that did not end
    STOPPED with exit codes 0/0."""
    stops = read_stops(stops_path, expected)
    ticks_per_ms = qpc_frequency(freq_path) / 1000.0
    service_ops = [op for op in read_ops(ops_path) if op.kind in ("in", "out")]
    calls = read_calls(calls_path)
    all_ms, during_step_ms, steps_after = [], [], []
    for keys in stops:
        control, stopped = int(keys["control_qpc"]), int(keys["stopped_qpc"])
        ms = float(keys["stop_ms"])
        all_ms.append(ms)
        before = [op for op in service_ops if op.qpc < control]
        after = [op for op in service_ops if control <= op.qpc <= stopped]
        steps_after.append(sum(1 for op in after if op.kind == "out"))
        if before and before[-1].kind == "out":
            # A step runs from its acknowledgement through its clock calls and the pause.
            ack = before[-1]
            next_read = next((op.qpc for op in service_ops if op.qpc > ack.qpc), stopped)
            step_calls = [c.qpc for c in calls if ack.qpc < c.qpc < next_read]
            step_end = max(step_calls or [ack.qpc]) + STEP_PAUSE_MS * ticks_per_ms
            if control < step_end:
                during_step_ms.append(ms)
    print_summary("stop", all_ms)
    print_summary("stopstep", during_step_ms)
    print("stops_with_steps_after=%d stops_with_two_steps_after=%d" % (
        sum(1 for n in steps_after if n >= 1), sum(1 for n in steps_after if n >= 2)))
    print("stops=%d stops_not_0_0=%d stops_not_stopped=%d" % (
        len(stops), sum(1 for s in stops if s["exit"] != "0/0"),
        sum(1 for s in stops if s["states"].split(">")[-1] != "STOPPED")))


def main(argv):
    try:
        if len(argv) == 6 and argv[1] == "latency":
            cmd_latency(argv[2], argv[3], argv[4], int(argv[5]))
            return 0
        if len(argv) == 7 and argv[1] == "stops":
            cmd_stops(argv[2], argv[3], argv[4], argv[5], int(argv[6]))
            return 0
    except RecordError as error:
        sys.stderr.write("bench_figures: the record is not as expected: %s\n" % error)
        return 1
    sys.stderr.write("usage: bench_figures.py latency OPS CALLS QPCFREQ VARIANT | stops STOPS OPS CALLS QPCFREQ COUNT\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
