#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the results that one boot of the test VM handed back, byte for byte.

    check.py RESULTS_DIR

The expected lines are built here from two sources only: the access points'
configuration files (ESSID, expected security descriptors) and what the
kernel itself reported in the same boot through iwlist, iwconfig and iw (the
order of the scan results, addresses, channels, link quality, bit rate).
Prints one PASS or FAIL line per check, both texts and where they differ for
each failure, and "N passed, N failed" last; exits 1 when a check failed.

Every file is handled as bytes: they are decoded as Latin-1, which maps each
byte to one character and back, so an ESSID in UTF-8 or any other bytes
survive unchanged and each character below is one byte.
"""

import difflib
import json
import os
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts" / "ci"))
import schemacheck  # noqa: E402  (the -j documents' checker)
import vglog  # noqa: E402  (the massif reader the heap gate uses)

SCHEMA = json.loads((Path(__file__).resolve().parents[2] / "doc" / "lumra.schema.json")
                    .read_text(encoding="utf-8"))

GUEST = Path(__file__).resolve().parent / "guest"
ERROR_LINE = "ESSID:error,,,,,"
NO_BACKEND = "Could not get backend\n\n"
# ESSID bytes that -e and the cache leave as they are; every other byte is %xx.
UNRESERVED = frozenset(
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!$'()*-./[]^_`")
UP = re.compile(r"<[^>]*\bUP\b", re.ASCII)


def read(path):
    """The file's bytes as text (one character a byte), None when it is missing."""
    try:
        return Path(path).read_bytes().decode("latin-1")
    except (FileNotFoundError, NotADirectoryError, IsADirectoryError):
        return None


def lines(path):
    text = read(path)
    return [] if text is None else text.splitlines()


def first_line(path):
    found = lines(path)
    return found[0] if found else ""


def grab(path, pattern):
    """Group 1 of PATTERN on every line it matches (from the line's start),
    joined by newlines: what `sed -n 's/^...\\(...\\).*/\\1/p'` gives."""
    rx = re.compile(pattern)
    return "\n".join(m.group(1) for m in map(rx.match, lines(path)) if m)


def any_line(path, rx):
    return any(rx.search(line) for line in lines(path))


def awk_number(text):
    """The leading number of TEXT as awk reads it (0 without one)."""
    m = re.match(r"\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?", text)
    return float(m.group(0)) if m else 0.0


def percent(num, den):
    """int(num * 100 / den) as the kernel's tools' n/m quality reads; None
    where there is no scale."""
    den = awk_number(den)
    return None if den == 0 else str(int(awk_number(num) * 100 / den))


def encode(essid):
    """The -e and cache form of an ESSID: %xx (lowercase) for reserved bytes."""
    return "".join(c if c in UNRESERVED else "%%%02x" % ord(c) for c in essid)


def rate_text(reading):
    """A rate as iwconfig prints it ("9 Mb/s", "5.5 Mb/s", "1 Gb/s") as lumra
    writes it: the number of bit/s truncated to whole G, M or k."""
    n = awk_number(reading)
    unit = re.sub(r"^[0-9.]+ *", "", reading)
    n *= {"G": 1e9, "M": 1e6, "k": 1e3}.get(unit[:1], 1)
    for scale, name in ((1e9, "Gbit/s"), (1e6, "Mbit/s"), (1e3, "kbit/s")):
        if n >= scale:
            return "%d %s" % (int(n / scale), name)
    return ""


def escaped(text):
    """TEXT with C escapes for what is not printable ASCII."""
    named = {"\\": "\\\\", "\a": "\\a", "\b": "\\b", "\f": "\\f", "\n": "\\n",
             "\r": "\\r", "\t": "\\t", "\v": "\\v"}
    return "".join(named.get(c) or (c if " " <= c <= "~" else "\\%03o" % ord(c)) for c in text)


def visible(text):
    """TEXT as one readable line, "$" where it ends."""
    if text is None:
        return "(no file)"
    if text == "":
        return "(empty)"
    return escaped(text) + "$"


def records_of(text):
    """TEXT cut before each "ESSID:", one record a line, for the diff."""
    return re.split(r"(?=ESSID:)", text)[1:] if text.startswith("ESSID:") else [text]


def json_doc(text):
    """TEXT (one character a byte) as a JSON document, None when it is not one."""
    try:
        return json.loads(text.encode("latin-1").decode("utf-8"))
    except (AttributeError, UnicodeDecodeError, ValueError):
        return None


