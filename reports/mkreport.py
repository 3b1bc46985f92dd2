#!/usr/bin/env python3
"""Writes the hardening report from the results of scripts/harden: the prose
of reports/template.md with its $fuzz, $coverage, $faults, $hostile,
$memcheck and $soak tables made from the results folder."""
import argparse
import datetime
import glob
import json
import os
import re
import string
import subprocess
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The functions the fuzz harnesses drive, whose branch coverage is listed.
DRIVEN = set("""FifoReadFunc WritePipe_GuardLog StsCommand ParentModeCommand DirectGuardRequest DirectIoAnswer
    DirectModeCommand Send SendDispLoopOff FormatErr ComFIFOGetData ComFifoRead ComFIFOPutData2 WakeupComplete
    FifoFrameSend CheckOpen AppendOpen WriteFrame FifoIdsCheck FifoFrameBuild FifoPutId""".split())


def table(head, rows, none="(no run found)"):
    cols = head.split("|")
    out = ["| " + " | ".join(c.lstrip(">") for c in cols) + " |",
           "|" + "|".join("---:" if c.startswith(">") else "---" for c in cols) + "|"]
    return "\n".join(out + ["| " + " | ".join(str(v) for v in r) + " |" for r in rows]) if rows else none


def read(path, parse=lambda f: f.read()):
    try:
        with open(path, errors="replace") as f:
            return parse(f)
    except (OSError, ValueError, ET.ParseError):
        return None


def fuzz(res):
    rows = []
    for h in sorted(os.path.basename(p)[:-9] for p in glob.glob(os.path.join(res, "*.fuzz.log"))):
        text = read(os.path.join(res, h + ".fuzz.log"))
        stat = dict(re.findall(r"stat::(\w+):\s+(\d+)", text))
        cov = (re.findall(r"#\d+\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/", text) or [("?",) * 3])[-1]
        secs = re.findall(r"\d+", read(os.path.join(res, h + ".fuzz.cmd")) or "?") or ["?"]
        failed = any(e in text for e in ("ERROR: libFuzzer", "INVARIANT", "ERROR: AddressSanitizer", "runtime error"))
        replay = "ERROR" not in (read(os.path.join(res, h + ".replay.log")) or "ERROR")
        rows.append([h, secs[0], stat.get("number_of_executed_units", "?"), stat.get("average_exec_per_sec", "?"),
                     *cov, "ok" if replay else "FAILED", "FAILED (input in crashes/)" if failed else "no finding"])
    return table("Harness|>Seconds|>Executions|>Exec/s|>cov|>ft|>Corpus|Replay|Result", rows)


def coverage(res):
    rows, branches, missed = [], 0, 0
    for line in (read(os.path.join(res, "coverage-functions.txt")) or "").splitlines():
        cols = line.split()
        if len(cols) != 10 or not cols[1].isdigit():
            continue
        name = subprocess.run(["c++filt"], input=cols[0].split(":")[-1], stdout=subprocess.PIPE, text=True).stdout
        name = re.sub(r"\(.*", "", name.strip().replace("(anonymous namespace)::", ""))
        if name.split("::")[-1] in DRIVEN:
            rows.append(["`%s`" % name, cols[7], cols[8], cols[9] if cols[7] != "0" else "-", cols[6]])
            branches, missed = branches + int(cols[7]), missed + int(cols[8])
    if branches:
        rows.append(["**total**", branches, missed, "%.1f%%" % (100.0 * (branches - missed) / branches), ""])
    total = read(os.path.join(res, "coverage.txt"))
    return table("Function|>Branches|>Missed|>Branch cover|>Line cover", rows) + (
        "\n\nPer file (whole files, including code no harness can reach, such as the device and timer "
        "handlers):\n\n```\n%s```" % total if total else "")


def faults(res):
    out = []
    for mode in ("full", "ci"):
        s = read(os.path.join(res, "faults-" + mode, "summary.json"), json.load)
        if s:
            out += ["### Sweep `%s`: %d runs in %d s: %s" % (mode, s["runs"], s["seconds"], ", ".join(
                        "%s %d" % kv for kv in sorted(s["verdicts"].items()))), "",
                    "Failable calls made by the service in the fault-free scenario:", "",
                    table("Function|>Calls", [["`%s`" % fn, n] for fn, n in sorted(s["calls"].items())]), "",
                    table("Function|errno|Mode|>Runs|>pass|>stuck|>fail", [
                        ["`%s`" % k.split()[0], *k.split()[1:], sum(v.values()), v.get("pass", 0), v.get("stuck", 0),
                         v.get("fail", 0) + v.get("error", 0)] for k, v in s["by_case"].items()])]
            out += ["", "Runs that did not pass:", ""] * bool(s["failures"]) + [
                "- `%(fn)s` call %(nth)s, %(errno)s, %(mode)s: %(verdict)s" % f + " (%s)" % "; ".join(f["reasons"])
                for f in s["failures"]] + [""]
    return "\n".join(out) or "(no sweep found)"


def hostile(res):
    root = read(os.path.join(res, "hostile.xml"), ET.parse)
    cases = list(root.getroot().iter("testcase")) if root else []
    return table("Test|Result|>Seconds", [[c.get("name"), "FAILED" if c.find("failure") is not None else (
        "skipped" if c.find("skipped") is not None or c.get("status") in ("notrun", "disabled") else "passed"),
        c.get("time", "")] for c in cases])


def memcheck(res):
    return table("Test program|Result|>Tests|>Descriptors open at exit", [
        [p["program"], p["verdict"], p["tests"], "".join(map(str, p["fds_at_exit"]))]
        for p in read(os.path.join(res, "memcheck.json"), json.load) or []])


def soak(res):
    keys = ("frames holds sent_901 got_621 got_356 got_563 display got_605 unexpected fd_first fd_last rss_first_kb "
            "rss_last_kb exit_status seconds").split()
    runs = [(n, read(os.path.join(res, "soak-%s.json" % n), json.load)) for n in ("short", "long")]
    return table("Run|>Frames|>Holds|>901 sent|>621|>356|>563|>Display|>605|>Unexpected|>fds first|>fds last|"
                 ">VmRSS kB first|>last|>Exit|>Seconds|Problems",
                 [[n, *(s[k] for k in keys), "; ".join(s["problems"]) or "none"] for n, s in runs if s])


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--results", required=True, help="the results folder of scripts/harden")
    ap.add_argument("--out", required=True, help="the report to write")
    a = ap.parse_args()
    rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, text=True).stdout.strip() or "?"
    parts = {f.__name__: f(a.results) for f in (fuzz, coverage, faults, hostile, memcheck, soak)}
    text = string.Template(read(os.path.join(ROOT, "reports", "template.md"))).substitute(
        parts, when=datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), rev=rev)
    with open(a.out, "w") as f:
        f.write(text)


if __name__ == "__main__":
    main()
