"""The verdicts at their budgets' edges (run by bench/run before the report)."""

import unittest

from . import verdicts as vd


class BudgetEdges(unittest.TestCase):
    def test_each_budget_holds_at_its_edge_and_misses_past_it(self):
        budget = {"instructions_per_read": 1000, "margin": 0.05}
        cases = [
            ("round trip", vd.round_trip_holds, 1.05, 1.0501),
            ("CRC", vd.crc_holds, 1.0, 0.999),
            ("line", vd.line_holds, 0.995, 0.9949),
            ("line with the console open (aim)", vd.console_aim_met, 0.99, 0.9899),
            ("scan rate", vd.scan_holds, 0.99, 0.9899),
            ("driver CPU", vd.driver_cpu_holds, 0.05, 0.0501),
            ("instructions", lambda x: x <= vd.instruction_limit(budget), 1050, 1051),
            ("exception", lambda p99: vd.exception_holds(p99, 5, 0), 7.0, 7.01),
        ]
        for name, holds, edge, past in cases:
            with self.subTest(name):
                self.assertTrue(holds(edge))
                self.assertFalse(holds(past))
        self.assertFalse(vd.exception_holds(1.0, 5, 1))


class HeapVerdict(unittest.TestCase):
    def test_only_the_event_fetches_without_tz_are_the_c_library(self):
        cases = [
            ({"read": (0, False), "fetch_status": (0, False)}, (True, True)),
            ({"read": (0, False), "fetch_status": (1, False)}, (False, True)),
            ({"read": (0, False), "fetch_status": (1, True)}, (False, False)),
            ({"read": (0.5, False), "fetch_logged": (0, False)}, (False, False)),
        ]
        for allocations, expected in cases:
            with self.subTest(allocations=allocations):
                self.assertEqual(vd.heap_verdict(allocations), expected)


class RunVerdicts(unittest.TestCase):
    def test_failed_runs_are_fatal_and_a_loaded_machine_marks_timed_rows(self):
        runs = {"A": {"failures": 0}, "B": {"error_occurred": True, "error_message": "x"}, "C": {"failures": 2}}
        self.assertEqual(vd.run_failures(runs), ["B did not run: x", "C: 2 failed requests"])
        self.assertTrue(vd.loaded_machine([1.01], 2))
        self.assertFalse(vd.loaded_machine([1.0], 2))
        v = vd.Verdicts()
        v.add("2 CPU per request", "r", "b", True, fatal=True)
        v.add("6 scan rate", "r", "b", False, fatal=True)
        v.mark_loaded()
        self.assertEqual([row[3] for row in v.rows], ["holds", "**misses** (loaded machine)"])
        self.assertEqual(len(v.fatal), 1)


if __name__ == "__main__":
    unittest.main()
