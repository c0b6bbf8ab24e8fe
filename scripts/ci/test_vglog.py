# SPDX-License-Identifier: MIT
"""The valgrind readers over recorded output: massif of a refresh run under
the fake driver (snapshots cut down to the larger branches), memcheck of a
cached run and of a small program with an invalid read and two leaks,
callgrind of a failed run. The expected figures are those the gates' earlier
awk readers gave for the same files.

    python3 -m unittest discover -s scripts/ci
"""

import contextlib
import io
import unittest
from pathlib import Path

import vglog

FIXTURES = Path(__file__).resolve().parent / "fixtures"


def fixture(name):
    return (FIXTURES / name).read_text(encoding="latin-1")


TREE = """\
snapshot=0
mem_heap_B=500
heap_tree=empty
snapshot=1
mem_heap_B=900
heap_tree=detailed
n4: 900 (heap allocation functions) malloc/new/new[], --alloc-fns, etc.
 n1: 300 0x1: we_scan_once (scan.cc:171)
  n0: 300 0x2: (below main) (libc_start_call_main.h:58)
 n1: 200 0x3: list_append_new (netlist.cc:40)
  n1: 200 0x4: we_scan_once (scan.cc:190)
   n0: 200 0x5: (below main) (libc_start_call_main.h:58)
 n1: 250 0x6: fakewext::load_scenario (scenario.cc:414)
  n0: 250 0x7: (below main) (libc_start_call_main.h:58)
 n0: 150 0x8: _dl_init (dl-init.c:121)
snapshot=2
mem_heap_B=1200
heap_tree=detailed
n1: 1200 (heap allocation functions) malloc/new/new[], --alloc-fns, etc.
 n1: 1200 0x6: fakewext::load_scenario (scenario.cc:414)
  n0: 1200 0x7: (below main) (libc_start_call_main.h:58)
"""


class MassifTest(unittest.TestCase):
    def test_recorded_refresh_run(self):
        text = fixture("massif.lumra-refresh")
        self.assertEqual(vglog.massif_figures(text), (41732, 18212, 233912))
        self.assertEqual(vglog.massif_peak(text), 294862)

    def test_what_counts_as_the_programs_own(self):
        # Own: the leaves below main outside the fake driver (300 + 200); the
        # buffer: under we_scan_once but not through list_append_new (300).
        # The later, larger snapshot is the fake driver's alone.
        self.assertEqual(vglog.massif_figures(TREE), (500, 300, 900))
        self.assertEqual(vglog.massif_peak(TREE), 1200)

    def test_no_snapshot(self):
        self.assertEqual(vglog.massif_figures("desc: x\n"), (0, 0, 0))
        self.assertIsNone(vglog.massif_peak("desc: x\n"))


class MemcheckTest(unittest.TestCase):
    def test_reports(self):
        for name, summary, own, faults in [
            ("memcheck.cached-add.log",
             "definitely lost: 0 bytes in 0 blocks;indirectly lost: 0 bytes in 0 blocks;"
             "possibly lost: 0 bytes in 0 blocks;still reachable: 12,488 bytes in 33 blocks;"
             "ERROR SUMMARY: 0 errors from 0 contexts", (1520, 4), []),
            # Its reachable block's stack stops at main: not counted as own.
            ("memcheck.errors.log",
             "definitely lost: 28 bytes in 2 blocks;indirectly lost: 0 bytes in 0 blocks;"
             "possibly lost: 0 bytes in 0 blocks;still reachable: 40 bytes in 1 blocks;"
             "ERROR SUMMARY: 3 errors from 3 contexts", (0, 0),
             ["3 errors", "28 bytes definitely lost"]),
        ]:
            with self.subTest(name):
                text = fixture(name)
                self.assertEqual(vglog.memcheck_summary(text), summary)
                self.assertEqual(vglog.memcheck_own_reachable(text), own)
                self.assertEqual(vglog.memcheck_faults(text), faults)

    def test_unfinished_log_is_a_fault(self):
        text = fixture("memcheck.cached-add.log")
        cut = text[:text.index("LEAK SUMMARY")]
        self.assertEqual(vglog.memcheck_faults(cut), ["no error summary"])

    def test_fake_driver_records_are_not_the_programs(self):
        text = fixture("memcheck.cached-add.log")
        own = vglog.memcheck_own_reachable(text)
        # The same log read as if no frame belonged to the fake driver.
        everything = vglog.memcheck_own_reachable(text, excludes=())
        self.assertGreater(everything[0], own[0])


class CommandTest(unittest.TestCase):
    def run_main(self, *args):
        out, err = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = vglog.main(["vglog.py", *args])
        return status, out.getvalue(), err.getvalue()

    def test_commands(self):
        for args, status, stdout in [
            (("callgrind-ir", FIXTURES / "callgrind.log"), 0, "277336\n"),
            (("massif-peak", FIXTURES / "massif.lumra-refresh"), 0, "294862\n"),
            (("massif-figures", FIXTURES / "massif.lumra-refresh"), 0, "41732 18212 233912\n"),
            # A log without the figure asked for fails rather than giving 0.
            (("callgrind-ir", FIXTURES / "memcheck.errors.log"), 1, ""),
            (("massif-peak", FIXTURES / "callgrind.log"), 1, ""),
            (("callgrind-ir", FIXTURES / "no-such-file"), 1, ""),
            (("no-such-command", FIXTURES / "callgrind.log"), 2, ""),
        ]:
            with self.subTest(args):
                got = self.run_main(*map(str, args))
                self.assertEqual(got[:2], (status, stdout))

    def test_memcheck_status(self):
        status, out, err = self.run_main("memcheck", str(FIXTURES / "memcheck.errors.log"))
        self.assertEqual(status, 1)
        self.assertIn("ERROR SUMMARY: 3 errors", out)
        self.assertIn("3 errors, 28 bytes definitely lost", err)
        status, out, _ = self.run_main("memcheck", str(FIXTURES / "memcheck.cached-add.log"))
        self.assertEqual(status, 0)
        self.assertTrue(out.endswith("own still reachable: 1520 bytes in 4 blocks\n"))


if __name__ == "__main__":
    unittest.main()
