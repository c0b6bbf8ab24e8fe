# SPDX-License-Identifier: MIT
"""doc/lumra.schema.json and its checker: README's examples, faults it must
find, and with LUMRA and FAKEWEXT set (as ctest sets them) lumra -j on every
fake-driver scenario."""

import copy
import json
import os
import re
import subprocess
import tempfile
import unittest
from pathlib import Path

import schemacheck

ROOT = Path(__file__).resolve().parents[2]
SCHEMA = json.loads((ROOT / "doc" / "lumra.schema.json").read_text(encoding="utf-8"))

NETWORK = {
    "essid": "home", "essid_hex": "686f6d65", "address": "02:00:00:00:00:02", "mode": "Master",
    "security": ["WPA2-PSK", "WPA2-SAE"], "channel": 36, "quality": 85, "bitrate": "866 Mbit/s",
    "associated": True, "signal_dbm": -48, "noise_dbm": None, "frequency_mhz": 5180, "band": "5",
    "width_mhz": 80, "center_mhz": 5210, "standard": "ax", "last_seen_ms": 120, "country": "DE",
    "bss_load": {"stations": 3, "utilization_pct": 50}, "wps": False, "bitrate_kbps": 866700,
    "encryption": {"akm": ["PSK", "SAE"], "pairwise": ["CCMP"], "group": "CCMP", "pmf": "capable"}}
FULL = {"schema": 1, "interface": "wlan0", "backend": "NL80211", "run": "cached",
        "cached_at": "2026-12-08T05:20:45Z", "live": False, "warning": "wlan0 is down",
        "networks": [NETWORK]}


GONE = object()


def faults(doc):
    return [at for at, _ in schemacheck.errors(doc, SCHEMA)]


class Schema(unittest.TestCase):
    def test_readme_examples(self):
        readme = (ROOT / "README.md").read_text(encoding="utf-8")
        blocks = re.findall(r"```json\n(.*?)```", readme, re.S)
        self.assertTrue(blocks)
        for block in blocks:
            self.assertEqual(faults(json.loads(block)), [], block)

    def test_faults_found(self):
        self.assertEqual(faults(FULL), [])
        self.assertEqual(faults({"schema": 1, "error": "x", "code": "busy"}), [])
        # Where, the value put there (GONE: the member taken out), the fault's pointer.
        rows = [
            (("schema",), 2, "/schema"),
            (("live",), None, "/live"),
            (("cached_at",), "2026-12-08 05:20:45", "/cached_at"),
            (("surprise",), 1, "/surprise"),
            (("networks", 0, "address"), "02:00:00:00:00", "/networks/0/address"),
            (("networks", 0, "quality"), 101, "/networks/0/quality"),
            (("networks", 0, "channel"), 1.5, "/networks/0/channel"),
            (("networks", 0, "associated"), 1, "/networks/0/associated"),
            (("networks", 0, "bitrate"), GONE, "/networks/0"),
            (("networks", 0, "width_mhz"), 60, "/networks/0/width_mhz"),
            (("networks", 0, "bss_load", "utilization_pct"), 101,
             "/networks/0/bss_load/utilization_pct"),
            (("networks", 0, "encryption", "group"), "CCMP-128", "/networks/0/encryption/group"),
            (("networks", 0, "encryption", "pairwise"), ["CCMP", None],
             "/networks/0/encryption/pairwise/1"),
            (("networks", 0, "encryption", "pmf"), GONE, "/networks/0/encryption"),
        ]
        for path, value, at in rows:
            doc = copy.deepcopy(FULL)
            parent = doc
            for key in path[:-1]:
                parent = parent[key]
            if value is GONE:
                del parent[path[-1]]
            else:
                parent[path[-1]] = value
            # Matching neither kind of document, and why.
            self.assertEqual(faults(doc)[0], "", (path, value))
            self.assertIn(at, faults(doc), (path, value))
        self.assertEqual(faults({"error": "x", "code": "oops"}), ["", "/code"])
        self.assertEqual(faults({"error": "x", "code": "busy", "networks": []}), ["", "/networks"])
        self.assertEqual(faults({"error": "x"}), ["", ""])  # the code is written always
        self.assertRaises(schemacheck.SchemaError, schemacheck.errors, "x", {"maxLength": 3})


class ProgramDocuments(unittest.TestCase):
    def setUp(self):
        if "LUMRA" not in os.environ or "FAKEWEXT" not in os.environ:
            self.skipTest("LUMRA and FAKEWEXT not set (ctest sets them)")
        self.scratch = tempfile.TemporaryDirectory()
        self.addCleanup(self.scratch.cleanup)

    def run_json(self, scenario_text, *args):
        scn = os.path.join(self.scratch.name, "scenario")
        Path(scn).write_text(scenario_text, encoding="utf-8")
        env = dict(os.environ, LD_PRELOAD=os.environ["FAKEWEXT"], FAKEWEXT_SCENARIO=scn,
                   ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
        cache = os.path.join(self.scratch.name, "lumra")
        try:
            p = subprocess.run([os.environ["LUMRA"], "-j", "-f", cache] + list(args), env=env,
                               capture_output=True, timeout=120)
        except OSError as e:  # a cross build without an emulator for it
            self.skipTest(str(e))
        return json.loads(p.stdout)

    def test_scenarios(self):
        scenarios = sorted((ROOT / "testsupport" / "fakewext" / "scenarios").glob("*.scn"))
        self.assertTrue(scenarios)
        for path in scenarios:
            text = path.read_text(encoding="utf-8")
            iface = re.search(r"^interface (\S+)", text, re.M).group(1)
            failing = re.sub(r"^(interface .*)$", r"\1\n fail SIOCSIWSCAN every EPERM", text,
                             count=1, flags=re.M)
            docs = [self.run_json(text, "-i", iface), self.run_json(text, "-c", "-i", iface),
                    self.run_json(failing, "-i", iface), self.run_json(text, "-x")]
            self.assertEqual([("networks" in d, "error" in d) for d in docs],
                             [(True, False)] * 2 + [(False, True)] * 2, path.name)
            self.assertTrue(docs[0]["networks"], path.name)
            for doc in docs:
                self.assertEqual(faults(doc), [], (path.name, doc))