def json_line(doc):
    """The line (raw ESSIDs) that the networks of a -j document stand for;
    None when one lacks a field."""
    try:
        return "".join("ESSID:%s,%s,%s,%d,%d %%,%s" % (
            bytes.fromhex(n["essid_hex"]).split(b"\0")[0].decode("latin-1"), n["mode"],
            "/".join(n["security"]), n["channel"], n["quality"],
            n["bitrate"] + "," if n["associated"] and n["bitrate"] else "")
            for n in doc["networks"])
    except (KeyError, TypeError, ValueError):
        return None


def difference(expected, actual):
    """Where ACTUAL first departs from EXPECTED, and a record by record diff
    when either holds more than one record."""
    if expected is None or actual is None:
        return []
    n = next((i for i, (a, b) in enumerate(zip(expected, actual)) if a != b), None)
    if n is not None:
        out = ["first difference at byte %d" % (n + 1)]
    elif len(actual) < len(expected):
        out = ["actual ends after byte %d" % len(actual)]
    else:
        out = ["actual goes on after byte %d" % len(expected)]
    exp, act = records_of(expected), records_of(actual)
    if len(exp) > 1 or len(act) > 1:
        # The records that differ, one a line, with one record either side.
        out.append("records (- expected, + actual):")
        for line in difflib.unified_diff(exp, act, lineterm="", n=1):
            if line.startswith("@@"):
                out.append("  " + line)
            elif line[:1] in " -+" and not line.startswith(("---", "+++")):
                out.append("  %s %s" % (line[0], escaped(line[1:])))
    return out


class Checker:
    def __init__(self, res):
        self.res = Path(res)
        self.passed = 0
        self.failed = 0
        self.label = ""

    def ok(self, name):
        print("PASS " + self.label + name)
        self.passed += 1

    def fail(self, name, *details):
        print("FAIL " + self.label + name)
        self.failed += 1
        for d in details:
            print("    " + d)

    def verdict(self, name, good, *details):
        if good:
            self.ok(name)
        else:
            self.fail(name, *details)

    def expect(self, name, expected, actual):
        """EXPECTED and ACTUAL (texts; None for a missing file) are the same bytes."""
        if expected is not None and actual is not None and expected == actual:
            self.ok(name)
            return
        self.fail(name,
                  "expected (%d bytes): %s" % (len(expected or ""), visible(expected)),
                  "actual   (%d bytes): %s" % (len(actual or ""), visible(actual)),
                  *difference(expected, actual))

    def expect_one_of(self, name, actual, candidates):
        """ACTUAL equals one of CANDIDATES; a failure shows the first."""
        if actual is not None and actual in candidates:
            self.ok(name)
        else:
            self.expect(name, candidates[0], actual)


def status_of(path):
    text = read(path)
    return None if text is None else text.replace("\n", "")


# What the kernel reported about the station around a run.
def assoc_addr(path):
    return grab(path, r"Connected to ([0-9a-f:]*)")


def live_rates(path):
    return [r for r in grab(path, r".*Bit Rate[:=]([0-9.]* [kMG]b/s)").split("\n") if r]


def live_quality(path):
    rx = re.compile(r".*Link Quality=([0-9]*)/([0-9]*)")
    found = (percent(m.group(1), m.group(2)) for m in map(rx.match, lines(path)) if m)
    return "\n".join(q for q in found if q is not None)


def live_channel(path):
    return grab(path, r".*Current Frequency.*\(Channel ([0-9]*)\)")


def scan_records(path):
    """The cells of an iwlist scan listing in the kernel's order, each as
    [address, channel, quality, mode] (texts, empty when not reported)."""
    out = []
    cell = None
    for line in lines(path):
        if re.search(r"Cell [0-9]+ - Address:", line):
            fields = line.split()
            addr = fields[4].encode("latin-1").lower().decode("latin-1") if len(fields) > 4 else ""
            cell = [addr, "", "", ""]
            if addr:
                out.append(cell)
        if cell is None:
            continue
        if re.search(r"Frequency:.*\(Channel [0-9]+\)", line):
            cell[1] = re.sub(r"\).*", "", re.sub(r".*\(Channel ", "", line))
        if "Quality=" in line:
            parts = re.split(r"[/ ]", line.rsplit("Quality=", 1)[1])
            cell[2] = percent(parts[0], parts[1] if len(parts) > 1 else "") or ""
        if "Mode:" in line:
            mode = line.rsplit("Mode:", 1)[1]
            cell[3] = mode if mode in ("Master", "Ad-Hoc") else ""
    return out


