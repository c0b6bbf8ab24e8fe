#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Figures from valgrind's output files, for the gates, bench/cpu.sh and the
VM suite's heap check.

    vglog.py massif-figures MASSIF_OUT     own buffer total (bytes)
    vglog.py massif-peak MASSIF_OUT        the largest mem_heap_B
    vglog.py memcheck LOG                  errors, leak kinds and the program's
                                           own still reachable bytes, one line;
                                           status 1 on an error or a leak
    vglog.py callgrind-ir LOG              instructions collected

A figure that the file does not hold is an error (status 1), never 0.
"""

import re
import sys

PID = re.compile(r"^==\d+== ?")


def number(text):
    """An integer as valgrind prints it, thousands separated by commas."""
    return int(text.replace(",", ""))


def massif_snapshots(text):
    """Each snapshot of a massif output file as (mem_heap_B, heap tree
    lines); the tree is empty where massif kept none."""
    snaps = []
    for line in text.splitlines():
        if line.startswith("snapshot="):
            snaps.append([0, []])
        elif not snaps:
            continue
        elif line.startswith("mem_heap_B="):
            snaps[-1][0] = int(line[len("mem_heap_B="):])
        elif line.startswith("heap_tree=") or re.match(r"^ *n\d+: ", line):
            snaps[-1][1].append(line)
    return snaps


def massif_peak(text):
    """The largest heap size of any snapshot, None without a snapshot."""
    sizes = [size for size, _ in massif_snapshots(text)]
    return max(sizes) if sizes else None


def massif_figures(text, own_excludes=("fakewext",),
                   buffer_in=("cell_batch::fetch_buffer", "we_scan_once"),
                   buffer_not_in=("we_decode_scan", "list_append_new")):
    """(peak_own, max_buffer, total_at_peak) over the detailed snapshots.

    An allocation is the program's own when its stack reaches main and passes
    through nothing of OWN_EXCLUDES (the fake driver pulls the C++ library and
    its start-up allocations into the process); the scan result buffer is
    what a frame of BUFFER_IN (the flow's fetch buffer; we_scan_once in
    profiles of earlier builds) holds outside BUFFER_NOT_IN. Sizes are the
    requested bytes.
    """
    peak_own = max_buf = peak_total = 0
    for total, tree in massif_snapshots(text):
        if not tree or tree[0] == "heap_tree=empty":
            continue
        own = buf = 0
        frames = {}
        for line in tree[1:]:
            depth = len(line) - len(line.lstrip(" "))
            node, _, frame = line[depth:].partition(": ")
            frames[depth] = frame
            if depth == 0 or int(node[1:]) > 0:
                continue
            path = "|".join(frames[i] for i in range(1, depth + 1))
            if "(below main)" not in path or any(x in path for x in own_excludes):
                continue
            size = int(frame.split()[0])
            own += size
            if any(x in path for x in buffer_in) and not any(x in path for x in buffer_not_in):
                buf += size
        if own > peak_own:
            peak_own, peak_total = own, total
        max_buf = max(max_buf, buf)
    return peak_own, max_buf, peak_total


SUMMARY = re.compile(r"ERROR SUMMARY|(definitely|indirectly|possibly) lost:|still reachable:")


def memcheck_summary(text):
    """The error count and each leak kind's total, as one line."""
    parts = []
    for line in text.splitlines():
        if SUMMARY.search(line):
            line = re.sub(r" \(suppressed.*", "", PID.sub("", line).strip())
            parts.append(re.sub(" +", " ", line))
    return ";".join(parts)


LOSS = re.compile(r"^==\d+== +([\d,]+) bytes in ([\d,]+) blocks are still reachable in loss record")


def memcheck_own_reachable(text, excludes=("fakewext",)):
    """(bytes, blocks) still reachable at exit that the program allocated
    itself: loss records whose stack reaches main through nothing of
    EXCLUDES."""
    total_bytes = total_blocks = 0
    record = None  # [bytes, blocks, stack lines]

    def flush():
        if record is not None:
            stack = "\n".join(record[2])
            if "(below main)" in stack and not any(x in stack for x in excludes):
                return record[0], record[1]
        return 0, 0

    for line in text.splitlines():
        m = LOSS.match(line)
        if m or (record is not None and re.match(r"^==\d+== *$", line)):
            b, n = flush()
            total_bytes += b
            total_blocks += n
            record = [number(m.group(1)), number(m.group(2)), []] if m else None
        elif record is not None:
            record[2].append(line)
    b, n = flush()
    return total_bytes + b, total_blocks + n


def memcheck_faults(text):
    """What the log reports as wrong: errors, and blocks definitely,
    indirectly or possibly lost. A log without its error summary (valgrind
    did not finish) is wrong too."""
    errors = re.findall(r"ERROR SUMMARY: ([\d,]+) errors", text)
    faults = [] if errors else ["no error summary"]
    if errors and number(errors[-1]):
        faults.append("%s errors" % errors[-1])
    for kind, size in re.findall(r"(definitely|indirectly|possibly) lost: ([\d,]+) bytes", text):
        if number(size):
            faults.append("%s bytes %s lost" % (size, kind))
    return faults


def memcheck_report(text):
    """(one line for the gate's output, the faults)."""
    line = "%s; of the program's own still reachable: %d bytes in %d blocks" % (
        (memcheck_summary(text),) + memcheck_own_reachable(text))
    return line, memcheck_faults(text)


def callgrind_ir(text):
    """The instructions a callgrind run collected, None when it reports none."""
    found = re.findall(r"^==\d+== Collected : (\d+)", text, re.M)
    return int(found[-1]) if found else None


def main(argv):
    commands = {
        "massif-figures": lambda t: "%d %d %d" % massif_figures(t),
        "massif-peak": massif_peak,
        "memcheck": memcheck_report,
        "callgrind-ir": callgrind_ir,
    }
    if len(argv) != 3 or argv[1] not in commands:
        print("usage: %s {%s} FILE" % (argv[0], "|".join(commands)), file=sys.stderr)
        return 2
    try:
        with open(argv[2], encoding="latin-1") as f:
            result = commands[argv[1]](f.read())
    except OSError as e:
        print("%s: %s" % (argv[0], e), file=sys.stderr)
        return 1
    if isinstance(result, tuple) and argv[1] == "memcheck":
        line, faults = result
        print(line)
        if faults:
            print("%s: %s" % (argv[2], ", ".join(faults)), file=sys.stderr)
        return 1 if faults else 0
    if result is None:
        print("%s: no figure for %s in %s" % (argv[0], argv[1], argv[2]), file=sys.stderr)
        return 1
    print(result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
