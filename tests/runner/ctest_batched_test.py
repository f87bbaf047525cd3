#!/usr/bin/env python3
"""Checks that scripts/ctest-batched never counts a case as passed unless its
process ended well: the runner is what every other test's verdict rests on."""
import os
import sys
import types
import unittest

here = os.path.dirname(os.path.abspath(__file__))
# The runner is a script without a .py name: load it as a module by hand.
runner_path = os.path.join(here, "..", "..", "scripts", "ctest-batched")
runner = types.ModuleType("ctest_batched")
runner.__file__ = runner_path
with open(runner_path) as source:
    exec(compile(source.read(), runner_path, "exec"), runner.__dict__)
runner.say = lambda text: None
KEY = ((sys.executable, os.path.join(here, "fake_gtest.py")), (), "", False)


def run(*names, timeout=20, fail=(), skip=()):
    cases = []
    for name in names:
        test = {"name": name, "properties": [{"name": "TIMEOUT", "value": timeout},
                                             {"name": "FAIL_REGULAR_EXPRESSION", "value": list(fail)},
                                             {"name": "SKIP_REGULAR_EXPRESSION", "value": list(skip)}]}
        cases.append(runner.Case(test, 60))
    return {name: status for name, (status, _) in runner.run_cases(KEY, cases).items()}


class Verdicts(unittest.TestCase):
    def test_cases_of_a_batch_that_ended_well_keep_their_verdicts(self):
        self.assertEqual(run("A.Ok", "A.Fails", "A.Skips"),
                         {"A.Ok": "Passed", "A.Fails": "Failed", "A.Skips": "Skipped"})

    def test_a_failed_suite_set_up_fails_its_skipped_cases(self):
        self.assertEqual(run("SetupFails.One", "A.Ok"), {"SetupFails.One": "Failed", "A.Ok": "Passed"})

    def test_a_crash_or_hang_at_exit_fails_the_cases_it_reported_as_passed(self):
        self.assertEqual(run("AbortAtExit.One", "A.Ok"), {"AbortAtExit.One": "Failed", "A.Ok": "Passed"})
        self.assertEqual(run("HangAtExit.One", "A.Ok", timeout=3),
                         {"HangAtExit.One": "Failed", "A.Ok": "Passed"})

    def test_a_case_that_crashes_or_hangs_fails_alone_and_the_others_still_run(self):
        self.assertEqual(run("A.Ok", "A.CrashesInside", "B.Ok"),
                         {"A.Ok": "Passed", "A.CrashesInside": "Failed", "B.Ok": "Passed"})
        self.assertEqual(run("A.HangsInside", "B.Ok", timeout=3), {"A.HangsInside": "Failed", "B.Ok": "Passed"})

    def test_an_entrys_time_and_fail_pattern_apply_to_its_case(self):
        self.assertEqual(run("A.Slow", "B.Ok", timeout=1), {"A.Slow": "Failed", "B.Ok": "Passed"})
        self.assertEqual(run("A.Ok", fail=[r"RUN .*A\.Ok"]), {"A.Ok": "Failed"})


if __name__ == "__main__":
    unittest.main()