def scan_frequencies(path):
    """Address -> frequency in MHz of each cell of an iwlist scan listing."""
    out, addr = {}, None
    for line in lines(path):
        m = re.search(r"Cell [0-9]+ - Address: (\S+)", line)
        addr = m.group(1).lower() if m else addr
        m = re.search(r"Frequency:([0-9.]+) GHz", line)
        if m and addr:
            out[addr] = round(float(m.group(1)) * 1000)
    return out


# hostapd's key-management names as -s names the suites, in the order its
# RSN element lists them.
AKM = {"WPA-PSK": "PSK", "SAE": "SAE", "OWE": "OWE"}


def survey_of(conf):
    """The site-survey members a network's configuration decides: its width
    (and the centre's offset from the frequency), standard, WPS and
    encryption; every network of the VM is in the 2.4 GHz band and sends no
    BSS Load or Country element."""
    def get(key):
        return grab(conf, key + r"=(.*)")
    wpa = int(get("wpa") or 0)
    enc = None
    if wpa:
        order = ["rsn_pairwise"] * (wpa >> 1 & 1) + ["wpa_pairwise"] * (wpa & 1)
        pairwise = [c for k in order for c in get(k).split()]
        akm = sorted((AKM[k] for k in get("wpa_key_mgmt").split()), key=list(AKM.values()).index)
        enc = {"akm": akm,
               "pairwise": sorted(set(pairwise), key=pairwise.index), "group": "CCMP",
               "pmf": {"1": "capable", "2": "required"}.get(get("ieee80211w"), "no")}
    ht40 = "[HT40+]" in get("ht_capab")
    return {"band": "2.4", "width_mhz": 40 if ht40 else 20, "centre_offset": 10 if ht40 else 0,
            "standard": "n" if get("ieee80211n") == "1" else "g", "noise_dbm": None,
            "bss_load": None, "country": None, "wps": bool(get("wps_state")), "encryption": enc}


def update(records, addr, channel, quality):
    """RECORDS with the live channel and quality of ADDR's record."""
    return [[r[0], channel, quality, r[3]] if r[0] == addr else list(r) for r in records]


class Fixture:
    """Address -> ESSID and expected security, from the configurations; a
    network may announce other descriptors while a WPS push-button session
    runs."""

    def __init__(self, aps_file):
        self.essid, self.security, self.security_pbc, self.conf = {}, {}, {}, {}
        for line in lines(aps_file):
            fields = line.split(None, 2)
            if len(fields) < 2:
                continue
            addr = fields[1]
            conf = GUEST / (fields[2].strip() if len(fields) > 2 else "")
            self.conf[addr] = conf
            self.essid[addr] = grab(conf, r"ssid=(.*)")
            # A network that hides its name is scanned with an empty ESSID.
            if any_line(conf, re.compile(r"^# expect-essid:")):
                self.essid[addr] = grab(conf, r"# expect-essid: *(.*)")
            self.security[addr] = grab(conf, r"# expect-security: (.*)")
            self.security_pbc[addr] = (grab(conf, r"# expect-security-pbc: (.*)")
                                       or self.security[addr])

    def survey(self, addr):
        conf = self.conf.get(addr)
        return survey_of(conf) if conf else {}

    def line(self, form, records, cur, rate, pbc):
        """The line of RECORDS (CUR the associated address, RATE its bit rate)
        in FORM: "out" (raw ESSIDs), "enc" (encoded) or "cache" (cache form)."""
        out = []
        for addr, ch, q, mode in records:
            essid = self.essid.get(addr, "?unknown address %s?" % addr)
            if form != "out":
                essid = encode(essid)
            out.append("ESSID:%s," % essid)
            if form == "cache":
                out.append(addr.upper() + ",")
            sec = (self.security_pbc if pbc else self.security).get(addr, "")
            out.append("%s,%s,%s,%s %%," % (mode, sec, ch, q))
            if form != "cache" and addr == cur and rate:
                out.append(rate + ",")
        return "".join(out)


