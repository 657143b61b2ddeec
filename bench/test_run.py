#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""The benchmark's instruction counts where valgrind can't run the test host: a stand-in valgrind on the PATH
stops as Debian 12's does on a processor it does not fully know, or fails in some other way."""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run  # noqa: E402

# What valgrind 3.19 printed here when libhwy's start-up ran rdtscp, trimmed.
SIGILL_BEFORE_MAIN = """==7== Process terminating with default action of signal 4 (SIGILL)
==7==  Illegal opcode at address 0x10B74522
==7==    at 0x10B74522: hwy::platform::TimerResolution() (in /usr/lib/x86_64-linux-gnu/libhwy.so.1.0.3)
==7==    by 0x4005F0D: call_init (dl-init.c:74)
==7==    by 0x4005F0D: _dl_init (dl-init.c:121)
"""
# The same signal once the host's own code runs.
SIGILL_IN_HOST = """==7== Process terminating with default action of signal 4 (SIGILL)
==7==  Illegal opcode at address 0x10B74522
==7==    at 0x10B74522: RelayBrake::check() (in %s/bench/orvane_bench_costs)
==7==    by 0x4A0F0D: main (in %s/bench/orvane_bench_costs)
"""


class CallgrindStops(unittest.TestCase):
    def measure(self, report, signal):
        with tempfile.TemporaryDirectory() as folder:
            build = os.path.join(folder, "build")
            with open(os.path.join(folder, "valgrind"), "w") as stand_in:
                stand_in.write("#!/bin/sh\ncat >&2 <<'END'\n%sEND\n%s\n" %
                               (report.replace("%s", build), "kill -%s $$" % signal if signal else "exit 1"))
            os.chmod(os.path.join(folder, "valgrind"), 0o755)
            path = folder + os.pathsep + os.environ["PATH"]
            rows = []
            old_path, os.environ["PATH"] = os.environ["PATH"], path
            try:
                run.measure_main_thread(run.SMOKE, build, rows)
            finally:
                os.environ["PATH"] = old_path
            return rows

    def test_sigill_in_a_system_library_before_main_skips_the_counts_with_its_reason(self):
        rows = self.measure(SIGILL_BEFORE_MAIN, "ILL")
        self.assertEqual(1, len(rows))
        self.assertIn("SIGILL in libhwy.so.1.0.3 (hwy::platform::TimerResolution())", rows[0][1])
        self.assertIn("before main", rows[0][1])

    def test_any_other_failure_still_fails(self):
        for report, signal in ((SIGILL_IN_HOST, "ILL"), ("==7== valgrind: cannot open output file\n", ""),
                               (SIGILL_BEFORE_MAIN.replace("signal 4 (SIGILL)", "signal 11 (SIGSEGV)"), "SEGV")):
            with self.subTest(report=report.splitlines()[0]):
                with self.assertRaises(subprocess.CalledProcessError):
                    self.measure(report, signal)


if __name__ == "__main__":
    unittest.main()
