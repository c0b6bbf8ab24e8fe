# SPDX-License-Identifier: MIT
"""The VM checker's own reading of the line format and of the kernel tools'
listings, and its verdicts on a recorded boot's results changed one way.

    python3 -m unittest discover -s tests/vm
"""

import contextlib
import io
import shutil
import tempfile
import unittest
from pathlib import Path

import check

IWLIST = """\
wlan0     Scan completed :
          Cell 01 - Address: 02:00:00:00:06:00
                    Channel:1
                    Frequency:2.412 GHz (Channel 1)
                    Quality=70/70  Signal level=-30 dBm
                    Encryption key:on
                    ESSID:""
                    Mode:Master
          Cell 02 - Address: 02:00:00:00:77:AA
                    Frequency:2.412 GHz (Channel 1)
                    Quality=29/70  Signal level=-81 dBm
                    ESSID:"Mode:Master"
                    Mode:Ad-Hoc
          Cell 03 - Address: 02:00:00:00:01:00
                    Frequency:2.462 GHz (Channel 11)
                    Mode:Managed
"""


class FormatTest(unittest.TestCase):
    def test_encode(self):
        for essid, want in [
            ("lab-open", "lab-open"),
            ("home, 2nd floor", "home%2c%202nd%20floor"),
            ("Caf\xc3\xa9 100%:[x]/y~z", "Caf%c3%a9%20100%25%3a[x]/y%7ez"),
            ("!$'()*-./[]^_`", "!$'()*-./[]^_`"),
            ("\x00\n\xff,", "%00%0a%ff%2c"),
            ("", ""),
        ]:
            self.assertEqual(check.encode(essid), want, essid)

    def test_rate_text(self):
        for reading, want in [
            ("5.5 Mb/s", "5 Mbit/s"),
            ("54 Mb/s", "54 Mbit/s"),
            ("1 Gb/s", "1 Gbit/s"),
            ("1.5 Gb/s", "1 Gbit/s"),
            ("999 kb/s", "999 kbit/s"),
            ("1000 kb/s", "1 Mbit/s"),
            ("0.5 kb/s", ""),
        ]:
            self.assertEqual(check.rate_text(reading), want, reading)

    def test_scan_records(self):
        with tempfile.NamedTemporaryFile("w", encoding="latin-1") as f:
            f.write(IWLIST)
            f.flush()
            self.assertEqual(check.scan_records(f.name), [
                ["02:00:00:00:06:00", "1", "100", "Master"],
                # The last "Mode:" of a line counts, an ESSID holding one too.
                ["02:00:00:00:77:aa", "1", "41", "Ad-Hoc"],
                ["02:00:00:00:01:00", "11", "", ""],
            ])

    def test_lines_of_every_form(self):
        fix = check.Fixture("/nonexistent")
        fix.essid = {"a": "home, 2nd floor", "b": ""}
        fix.security = {"a": "WPA2-PSK/WPS-PIN", "b": "off"}
        fix.security_pbc = {"a": "WPA2-PSK/WPS-PIN-PBC", "b": "off"}
        recs = [["a", "6", "97", "Master"], ["b", "1", "100", "Ad-Hoc"], ["c", "11", "5", ""]]
        for form, pbc, want in [
            ("out", False, "ESSID:home, 2nd floor,Master,WPA2-PSK/WPS-PIN,6,97 %,54 Mbit/s,"
                           "ESSID:,Ad-Hoc,off,1,100 %,ESSID:?unknown address c?,,,11,5 %,"),
            ("enc", True, "ESSID:home%2c%202nd%20floor,Master,WPA2-PSK/WPS-PIN-PBC,6,97 %,"
                          "54 Mbit/s,ESSID:,Ad-Hoc,off,1,100 %,"
                          "ESSID:%3funknown%20address%20c%3f,,,11,5 %,"),
            ("cache", False, "ESSID:home%2c%202nd%20floor,A,Master,WPA2-PSK/WPS-PIN,6,97 %,"
                             "ESSID:,B,Ad-Hoc,off,1,100 %,"
                             "ESSID:%3funknown%20address%20c%3f,C,,,11,5 %,"),
        ]:
            self.assertEqual(fix.line(form, recs, "a", "54 Mbit/s", pbc), want, form)

    def test_json_line(self):
        doc = check.json_doc('{"networks": [{"essid_hex": "612c00ff", "mode": "Master", '
                             '"security": ["off", "WPS"], "channel": 6, "quality": 70, '
                             '"bitrate": "54 Mbit/s", "associated": true}]}')
        self.assertEqual(check.json_line(doc), "ESSID:a,,Master,off/WPS,6,70 %,54 Mbit/s,")
        self.assertIsNone(check.json_line({"networks": [{"essid_hex": "61"}]}))
        self.assertIsNone(check.json_doc("ESSID:error,,,,,"))

    def test_difference(self):
        for expected, actual, want in [
            ("ESSID:a,", "ESSID:b,", "first difference at byte 7"),
            ("ESSID:a,", "ESSID:a", "actual ends after byte 7"),
            ("ESSID:a,", "ESSID:a,x", "actual goes on after byte 8"),
        ]:
            self.assertEqual(check.difference(expected, actual)[0], want)
        self.assertIn("  + ESSID:c\\303,",
                      check.difference("ESSID:a,ESSID:b,", "ESSID:a,ESSID:c\xc3,"))


