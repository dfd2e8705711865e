#!/usr/bin/env python3
"""The soak's checker: replays the simulators' records of every run through a model of the service and checks the log, the Hz sent and the board's counters against it."""
import math
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from board_table import FILTERED_REAPPLY, TWO_READS, read_board_table  # noqa: E402
from sim_records import STEP_PAUSE_MS, qpc_frequency, read_calls, read_keys, read_lines, read_ops  # noqa: E402

# The service's own constants, as the model needs them.
HZ_PER_MHZ = 1e6
MAX_HZ = 4294967295
FINE_STEP_MHZ = 0.1
COARSE_STEP_MHZ = 1.0

# Clock controller call kinds in the clock simulator's record.
OP_CREATE, OP_RELEASE = 1, 2
OP_COUNT, OP_MASK, OP_DESCRIPTOR, OP_GET, OP_SET = 7, 8, 9, 10, 11
ANY_INDEX = 0xFFFFFFFF

# Register map and poll rule of each board variant, from the board table.
BOARDS = read_board_table()

START_LINE = "Current CPU Freq is %.3f"
STEP_LINE = "Now Current CPU Freq is %.3f"
UNKNOWN_LINE = "Press ignored: CPU Freq unknown!!"
RANGE_LINE = "Press ignored: CPU Freq out of range!!"


# --- the model of the service over one run -----------------------------------

class Checks:
    def __init__(self):
        self.counts = {}
        self.failures = []

    def check(self, label, ok, detail=""):
        passed, failed = self.counts.get(label, (0, 0))
        self.counts[label] = (passed + (1 if ok else 0), failed + (0 if ok else 1))
        if not ok:
            self.failures.append("%s: %s" % (label, detail))
        return ok


class Faults:
    """Fault windows the soak injected: the QueryPerformanceCounter before setting and after clearing."""

    def __init__(self, path):
        self.fails, self.unregistered = [], []
        for line in read_lines(path):
            f = line.split()
            if f[0] == "fail":
                self.fails.append((int(f[1]), int(f[2]), int(f[3]), int(f[4]), int(f[5])))
            elif f[0] == "unreg":
                self.unregistered.append((int(f[1]), int(f[2])))

    def explains_error(self, call):
        for op, code, index, t_on, t_off in self.fails:
            if (call.op == op and call.error == code and t_on <= call.qpc <= t_off
                    and (index == ANY_INDEX or call.op < OP_DESCRIPTOR or index == call.index)):
                return True
        return False

    def unregistered_during(self, start, end):
        return any(t_on < end and t_off > start for t_on, t_off in self.unregistered)


class Exchange:
    """One complete exchange with the clock controller: create ... release."""

    def __init__(self, calls):
        self.calls = calls
        self.qpc = calls[0].qpc
        self.end_qpc = calls[-1].qpc
        gets = [c for c in calls if c.op == OP_GET]
        self.settings_read = bool(gets) and gets[-1].error == 0
        self.get = gets[-1] if gets else None
        self.sets = [c for c in calls if c.op == OP_SET]


def fits_clock(mhz):
    if not math.isfinite(mhz):
        return False
    hz = math.trunc(mhz * HZ_PER_MHZ)
    return 1 <= hz <= MAX_HZ


def hz_of(mhz):
    return math.trunc(mhz * HZ_PER_MHZ)