class Suite(Checker):
    def __init__(self, res):
        super().__init__(res)
        self.fix = Fixture(self.res / "aps.txt")
        self.runs = self.res / "runs"
        self.pbc = False
        self.cur = ""
        # Carried from one backend's checks to the next, as the survey and the
        # cached runs build on the associated refresh run's records.
        self.assoc_records = []
        self.stale = []

    def line(self, form, records, cur="none", rate=""):
        return self.fix.line(form, records, cur, rate, self.pbc)

    def missing(self, run):
        if (self.runs / run).is_dir():
            return False
        self.fail(run + ": ran", "no results for this run")
        return True

    def check_run(self, run, form, records, cur="none", stdout=None):
        """Status 0, the line of RECORDS in FORM on stdout (or in STDOUT),
        nothing on stderr. Any bit rate the kernel reported around the run is
        accepted."""
        d = self.runs / run
        stdout = read(d / "stdout") if stdout is None else stdout
        self.expect(run + ": exit status", "0", status_of(d / "status"))
        rates = sorted(set(live_rates(d / "iwconfig.before") + live_rates(d / "iwconfig.after")))
        cands = [self.line(form, records, cur, rate_text(r)) for r in rates] or \
            [self.line(form, records, cur)]
        self.expect_one_of(run + ": standard output", stdout, cands)
        self.expect(run + ": standard error", "", read(d / "stderr"))

    def document(self, run):
        """RUN's JSON document and its networks, checked against the schema;
        (None, None) after a failure when it is not one document."""
        out = read(self.runs / run / "stdout")
        doc = json_doc(out)
        nets = doc.get("networks") if isinstance(doc, dict) else None
        if not isinstance(nets, list) or not all(isinstance(n, dict) for n in nets):
            self.fail(run + ": one JSON document", visible(out))
            return None, None
        self.expect(run + ": the schema describes it", "[]",
                    str([at for at, _ in schemacheck.errors(doc, SCHEMA)]))
        return doc, nets

    def check_json(self, run, records, cur):
        """-j on a cached run: one document of that run whose networks make
        the line of RECORDS, with their addresses, the association and each
        ESSID's text of its bytes."""
        d = self.runs / run
        doc, nets = self.document(run)
        if nets is None:
            return
        run_fields = [first_line(d / "args").split()[1], self.label.strip() or "WE", "cached"]
        self.expect(run + ": interface, backend, run kind", " ".join(run_fields),
                    " ".join(str(doc.get(k)) for k in ("interface", "backend", "run")))
        self.expect(run + ": addresses and association",
                    " ".join("%s=%s" % (r[0], r[0] == cur) for r in records),
                    " ".join("%s=%s" % (str(n.get("address")).lower(), n.get("associated"))
                             for n in nets))
        self.verdict(run + ": ESSID texts", all(
            n.get("essid") == bytes.fromhex(str(n.get("essid_hex"))).decode("utf-8", "replace")
            for n in nets), visible(read(d / "stdout")))
        self.check_run(run, "out", records, cur, json_line(doc) or "")

    def check_survey(self, run, cur):
        """-j on a refresh run: the networks of the kernel's scan, each with
        the members its configuration decides, its frequency as the kernel
        lists it, a signal in the virtual radio's range, an age, and the
        rate of the associated one alone."""
        d = self.runs / run
        doc, nets = self.document(run)
        if nets is None:
            return
        self.expect(run + ": run members", "1 None True None", " ".join(
            str(doc.get(k)) for k in ("schema", "cached_at", "live", "warning")))
        freqs = scan_frequencies(d / "scan.after")
        self.expect(run + ": the kernel's networks", " ".join(sorted(freqs)),
                    " ".join(sorted(str(n.get("address")).lower() for n in nets)))
        for n in nets:
            addr = str(n.get("address")).lower()
            want = self.fix.survey(addr)
            freq = freqs.get(addr)
            want.update(frequency_mhz=freq, center_mhz=freq and freq + want.pop("centre_offset", 0))
            got = {k: n.get(k) for k in want}
            self.expect("%s: %s: members" % (run, addr), json.dumps(want, sort_keys=True),
                        json.dumps(got, sort_keys=True))
            signal, age, kbps = n.get("signal_dbm"), n.get("last_seen_ms"), n.get("bitrate_kbps")
            self.verdict("%s: %s: signal, age and rate" % (run, addr),
                         isinstance(signal, int) and -100 <= signal <= -20 and
                         isinstance(age, int) and age >= 0 and
                         (isinstance(kbps, int) and kbps > 0 if addr == cur else kbps is None),
                         "signal %s, age %s, rate %s" % (signal, age, kbps))

    def check_fixed(self, run, status, stdout, stderr):
        """A run whose every output is known in advance."""
        d = self.runs / run
        self.expect(run + ": exit status", status, status_of(d / "status"))
        self.expect(run + ": standard output", stdout, read(d / "stdout"))
        self.expect(run + ": standard error", stderr, read(d / "stderr"))

    def check_cache(self, run, expected):
        self.expect(run + ": cache file", expected, read(self.runs / run / "cache.after"))

    def cache_unchanged(self, run):
        d = self.runs / run
        self.expect(run + ": cache file", read(d / "cache.before"), read(d / "cache.after"))

    def links_unchanged(self, run):
        d = self.runs / run
        self.expect(run + ": every interface's flags unchanged",
                    read(d / "links.before"), read(d / "links.after"))

    def every_ap_listed(self, run, records):
        n, want = len(records), len(self.fix.essid)
        self.verdict(run + ": kernel reports every access point",
                     n == want and all(r[1] and r[2] for r in records),
                     "iwlist listed %d cells, expected %d" % (n, want))

    def note(self, text):
        print("NOTE " + self.label + text)

    def backend(self, runs, label):
        """Every scenario's checks over the runs of one backend; LABEL (empty
        for "WE") starts the name of each check."""
        self.runs = Path(runs)
        self.label = label
        self.pbc = False

        # --- nothing on the air ---------------------------------------------
        # The kernel answers the scan with an empty result: the error line,
        # status 0, and the earlier cache file is gone rather than left empty.
        run = "no-networks"
        if not self.missing(run):
            d = self.runs / run
            self.check_fixed(run, "0", ERROR_LINE, "")
            before, after = read(d / "cache.before"), read(d / "cache.after")
            self.verdict(run + ": no cache file left", before is not None and after is None,
                         "before: " + visible(before), "after:  " + visible(after))

        # --- interfaces that are not the station ----------------------------
        # A refresh run on an interface without wireless extensions that is
        # down: the error line, and every interface left as it was.
        run = "not-wireless-down"
        if not self.missing(run):
            d = self.runs / run
            self.check_fixed(run, "0", ERROR_LINE, "")
            self.links_unchanged(run)
            before, after = d / "link-state.before", d / "link-state.after"
            self.verdict(run + ": interface left down",
                         any_line(before, re.compile("<")) and not any_line(before, UP)
                         and not any_line(after, UP),
                         "before: " + first_line(before), "after:  " + first_line(after))

        # A name longer than the kernel's 15 characters, whose first 15 name
        # that interface: refused before any request, the cache untouched.
        run = "name-too-long"
        if not self.missing(run):
            self.check_fixed(run, "1", "", NO_BACKEND)
            self.links_unchanged(run)
            self.cache_unchanged(run)

        # --- not associated -------------------------------------------------
        # The station's interface is down and not associated: a run with no
        # options brings it up, scans, and prints every access point without
        # a bit rate.
        run = "unassociated-refresh"
        if not self.missing(run):
            d = self.runs / run
            r1 = scan_records(d / "scan.after")
            self.every_ap_listed(run, r1)
            self.check_run(run, "out", r1)
            c1 = self.line("cache", r1)
            self.check_cache(run, c1)
            before, after = d / "link-state.before", d / "link-state.after"
            self.verdict(run + ": interface brought up",
                         not any_line(before, UP) and any_line(after, UP),
                         "before: " + first_line(before), "after:  " + first_line(after))
            # A cached run while not associated prints the cache as it is.
            run = "unassociated-cached"
            self.check_run(run, "out", r1)
            self.check_cache(run, c1)

        # --- a busy radio ---------------------------------------------------
        # wpa_supplicant searches for a network that is not on the air and
        # keeps the station's radio scanning, so scan requests find the driver
        # busy. Each refresh run prints and caches every access point, as the
        # kernel lists them after the run. What iwlist did before and after
        # each run is noted, not checked: whether it meets a busy driver
        # depends on the moment.
        for n in (1, 2, 3):
            run = "busy-refresh-%d" % n
            if self.missing(run):
                continue
            d = self.runs / run
            recs = scan_records(d / "scan.after")
            self.every_ap_listed(run, recs)
            self.check_run(run, "out", recs)
            self.check_cache(run, self.line("cache", recs))
            times = (read(d / "times") or "").split()
            took = "%.1f" % (awk_number(times[1]) - awk_number(times[0])) if len(times) > 1 else "?"
            self.note("%s: lumra took %s s" % (run, took))
            for when in ("before", "after"):
                listing = d / ("iwlist." + when)
                cells = sum(1 for x in lines(listing) if re.search(r"Cell [0-9]* - Address", x))
                head = next((x for x in lines(listing)
                             if x.strip() and "Cell" not in x and not x.startswith("  ")), "")
                self.note("%s: iwlist scanning %s it: status %s, %s cells, %s" % (
                    run, when, (read(str(listing) + ".status") or "").strip(),
                    cells if read(listing) is not None else "", re.sub(" +", " ", head)))

        # --- associated -----------------------------------------------------
        self.cur = assoc_addr(self.res / "association")
        cur = self.cur
        if not cur:
            self.fail("station associated", "iw reported no association")
        else:
            self.ok("station associated")
            # A refresh run with encoded ESSIDs while a WPS push-button
            # session runs: the associated network's record carries the rate.
            self.verdict("push-button session started", "OK" in lines(self.res / "wps-pbc"),
                         "hostapd_cli: " + (read(self.res / "wps-pbc") or "").rstrip("\n"))
            self.pbc = True
            run = "associated-refresh"
            if not self.missing(run):
                self.assoc_records = scan_records(self.runs / run / "scan.after")
                self.check_run(run, "enc", self.assoc_records, cur)
                self.check_cache(run, self.line("cache", self.assoc_records, cur))

            run = "survey-json"
            if not self.missing(run):
                self.check_survey(run, cur)

            # Cached run, associated network in the cache: the cache holds
            # made-up channels and qualities; only the associated record shows
            # live values and the file stays as it was.
            run = "cached-present"
            if not self.missing(run):
                d = self.runs / run
                self.stale = [[r[0], "14", "7", r[3]] for r in self.assoc_records]
                stale_cache = self.line("cache", self.stale, cur)
                self.expect(run + ": prepared cache", stale_cache, read(d / "cache.before"))
                present = update(self.stale, cur, live_channel(d / "channel.before"),
                                 live_quality(d / "iwconfig.before"))
                self.check_run(run, "out", present, cur)
                self.check_cache(run, stale_cache)

            # Cached run, associated network missing from the cache: a
            # directed scan appends it, with live values, and the cache is
            # rewritten.
            run = "cached-absent"
            if not self.missing(run):
                d = self.runs / run
                absent_before = [r for r in self.stale if r[0] != cur]
                self.expect(run + ": prepared cache", self.line("cache", absent_before, cur),
                            read(d / "cache.before"))
                # The appended record: the scanned network with its live
                # channel and quality.
                joined = update([r for r in self.assoc_records if r[0] == cur], cur,
                                live_channel(d / "channel.before"),
                                live_quality(d / "iwconfig.before"))
                absent = absent_before + joined
                self.check_run(run, "out", absent, cur)
                absent_cache = self.line("cache", absent, cur)
                self.check_cache(run, absent_cache)

                # The rewritten cache now holds the network: a further cached
                # run with encoded output prints it and leaves the file alone.
                run = "cached-encoded"
                if not self.missing(run):
                    d = self.runs / run
                    again = update(absent, cur, live_channel(d / "channel.before"),
                                   live_quality(d / "iwconfig.before"))
                    self.check_run(run, "enc", again, cur)
                    self.check_cache(run, absent_cache)

                # The same as one JSON document: its networks are the line
                # that the cached run prints.
                run = "cached-json"
                if not self.missing(run):
                    d = self.runs / run
                    self.check_json(run, update(absent, cur, live_channel(d / "channel.before"),
                                                live_quality(d / "iwconfig.before")), cur)
                    self.check_cache(run, absent_cache)

                # With the interface taken down a cached run prints the cache
                # as it is, with no bit rate, and leaves the interface down.
                run = "down-cached"
                if not self.missing(run):
                    after = self.runs / run / "link-state.after"
                    self.check_run(run, "out", absent)
                    self.check_cache(run, absent_cache)
                    self.verdict(run + ": interface left down", not any_line(after, UP),
                                 "after: " + first_line(after))

            self.two_radios(cur)
            self.scan_control(cur)

        # The kernel's list of the station's interface, down, read by a user
        # without privileges: whatever it holds, the interface stays down
        # and nothing else changes.
        run = "last-down"
        if not self.missing(run):
            d = self.runs / run
            self.expect(run + ": exit status", "0", status_of(d / "status"))
            self.expect(run + ": standard error", "", read(d / "stderr"))
            self.links_unchanged(run)
            self.cache_unchanged(run)

        # --- failures -------------------------------------------------------
        # A cache file that is not in the cache form: the error line, status
        # 0, and the file untouched.
        run = "malformed-cache"
        if not self.missing(run):
            self.check_fixed(run, "0", ERROR_LINE, "")
            self.cache_unchanged(run)

        # An unknown backend (run once, with no backend behind it): a message
        # on standard error, status 1, nothing printed, the cache untouched.
        run = "unknown-backend"
        if not label and not self.missing(run):
            self.check_fixed(run, "1", "", NO_BACKEND)
            self.cache_unchanged(run)

    def two_radios(self, cur):
        """The station and a second radio that is associated with nothing,
        each refreshed into its own file (-f) and then run cached over it, made
        stale: each file holds its radio's scan, each cached run its file with
        only its radio's live data; the default cache and its lock untouched."""
        if not self.label:
            self.verdict("second radio not associated",
                         first_line(self.res / "radio2-link").startswith("Not connected"),
                         visible(read(self.res / "radio2-link")))
        self.pbc = True
        for ifc, assoc in (("wlan0", cur), ("wlan8", "none")):
            run = "radio-%s-refresh" % ifc
            if self.missing(run):
                continue
            recs = scan_records(self.runs / run / "scan.after")
            self.every_ap_listed(run, recs)
            self.check_run(run, "out", recs, assoc)
            self.expect(run + ": own cache file", self.line("cache", recs, assoc),
                        read(self.runs / run / "own.after"))
            run = "radio-%s-cached" % ifc
            if self.missing(run):
                continue
            d = self.runs / run
            # The file as the last refresh (NL80211's) left it, made stale.
            written = self.res / "runs-nl80211" / ("radio-%s-refresh" % ifc) / "scan.after"
            stale = [[r[0], "14", "7", r[3]] for r in scan_records(written)]
            self.expect(run + ": prepared own cache file", self.line("cache", stale, assoc),
                        read(d / "own.before"))
            self.check_run(run, "out", update(stale, assoc, live_channel(d / "channel.before"),
                                              live_quality(d / "iwconfig.before")), assoc)
            self.expect(run + ": own cache file", read(d / "own.before"), read(d / "own.after"))
        for run in ("radio-%s-%s" % (i, k) for k in ("refresh", "cached")
                    for i in ("wlan0", "wlan8")):
            if (self.runs / run).is_dir():
                self.cache_unchanged(run)
                self.expect(run + ": lock file", read(self.runs / run / "lock.before"),
                            read(self.runs / run / "lock.after"))

    def check_either(self, run, records, cur):
        """check_run's checks, the WPS network announcing either descriptors
        (a push-button session of the runs before may still last)."""
        d = self.runs / run
        rates = sorted(set(live_rates(d / "iwconfig.before") + live_rates(d / "iwconfig.after")))
        cands = [self.fix.line("out", records, cur, rate, pbc) for pbc in (True, False)
                 for rate in [rate_text(r) for r in rates] or [""]]
        self.expect(run + ": exit status", "0", status_of(d / "status"))
        self.expect_one_of(run + ": standard output", read(d / "stdout"), cands)
        self.expect(run + ": standard error", "", read(d / "stderr"))

    def scan_control(self, cur):
        """The kernel's list (-l) read without privileges after iw's scan:
        every network that scan found, nothing changed, no cache written. A
        refresh limited to the 2.4 GHz band or to 2412 MHz lists the networks
        there (every one, or channel 1's) and leaves the cache; one of one
        pass, and a passive one, list every network and write it. Only
        NL80211 carries --low-priority; WE refuses it before anything."""
        for run, limited in (("last-unprivileged", True), ("band-24", True),
                             ("freq-2412", True), ("one-pass", False), ("passive", False)):
            if self.missing(run):
                continue
            d = self.runs / run
            recs = scan_records(d / "scan.after")
            if run == "freq-2412":
                recs = [r for r in recs if r[1] == "1"]
                self.verdict(run + ": channel 1's networks", recs and len(recs) < len(
                    self.fix.essid), "%d of %d" % (len(recs), len(self.fix.essid)))
            else:
                self.every_ap_listed(run, recs)
            self.check_either(run, recs, cur)
            if limited:
                self.cache_unchanged(run)
                self.expect(run + ": lock file", read(d / "lock.before"), read(d / "lock.after"))
            else:
                self.expect_one_of(run + ": cache file", read(d / "cache.after"), [
                    self.fix.line("cache", recs, cur, "", pbc) for pbc in (True, False)])
            self.links_unchanged(run)
        run = "low-priority"
        if self.missing(run):
            return
        d = self.runs / run
        if self.label:
            recs = scan_records(d / "scan.after")
            self.every_ap_listed(run, recs)
            self.check_either(run, recs, cur)
        else:
            self.check_fixed(run, "1", "", "wlan0: --low-priority needs -b NL80211\n")
            self.cache_unchanged(run)
            self.links_unchanged(run)

    def heap(self):
        """The peak heap of a refresh run while associated, under massif
        (LUMRA_VM_HEAP=1): for NL80211, its 16384-byte receive buffer plus at
        most 32 KiB, the margin the heap gate allows the WE backend above its
        scan buffer."""
        h = self.res / "heap"
        if not h.is_dir():
            return
        peaks = {}
        for b in ("WE", "NL80211"):
            text = read(h / ("massif." + b))
            peaks[b] = vglog.massif_peak(text) if text is not None else None
            networks = (read(h / ("stdout." + b)) or "").count("ESSID:")
            print("heap: %s refresh run, peak %s bytes (%d networks)" % (
                b, "?" if peaks[b] is None else peaks[b], networks))
        peak = peaks["NL80211"]
        self.verdict("heap: NL80211 peak within its receive buffer and 32 KiB",
                     peak is not None and peak <= 16384 + 32768,
                     "peak: %s" % ("none" if peak is None else peak))

    def ap_survey(self):
        """The access point that serves the station scans. With WE the kernel
        refuses the scan: the error line, no cache file. With NL80211 the AP
        scan flag lets it: the other networks in the order the kernel lists
        them for that radio, with the records the station's scan gave them
        (the virtual radio's signal depends on the sender only), the cache
        written, the station still associated."""
        run = "ap-survey"
        we, nl = self.res / "runs" / run, self.res / "runs-nl80211" / run
        self.label = ""
        if not (we.is_dir() and nl.is_dir()):
            self.fail(run + ": ran", "no results for this run")
            return
        self.runs = self.res / "runs"
        self.check_fixed(run, "0", ERROR_LINE, "")
        after = read(we / "cache.after")
        self.verdict(run + ": WE leaves no cache file", after is None, "after: " + visible(after))
        self.label = "NL80211 "
        order = [(x.split()[1:2] or [""])[0][:17] for x in lines(nl / "scan-dump")
                 if x.startswith("BSS ")]
        survey = [r for a in order for r in self.assoc_records if r[0] == a]
        self.verdict(run + ": the kernel lists the other access points",
                     survey and len(survey) == len(order),
                     (read(nl / "scan-dump") or "").replace("\n", " ")[:300])
        self.expect(run + ": exit status", "0", status_of(nl / "status"))
        # The push-button session may have ended by now: either announcement.
        self.pbc = True
        out1, cache1 = self.line("out", survey), self.line("cache", survey)
        self.pbc = False
        out0, cache0 = self.line("out", survey), self.line("cache", survey)
        self.expect_one_of(run + ": standard output", read(nl / "stdout"), [out1, out0])
        self.expect_one_of(run + ": cache file", read(nl / "cache.after"), [cache1, cache0])
        self.expect(run + ": standard error", "", read(nl / "stderr"))
        self.verdict(run + ": the station is still associated",
                     self.cur and assoc_addr(nl / "link.after") == self.cur,
                     first_line(nl / "link.after"))
        self.label = ""

    def backends_agree(self):
        """Each scenario ran with "WE" and then with "NL80211" from the same
        cache file and interface state: the lines and cache files are the same."""
        self.label = ""
        for run in (x.strip() for x in lines(self.res / "runs-nl80211" / "order")):
            # By design: only NL80211 can scan from an access point or at
            # low priority; the kernel's list of a down interface may age
            # between the two runs; one pass keeps whichever frame of a
            # network it heard (a WPS network's beacon or its probe
            # response, whose descriptors differ).
            if run in ("ap-survey", "low-priority", "last-down", "one-pass"):
                continue
            for f in ("stdout", "cache.after", "own.after"):
                we = read(self.res / "runs" / run / f)
                nl = read(self.res / "runs-nl80211" / run / f)
                if nl is not None and f == "stdout" and run.endswith("-json"):
                    nl = nl.replace('"backend": "NL80211"', '"backend": "WE"', 1)
                    # The age of a network is each backend's own reading
                    # (a directed scan's too), and the cache's time that of
                    # the copy the suite put back for each.
                    we, nl = (re.sub(r'"(last_seen_ms|cached_at)": ("[^"]*"|\d+)', r'"\1": N', t)
                              if t is not None else None for t in (we, nl))
                if we is not None or nl is not None:
                    self.expect("WE and NL80211 agree: %s: %s" % (run, f), we, nl)

    def all(self):
        setup_error = read(self.res / "setup-error")
        if setup_error is not None:
            self.fail("setup", setup_error.rstrip("\n"))
        self.backend(self.res / "runs", "")
        self.backend(self.res / "runs-nl80211", "NL80211 ")
        self.label = ""
        self.heap()
        self.ap_survey()
        self.backends_agree()
        print("%d passed, %d failed" % (self.passed, self.failed))
        return self.failed == 0


def main(argv):
    if len(argv) != 2:
        print("usage: %s RESULTS_DIR" % argv[0], file=sys.stderr)
        return 2
    # Texts go out as the bytes they came from.
    sys.stdout.reconfigure(encoding="latin-1", errors="strict")
    return 0 if Suite(argv[1]).all() else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