class VerdictTest(unittest.TestCase):
    """A small set of results, as a boot hands them back, checked whole and
    after one change each."""

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp())
        self.addCleanup(shutil.rmtree, self.dir)
        (self.dir / "aps.txt").write_text("wlan1 02:00:00:00:01:00 ap-open.conf\n")
        for runs in ("runs", "runs-nl80211"):
            d = self.dir / runs / "malformed-cache"
            d.mkdir(parents=True)
            for name, text in [("status", "0\n"), ("stdout", check.ERROR_LINE), ("stderr", ""),
                               ("cache.before", "not a cache"), ("cache.after", "not a cache")]:
                (d / name).write_text(text)
            (self.dir / runs / "order").write_text("malformed-cache\n")

    def verdicts(self):
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            suite = check.Suite(self.dir)
            suite.all()
        lines = out.getvalue().splitlines()
        return suite, [x for x in lines if x.startswith(("PASS", "FAIL"))]

    def test_malformed_cache(self):
        suite, lines = self.verdicts()
        self.assertIn("PASS malformed-cache: cache file", lines)
        self.assertIn("PASS NL80211 malformed-cache: standard output", lines)
        self.assertIn("PASS WE and NL80211 agree: malformed-cache: stdout", lines)
        # Every other scenario is reported as not run.
        self.assertIn("FAIL no-networks: ran", lines)
        self.assertIn("FAIL station associated", lines)
        passed = suite.passed

        for path, text, failing in [
            ("runs/malformed-cache/status", "1\n", "FAIL malformed-cache: exit status"),
            ("runs-nl80211/malformed-cache/cache.after", "",
             "FAIL NL80211 malformed-cache: cache file"),
            ("runs/malformed-cache/stderr", "\n", "FAIL malformed-cache: standard error"),
            ("runs-nl80211/malformed-cache/stdout", check.ERROR_LINE + "\n",
             "FAIL WE and NL80211 agree: malformed-cache: stdout"),
            ("runs/malformed-cache/status", None, "FAIL malformed-cache: exit status"),
        ]:
            with self.subTest(path=path, text=text):
                f = self.dir / path
                saved = f.read_bytes()
                if text is None:
                    f.unlink()
                else:
                    f.write_text(text)
                suite, lines = self.verdicts()
                f.write_bytes(saved)
                self.assertIn(failing, lines)
                self.assertLess(suite.passed, passed)

    def test_second_radio(self):
        """The second radio's runs pass as recorded, and fail with the
        station's rate, a changed default cache or another scan in its file."""
        (self.dir / "association").write_text("Connected to 02:00:00:00:01:00 (on wlan0)\n")
        (self.dir / "radio2-link").write_text("Not connected.\n")
        rec = "ESSID:lab-open,%sMaster,off/unknown,%s %%,"
        for run, files in [("radio-wlan8-refresh", {
                "scan.after": IWLIST[:IWLIST.index("  Cell 02")].replace("06:00", "01:00"),
                "stdout": rec % ("", "1,100"), "own.after": rec % ("02:00:00:00:01:00,", "1,100")}),
                ("radio-wlan8-cached", {
                    "iwconfig.before": "Bit Rate=5.5 Mb/s\n", "stdout": rec % ("", "14,7"),
                    "own.before": rec % ("02:00:00:00:01:00,", "14,7"),
                    "own.after": rec % ("02:00:00:00:01:00,", "14,7")})]:
            (self.dir / "runs" / run).mkdir()
            if "refresh" in run:
                (self.dir / "runs-nl80211" / run).mkdir()
                (self.dir / "runs-nl80211" / run / "scan.after").write_text(files["scan.after"])
            for name, text in dict(files, status="0", stderr="", **{
                    "cache.before": "c", "cache.after": "c", "lock.before": "1",
                    "lock.after": "1"}).items():
                (self.dir / "runs" / run / name).write_text(text)
        ours = [x for x in self.verdicts()[1] if x.split()[1].startswith("radio-wlan8")]
        self.assertEqual([x for x in ours if x.startswith("FAIL")], [])
        self.assertGreater(len(ours), 10)
        for path, text, failing in [
                ("cached/stdout", rec % ("", "14,7") + "5 Mbit/s,", "cached: standard output"),
                ("refresh/cache.after", "d", "refresh: cache file"),
                ("refresh/own.after", rec % ("", "1,100"), "refresh: own cache file")]:
            with self.subTest(path=path):
                f = self.dir / "runs" / ("radio-wlan8-" + path)
                saved = f.read_bytes()
                f.write_text(text)
                self.assertIn("FAIL radio-wlan8-" + failing, self.verdicts()[1])
                f.write_bytes(saved)


if __name__ == "__main__":
    unittest.main()