class RunModel:
    """Replays one run of the service from the board's and the clock's records and predicts its log."""

    def __init__(self, run, variant, start_hz, ops, calls, faults, checks, stats, end_qpc, ticks_per_ms):
        self.run, self.variant = run, variant
        self.hz = start_hz          # the simulated clock's frequency, as the controller holds it
        self.faults, self.checks, self.stats = faults, checks, stats
        self.end_qpc = end_qpc
        self.ticks_per_ms = ticks_per_ms
        self.lines = []             # the log the model predicts
        self.acks = 0
        self.items = self.merge(ops, calls)
        self.pos = 0
        self.ok = True

    def fail(self, label, detail):
        self.checks.check(label, False, "run %d: %s" % (self.run, detail))
        self.ok = False

    def merge(self, ops, calls):
        items = [(op.qpc, 0, op.seq, "op", op) for op in ops if op.kind != "press"]
        exchange, started = [], False
        for call in calls:
            if call.op == OP_CREATE:
                if started:
                    self.fail("clock calls form exchanges", "create inside an exchange at call %d" % call.seq)
                exchange, started = [call], True
            elif not started:
                self.fail("clock calls form exchanges", "call %d outside an exchange" % call.seq)
            else:
                exchange.append(call)
                if call.op == OP_RELEASE:
                    items.append((exchange[0].qpc, 1, call.seq, "ex", Exchange(exchange)))
                    started = False
        if started:
            self.fail("clock calls form exchanges", "exchange without release at the end")
        for call in calls:
            if call.error != 0:
                self.checks.check("clock errors come from injected faults", self.faults.explains_error(call),
                                  "run %d: call %d (op %d, clock %d) error %d" % (
                                      self.run, call.seq, call.op, call.index, call.error))
        items.sort(key=lambda item: (item[0], item[1], item[2]))
        return [(kind, obj) for _, _, _, kind, obj in items]

    def peek(self):
        return self.items[self.pos] if self.pos < len(self.items) else (None, None)

    def qpc_at(self, pos, fallback):
        if 0 <= pos < len(self.items):
            kind, obj = self.items[pos]
            return obj.qpc
        return fallback

    def take_exchanges(self):
        """The exchanges up to the next board op, and the time window they lie in."""
        start = self.qpc_at(self.pos - 1, 0)
        found = []
        while self.peek()[0] == "ex":
            found.append(self.items[self.pos][1])
            self.pos += 1
        end = self.qpc_at(self.pos, self.end_qpc)
        return found, start, end

    def take_op(self, kind, port=None, value=None):
        """The next board op, if it is the one the model expects the service to make next."""
        what, op = self.peek()
        matched = what == "op" and op.kind == kind and (port is None or op.port == port) and \
            (value is None or op.value == value)
        got = "%s %s" % (what, "%s 0x%X 0x%X" % (op.kind, op.port, op.value) if what == "op" else "")
        if not self.checks.check("board ops follow the poll order", matched, "run %d: expected %s 0x%X%s, got %s" % (
                self.run, kind, port or 0, "" if value is None else " 0x%X" % value, got)):
            self.ok = False
            return None
        self.pos += 1
        return op

    def explain_failed_exchange(self, exchange, label):
        # Whether each error was injected is checked call by call; here: there was one.
        failed = any(c.error != 0 for c in exchange.calls)
        self.checks.check(label, failed, "run %d: exchange at call %d failed without an error" % (
            self.run, exchange.calls[0].seq))
        self.stats["exchanges failed by a fault"] = self.stats.get("exchanges failed by a fault", 0) + 1

    def read_clock(self, exchanges, start, end, label):
        """A read of the clock: True and the new frequency when it succeeded."""
        if len(exchanges) > 1:
            self.fail(label, "%d exchanges where one read was due" % len(exchanges))
            return False, 0.0
        if not exchanges:
            ok = self.checks.check(label, self.faults.unregistered_during(start, end),
                                   "run %d: no clock read and the controller was registered" % self.run)
            self.stats["exchanges missed while unregistered"] = \
                self.stats.get("exchanges missed while unregistered", 0) + (1 if ok else 0)
            return False, 0.0
        exchange = exchanges[0]
        if not self.checks.check(label, not exchange.sets, "run %d: a read sent settings (call %d)" % (
                self.run, exchange.sets[0].seq if exchange.sets else 0)):
            self.ok = False
        if not exchange.settings_read:
            self.explain_failed_exchange(exchange, label)
            return False, 0.0
        return True, self.hz / HZ_PER_MHZ

    def check_apply(self, exchange, hz, label):
        """One observed apply exchange against the Hz the model expects it to carry."""
        if not exchange.settings_read:
            if exchange.sets:
                self.fail(label, "settings sent after a failed read (call %d)" % exchange.sets[0].seq)
                return
            self.explain_failed_exchange(exchange, label)
            return
        if len(exchange.sets) != 1:
            self.fail(label, "%d SetClockSettings in one apply (exchange at call %d)" % (
                len(exchange.sets), exchange.calls[0].seq))
            return
        sent = exchange.sets[0]
        expected = [hz, 0xA1, 0xB2, 0xC3]
        if not self.checks.check(label, sent.settings == expected and sent.index == exchange.get.index,
                                 "run %d: call %d sent %s to clock %d, model %s to clock %d" % (
                                     self.run, sent.seq, sent.settings, sent.index, expected,
                                     exchange.get.index)):
            return
        if sent.error == 0:
            self.hz = hz
        else:
            self.stats["Hz sent while SetClockSettings failed"] = \
                self.stats.get("Hz sent while SetClockSettings failed", 0) + 1

    def check_applies(self, expected_hz, exchanges, start, end):
        label = "Hz the clock received match the logged step"
        if len(exchanges) > len(expected_hz):
            self.fail(label, "%d exchanges after an acknowledgement, model %d" % (
                len(exchanges), len(expected_hz)))
            return
        if len(exchanges) < len(expected_hz):
            missed = len(expected_hz) - len(exchanges)
            if not self.checks.check("missing clock calls come from an unregistered controller",
                                     self.faults.unregistered_during(start, end),
                                     "run %d: %d apply exchange(s) missing while registered" % (
                                         self.run, missed)):
                return
            self.stats["exchanges missed while unregistered"] = \
                self.stats.get("exchanges missed while unregistered", 0) + missed
        # Which of the expected applies each observed one is: in order, any omitted.
        for choice in subsets_in_order(len(expected_hz), len(exchanges)):
            if all(self.matches(exchanges[k], expected_hz[i]) for k, i in enumerate(choice)):
                for k, i in enumerate(choice):
                    self.check_apply(exchanges[k], expected_hz[i], label)
                return
        self.fail(label, "exchanges %s carry %s, model %s" % (
            [e.calls[0].seq for e in exchanges], [[s.settings[0] for s in e.sets] for e in exchanges],
            expected_hz))

    @staticmethod
    def matches(exchange, hz):
        return not exchange.sets or exchange.sets[0].settings[0] == hz

    def step(self, up, step_mhz, latch, frequency):
        """One accepted press: optional read, acknowledgement, applies, log line."""
        exchanges, start, end = self.take_exchanges()
        known = frequency > 0.0
        if not known:
            read, value = self.read_clock(exchanges, start, end, "unknown frequency read before the step")
            if read:
                frequency = value
            known = frequency > 0.0
        elif exchanges:
            self.fail("board ops follow the poll order", "clock calls before an acknowledgement with a known frequency")
        if self.take_op("out", latch[0], latch[1]) is None:
            return frequency
        self.acks += 1
        exchanges, start, end = self.take_exchanges()
        expected_hz = []
        if not known:
            self.lines.append(UNKNOWN_LINE)
            self.stats["refusals: unknown frequency"] = self.stats.get("refusals: unknown frequency", 0) + 1
        else:
            if BOARDS[self.variant].rule == FILTERED_REAPPLY and fits_clock(frequency):
                expected_hz.append(hz_of(frequency))
                self.stats["re-applies (variant 3)"] = self.stats.get("re-applies (variant 3)", 0) + 1
            following = frequency + step_mhz if up else frequency - step_mhz
            if fits_clock(following):
                frequency = following
                expected_hz.append(hz_of(frequency))
                self.lines.append(STEP_LINE % frequency)
                key = "steps %s %s" % ("up" if up else "down", "1.0" if step_mhz == COARSE_STEP_MHZ else "0.1")
                self.stats[key] = self.stats.get(key, 0) + 1
            else:
                self.lines.append(RANGE_LINE)
                self.stats["refusals: out of range"] = self.stats.get("refusals: out of range", 0) + 1
        self.check_applies(expected_hz, exchanges, start, end)
        return frequency

    def landed_in_step(self, control):
        """True when the stop control came between an acknowledgement and the end of its pause."""
        ops = [obj for kind, obj in self.items if kind == "op" and obj.kind in ("in", "out")]
        before = [op for op in ops if op.qpc < control]
        if not before or before[-1].kind != "out":
            return False
        ack = before[-1]
        calls = [obj.end_qpc for kind, obj in self.items if kind == "ex" and obj.qpc > ack.qpc]
        after = [op.qpc for op in ops if op.qpc > ack.qpc]
        last = max([c for c in calls if not after or c < after[0]] or [ack.qpc])
        return control < last + STEP_PAUSE_MS * self.ticks_per_ms

    def replay(self):
        board = BOARDS[self.variant]
        step_port, down, up, pattern = board.step_port, board.down, board.up, board.rule
        # Board identification comes first; nothing else may touch the board before it.
        kinds = []
        while self.peek()[0] == "op" and self.peek()[1].kind in ("search", "map", "unmap"):
            kinds.append(self.items[self.pos][1].kind)
            self.pos += 1
        self.checks.check("board identified once per start", kinds == ["search", "map", "unmap"],
                          "run %d: identification ops %s" % (self.run, kinds))
        exchanges, start, end = self.take_exchanges()
        read, frequency = self.read_clock(exchanges, start, end, "start read")
        self.lines.append(START_LINE % (frequency if read else 0.0))
        if not read:
            frequency = 0.0
        polls = 0
        while self.ok and self.pos < len(self.items):
            op = self.take_op("in", step_port)
            if op is None:
                break
            polls += 1
            step_mhz = COARSE_STEP_MHZ if op.value & board.step_bit else FINE_STEP_MHZ
            steps = 0
            if pattern == TWO_READS:
                for latch, is_up in ((down, False), (up, True)):
                    read_op = self.take_op("in", latch[0])
                    if read_op is None:
                        break
                    if read_op.value & latch[1]:
                        frequency = self.step(is_up, step_mhz, latch, frequency)
                        steps += 1
            else:
                read_op = self.take_op("in", down[0])
                if read_op is None:
                    break
                value = read_op.value
                if pattern == FILTERED_REAPPLY and value in (down[1], up[1]):
                    if value & (down[1] | up[1]):
                        self.stats["latch alone left (variant 3)"] = \
                            self.stats.get("latch alone left (variant 3)", 0) + 1
                elif value & down[1]:
                    frequency = self.step(False, step_mhz, down, frequency)
                    steps += 1
                    if value & up[1]:
                        self.stats["down won over up"] = self.stats.get("down won over up", 0) + 1
                elif value & up[1]:
                    frequency = self.step(True, step_mhz, up, frequency)
                    steps += 1
            if steps == 2:
                self.stats["polls with two steps"] = self.stats.get("polls with two steps", 0) + 1
        self.stats["polls"] = self.stats.get("polls", 0) + polls
        return self.ok


