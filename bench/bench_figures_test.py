#!/usr/bin/env python3
"""Checks of bench_figures.py's stop record reading: the stops counted bad, and records of another shape refused."""
import contextlib
import io
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_figures  # noqa: E402


def stop(exit_codes="0/0", states="STOP_PENDING>STOPPED", qpc=1000):
    """The three lines "svcprobe stop" prints for one stop."""
    return [
        "stop_ms=812.5 states=%s control_qpc=%d replied_qpc=%d stopped_qpc=%d hint=3000" % (
            states, qpc, qpc + 10, qpc + 8125),
        "readings=3/0/3000/0x0>3/1/3000/0x0>1/0/0/0x0",
        "exit=%s" % exit_codes,
    ]


class StopRecord(unittest.TestCase):
    def figures(self, lines, expected):
        """cmd_stops over a record of lines, with no board or clock records: its keys."""
        with tempfile.TemporaryDirectory() as work:
            path = os.path.join(work, "stops")
            with open(path, "w") as handle:
                handle.write("".join(line + "\n" for line in lines))
            missing = os.path.join(work, "none")
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                bench_figures.cmd_stops(path, missing, missing, missing, expected)
        return dict(w.split("=", 1) for w in out.getvalue().split() if "=" in w)

    def test_bad_stops_are_counted_from_exit_codes_and_states(self):
        cases = [
            ("all clean", [stop(), stop(), stop()], "3", "0", "0"),
            ("exit codes not 0/0", [stop(), stop("1067/0"), stop("0/3")], "3", "2", "0"),
            ("not STOPPED", [stop(states="STOP_PENDING"), stop(), stop(states="")], "3", "0", "2"),
            ("both in one stop", [stop("1/0", "RUNNING>STOP_PENDING")], "1", "1", "1"),
        ]
        for name, stops, count, not_0_0, not_stopped in cases:
            with self.subTest(name):
                keys = self.figures(sum(stops, []), len(stops))
                self.assertEqual((keys["stops"], keys["stops_not_0_0"], keys["stops_not_stopped"]),
                                 (count, not_0_0, not_stopped))
                self.assertEqual(keys["stop_n"], count)

    def test_records_of_another_shape_are_refused(self):
        one, two = stop(), stop(qpc=50000)
        cases = [
            ("a line of an unknown kind", one + ["hint=3000"] + two, 2, "unknown kind"),
            ("a stop without its exit line", one + two[:2], 2, "lacks its exit= line"),
            ("a stop without its readings line", one + [two[0], two[2]], 2, "where a readings= line is due"),
            ("lines out of order", [one[1], one[0], one[2]], 1, "where a stop_ms= line is due"),
            ("fewer stops than made", one, 2, "1 stops where 2 were made"),
            ("more stops than made", one + two, 1, "2 stops where 1 were made"),
            ("no stops", [], 1, "0 stops where 1 were made"),
            ("a stop line without its times", ["stop_ms=1.0 states=STOPPED"] + one[1:], 1, "has no control_qpc"),
        ]
        for name, lines, expected, message in cases:
            with self.subTest(name):
                with self.assertRaises(bench_figures.RecordError) as raised:
                    self.figures(lines, expected)
                self.assertIn(message, str(raised.exception))


if __name__ == "__main__":
    unittest.main()
