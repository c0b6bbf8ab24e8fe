#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""lumra -j through the whole program on the fake driver, read back by
Python's json. Run by ctest, which sets LUMRA (the program as the tests run
it) and FAKEWEXT (the preload); each test's cache lies in a scratch directory
of its own (-f)."""

import codecs
import json
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts" / "ci"))
import schemacheck  # noqa: E402

SCHEMA = json.loads((ROOT / "doc" / "lumra.schema.json").read_text(encoding="utf-8"))

# Each byte outside a valid UTF-8 sequence stands for one U+FFFD.
codecs.register_error("each_byte", lambda e: ("\ufffd", e.start + 1))

ESSIDS = [b"x,ESSID:y", b'"q" \\b\\', b"\x00\x01\x1f\x7f\n\t", b"caf\xc3\xa9 \xc2\x85",
          b"\xff\xc3(\xed\xa0\x80\xf4\x90\x80\x80\xe2\x82", b"\xf0\x9f\x93\xb6" * 8]
RSN = "30140100000fac040100000fac040100000fac020c00"


def scenario(extra=""):
    cells = "".join(
        'cell 02:00:00:00:00:%02x\n freq %d\n qual 40 200 0 0x2b\n'
        ' essid "%s"\n encode on\n mode 3\n ie %s\n'
        % (i, 2407 + 5 * i, "".join("\\x%02x" % b for b in essid), RSN)
        for i, essid in enumerate(ESSIDS, 1))
    return ('interface wlan0\n essid "x"\n ap 02:00:00:00:00:02\n freq 2417\n'
            ' rate 54000000\n link 61 200 0 0x09\n%s\n%s' % (extra, cells))


def parsed(text):
    """The document, which the schema must describe."""
    doc = json.loads(text)
    faults = schemacheck.errors(doc, SCHEMA)
    if faults:
        raise AssertionError("%s: %s" % (faults, text))
    return doc


class JsonOutput(unittest.TestCase):
    def run_lumra(self, scn, *args):
        cache = os.path.join(self.scratch.name, "lumra")
        with tempfile.NamedTemporaryFile("w", suffix=".scn") as f:
            f.write(scn)
            f.flush()
            env = dict(os.environ, LD_PRELOAD=os.environ["FAKEWEXT"], FAKEWEXT_SCENARIO=f.name,
                       ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
            try:
                p = subprocess.run([os.environ["LUMRA"], "-i", "wlan0", "-f", cache] + list(args), env=env,
                                   capture_output=True, timeout=60)
            except OSError as e:  # a cross build without an emulator for it
                self.skipTest(str(e))
        cached = None
        if os.path.exists(cache):
            with open(cache, "rb") as f:
                cached = f.read()
        return p.returncode, p.stdout, cached

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)

    def test_refresh_and_cached_runs(self):
        # The level byte 200 is -56 dBm; a cached network has what the cache
        # holds, the associated one its live level and rate besides.
        survey = {"signal_dbm": -56, "noise_dbm": None, "frequency_mhz": 2417, "band": "2.4",
                  "width_mhz": None, "center_mhz": None, "standard": None, "last_seen_ms": None,
                  "bss_load": None, "country": None, "wps": False, "bitrate_kbps": 54000,
                  "encryption": {"akm": ["PSK"], "pairwise": ["CCMP"], "group": "CCMP",
                                 "pmf": "no"}}
        cached = dict({k: None for k in survey}, signal_dbm=-56, bitrate_kbps=54000)
        for args, kind, quality, rest in (((), "refresh", 57, survey),
                                          (("-c",), "cached", 87, cached)):
            status, line, cache_line = self.run_lumra(scenario(), *args)
            status_j, out, cache_j = self.run_lumra(scenario(), "-j", *args)
            self.assertEqual((status, status_j), (0, 0))
            self.assertEqual(cache_j, cache_line)
            self.assertTrue(out.endswith(b"}\n"))
            doc = parsed(out.decode("utf-8"))
            self.assertEqual([doc["interface"], doc["backend"], doc["run"], doc["schema"],
                              doc["live"], doc["warning"]], ["wlan0", "WE", kind, 1, True, None])
            self.assertEqual(doc["cached_at"] is None, kind == "refresh")
            nets = doc["networks"]
            self.assertEqual([bytes.fromhex(n["essid_hex"]) for n in nets], ESSIDS)
            self.assertEqual([n["essid"] for n in nets],
                             [e.decode("utf-8", "each_byte") for e in ESSIDS])
            self.assertEqual(nets[1], {
                "essid": '"q" \\b\\', "essid_hex": nets[1]["essid_hex"],
                "address": "02:00:00:00:00:02", "mode": "Master", "security": ["WPA2-PSK"],
                "channel": 2, "quality": quality, "bitrate": "54 Mbit/s", "associated": True,
                **rest})
            self.assertEqual([(n["address"], n["associated"], n["bitrate"]) for n in nets[2:3]],
                             [("02:00:00:00:00:03", False, None)])
            # The line's records, made from the document (its raw ESSIDs end at a NUL).
            made = b"".join(b"ESSID:%s,%s,%s,%d,%d %%,%s" % (
                bytes.fromhex(n["essid_hex"]).split(b"\0")[0], n["mode"].encode(),
                "/".join(n["security"]).encode(), n["channel"], n["quality"],
                (n["bitrate"] + ",").encode() if n["bitrate"] else b"") for n in nets)
            self.assertEqual(made, line)

    def test_failure_and_empty_scan(self):
        for extra, out, status in (
                (" fail SIOCSIWSCAN every EPERM", {"error": "SIOCSIWSCAN on wlan0: Operation not "
                                                   "permitted (scanning needs root or CAP_NET_ADMIN)",
                                                   "code": "no-permission"}, 1),
                (" fetch empty", {"interface": "wlan0", "backend": "WE", "run": "refresh",
                                  "schema": 1, "cached_at": None, "live": True, "warning": None,
                                  "networks": []}, 0)):
            got = self.run_lumra(scenario(extra), "-j")
            self.assertEqual((got[0], parsed(got[1]), got[2]), (status, out, None))
            self.assertEqual(self.run_lumra(scenario(extra))[:2], (0, b"ESSID:error,,,,,"))

    def test_cached_run_of_a_down_interface(self):
        # The cache's list, not live, and why; its time is the cache file's.
        self.run_lumra(scenario())
        os.utime(os.path.join(self.scratch.name, "lumra"), (0, 1765152000))
        status, out, _ = self.run_lumra(scenario(" down"), "-c", "-j")
        doc = parsed(out)
        self.assertEqual((status, doc["cached_at"], doc["live"], doc["warning"]),
                         (0, "2025-12-08T00:00:00Z", False, "wlan0 is down"))
        self.assertEqual([n["signal_dbm"] for n in doc["networks"]], [None] * len(ESSIDS))

    def test_start_failures(self):
        # A run that cannot start names why in the document as well.
        for args, why, code in ((("-x",), "unknown option", "bad-option"),
                                (("wlan1",), 'unexpected argument "wlan1": the interface is given '
                                 "with -i", "bad-option"),
                                (("-b", "FOO"), "FOO: no such backend", "bad-option"),
                                (("-i", "a" * 16), "interface name too long", "bad-option"),
                                (("-f", os.path.join(self.scratch.name, "none", "lumra")),
                                 "no cache file: No such file or directory", "cache-io")):
            self.assertEqual(self.run_lumra(scenario(), *args)[:2], (1, b""))
            status, out, _ = self.run_lumra(scenario(), "-j", *args)
            self.assertEqual((status, parsed(out)), (1, {"error": why, "code": code}))


if __name__ == "__main__":
    unittest.main()