def subsets_in_order(n, k):
    """Every increasing choice of k indices out of range(n)."""
    if k == 0:
        yield ()
        return
    for first in range(n - k + 1):
        for rest in subsets_in_order(n - first - 1, k - 1):
            yield (first,) + tuple(first + 1 + r for r in rest)


def check_run(rdir, run, variant, start_hz, faults, checks, stats):
    base = os.path.join(rdir, "run-%d" % run)
    start = read_keys(base + ".start")
    stop = read_keys(base + ".stop")
    checks.check("service started (RUNNING)", start.get("states", "").endswith("RUNNING"),
                 "run %d: start %s" % (run, start))
    stopped = stop.get("states", "").endswith("STOPPED")
    checks.check("every stop reached STOPPED", stopped, "run %d: stop %s" % (run, stop))
    checks.check("stopped with exit codes 0/0", stop.get("exit") == "0/0",
                 "run %d: exit codes %s" % (run, stop.get("exit")))
    end_qpc = int(stop.get("stopped_qpc", "0") or 0)
    model = RunModel(run, variant, start_hz, read_ops(base + ".ops"), read_calls(base + ".calls"),
                     faults, checks, stats, end_qpc, qpc_frequency(os.path.join(rdir, "qpcfreq")) / 1000.0)
    model.replay()
    if stopped and model.landed_in_step(int(stop.get("control_qpc", "0"))):
        stats["stops landing during a step"] = stats.get("stops landing during a step", 0) + 1

    with open(base + ".log", "rb") as handle:
        raw = handle.read().decode("latin-1")
    checks.check("log lines end in CR LF", raw.endswith("\r\n") and raw.count("\n") == raw.count("\r\n"),
                 "run %d: line ends %r" % (run, raw[-4:]))
    actual = raw.replace("\r", "").split("\n")[:-1] if raw else []
    checks.check("log starts with the start frequency", actual[:1] == model.lines[:1],
                 "run %d: %r, model %r" % (run, actual[:1], model.lines[:1]))
    checks.check("one log line per acknowledged latch", len(actual) == model.acks + 1,
                 "run %d: %d lines after the start line, %d acknowledgements" % (
                     run, len(actual) - 1, model.acks))
    for i in range(1, max(len(actual), len(model.lines))):
        got = actual[i] if i < len(actual) else "(none)"
        want = model.lines[i] if i < len(model.lines) else "(none)"
        checks.check("each logged step or refusal as the model predicts", got == want,
                     "run %d line %d: %r, model %r" % (run, i + 1, got, want))
    hz_after = read_keys(base + ".clock").get("clock1", "").split(",")
    checks.check("clock frequency after the run as the model holds it",
                 len(hz_after) > 1 and int(hz_after[1]) == model.hz,
                 "run %d: clock %s, model %d" % (run, hz_after, model.hz))
    return model.acks


def check_phase(rdir, variant, runs, acks, checks, stats):
    board = read_keys(os.path.join(rdir, "phase-%d.board" % variant))
    clock = read_keys(os.path.join(rdir, "phase-%d.clockshow" % variant))
    n = lambda key: int(board.get(key, "-1"))
    presses = len([l for l in read_lines(os.path.join(rdir, "phase-%d.presses" % variant))
                   if l.startswith("press ")])
    label = "variant %d: " % variant
    # The phase ends with a run that lasts until no latch is pending: every press
    # that set a latch was acknowledged by then (and, by the runs' replay, logged
    # and applied).
    checks.check("nothing pending at the phase end", n("pending") == 0,
                 label + "%d latch(es) still set on the board" % n("pending"))
    checks.check("acknowledgements in the records = the board's count", acks == n("latchesAcked"),
                 label + "records %d, board %d" % (acks, n("latchesAcked")))
    checks.check("record mappings released",
                 n("maps") == n("unmaps") == runs and n("badUnmaps") == 0 and n("liveMaps") == 0,
                 label + "maps %d, unmaps %d, bad %d, live %d, runs %d" % (
                     n("maps"), n("unmaps"), n("badUnmaps"), n("liveMaps"), runs))
    checks.check("no clock controller instance left", clock.get("liveInstances") == "0",
                 label + "live instances %s" % clock.get("liveInstances"))
    stats["presses"] = stats.get("presses", 0) + presses
    stats["presses merged into a pending latch"] = stats.get("presses merged into a pending latch", 0) + \
        n("pressesMerged")


def cmd_soak(rdir, min_runs):
    checks, stats = Checks(), {}
    faults = Faults(os.path.join(rdir, "faults"))
    runs = [line.split() for line in read_lines(os.path.join(rdir, "runs"))]
    per_variant = {}
    for run, variant, start_hz in ((int(r[0]), int(r[1]), int(r[2])) for r in runs):
        acks = check_run(rdir, run, variant, start_hz, faults, checks, stats)
        count, total = per_variant.get(variant, (0, 0))
        per_variant[variant] = (count + 1, total + acks)
    for variant in BOARDS:
        count, acks = per_variant.get(variant, (0, 0))
        checks.check("each board variant soaked", count > 0, "variant %d had no run" % variant)
        if count:
            check_phase(rdir, variant, count, acks, checks, stats)
    checks.check("at least %d stops and starts" % min_runs, len(runs) >= min_runs, "%d runs" % len(runs))

    stats["runs"] = len(runs)
    stats["faults: operation failing"] = len(faults.fails)
    stats["faults: controller unregistered"] = len(faults.unregistered)
    stop_ms = sorted(float(read_keys(os.path.join(rdir, "run-%s.stop" % r[0])).get("stop_ms", "nan"))
                     for r in runs)
    print("exercised:")
    for key in sorted(stats):
        print("  %-40s %d" % (key, stats[key]))
    if stop_ms:
        print("  %-40s %.0f ms" % ("longest stop", stop_ms[-1]))
    print("checked:")
    passed = failed = 0
    for label in checks.counts:
        p, f = checks.counts[label]
        passed += p
        failed += f
        print("  %-62s %5d ok %3d failed" % (label, p, f))
    for line in checks.failures[:40]:
        print("FAIL " + line)
    if len(checks.failures) > 40:
        print("... %d more failures" % (len(checks.failures) - 40))
    print("soak: %d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


def main(argv):
    if len(argv) == 3:
        try:
            return cmd_soak(argv[1], int(argv[2]))
        except (OSError, ValueError, IndexError, KeyError) as error:
            print("FAIL records unreadable: %r" % (error,))
            print("soak: 0 passed, 1 failed")
            return 1
    sys.stderr.write("usage: soak_check.py RECORDS_DIR MIN_RUNS\n")
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
