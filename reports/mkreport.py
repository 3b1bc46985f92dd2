#!/usr/bin/env python3
"""Writes reports/hardening.md from the results of scripts/harden: fuzzing
(executions, speed, libFuzzer's cov/ft counters, source-based branch
coverage), the fault sweep (calls per function, runs per function, errno and
mode with their verdicts), the hostile-condition tests, memcheck and the
soak."""
import argparse
import datetime
import glob
import json
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, "faults"))
import sweep  # noqa: E402  (the known-fault list)


def load(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return None


IN_SCOPE = {"FifoReadFunc", "WritePipe_GuardLog", "StsCommand", "ParentModeCommand", "DirectGuardRequest",
            "DirectIoAnswer", "DirectModeCommand", "Send", "SendDispLoopOff", "FormatErr", "ComFIFOGetData",
            "ComFifoRead", "ComFIFOPutData2", "WakeupComplete", "FifoFrameSend", "CheckOpen", "AppendOpen",
            "WriteFrame", "FifoIdsCheck", "FifoFrameBuild", "FifoPutId"}


def fuzz_section(res):
    out = ["## Fuzzing (libFuzzer, ASan + UBSan)", "",
           "Each harness replays its seed corpus and every input in `fuzz/crashes/`, then fuzzes "
           "for the time shown. `cov`/`ft` are libFuzzer's own counters at the end of the run "
           "(edges and features reached, over everything instrumented: runtime, service and "
           "harness); branch coverage below is clang's source-based coverage of the corpus that "
           "the run kept.", "",
           "| Harness | Seconds | Executions | Exec/s | cov | ft | Corpus | Replay | Result |",
           "|---|---:|---:|---:|---:|---:|---:|---|---|"]
    rows = 0
    for log in sorted(glob.glob(os.path.join(res, "*.fuzz.log"))):
        h = os.path.basename(log)[:-len(".fuzz.log")]
        text = open(log, errors="replace").read()
        stat = dict(re.findall(r"stat::(\w+):\s+(\d+)", text))
        last = re.findall(r"#(\d+)\s+\w+\s+cov: (\d+) ft: (\d+) corp: (\d+)/", text)
        secs = re.findall(r"-max_total_time=(\d+)", open(os.path.join(res, h + ".fuzz.cmd")).read()) \
            if os.path.exists(os.path.join(res, h + ".fuzz.cmd")) else []
        failed = "ERROR: libFuzzer" in text or "INVARIANT VIOLATED" in text or "ERROR: AddressSanitizer" in text \
            or "runtime error" in text
        replay = os.path.join(res, h + ".replay.log")
        replay_ok = os.path.exists(replay) and "ERROR" not in open(replay, errors="replace").read()
        cov = last[-1] if last else ("?", "?", "?", "?")
        out.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
            h, secs[0] if secs else "?", stat.get("number_of_executed_units", "?"),
            stat.get("average_exec_per_sec", "?"), cov[1], cov[2], cov[3],
            "ok" if replay_ok else "FAILED", "FAILED (input in fuzz/crashes)" if failed else "no finding"))
        rows += 1
    if not rows:
        out.append("| (no fuzz run found) | | | | | | | | |")
    cov = os.path.join(res, "coverage-functions.txt")
    if os.path.exists(cov):
        rows, tb, tm = [], 0, 0
        for line in open(cov, errors="replace"):
            cols = line.split()
            if len(cols) != 10 or not cols[1].isdigit():
                continue
            name = cols[0].split(":")[-1]
            try:
                name = subprocess.run(["c++filt"], input=name, stdout=subprocess.PIPE, text=True).stdout.strip()
            except OSError:
                pass
            short = re.sub(r"\(.*", "", name.replace("(anonymous namespace)::", ""))
            if short.split("::")[-1] not in IN_SCOPE:
                continue
            rows.append("| `%s` | %s | %s | %s | %s |" % (short, cols[7], cols[8],
                                                          cols[9] if cols[7] != "0" else "-", cols[6]))
            tb += int(cols[7])
            tm += int(cols[8])
        out += ["", "Branch coverage of the functions the harnesses drive (llvm-cov over the kept corpus; "
                "the missed branches are failure paths of the system calls, which the fault sweep covers):", "",
                "| Function | Branches | Missed | Branch cover | Line cover |", "|---|---:|---:|---:|---:|"] + rows
        if tb:
            out.append("| **total** | %d | %d | %.1f%% | |" % (tb, tm, 100.0 * (tb - tm) / tb))
    tot = os.path.join(res, "coverage.txt")
    if os.path.exists(tot):
        out += ["", "Per file (whole files, including code that no harness can reach, such as the "
                "device and timer handlers):", "", "```"] + [l.rstrip() for l in open(tot, errors="replace")] + ["```"]
    return out


def faults_section(res):
    out = ["## Fault injection (LD_PRELOAD interposer, real service on the emulated board)", "",
           "Mechanism: `faults/libkvofault.so`, preloaded into the unchanged `kvogdbt` ahead of the device "
           "emulation's preloads. It counts the calls that the service's own code makes (the return "
           "address must lie in the program, so library-internal calls do not shift the numbering) to "
           "`open`, `read`, `write`, `close`, `pselect`, `ioctl`, `fstat`, `ftok`, `shmget`/`shmat`/`shmdt`, "
           "`timer_*`, `pipe2`, `sigaction`, `sigprocmask`, `calloc` and more, and fails the Nth call, or every "
           "call from the Nth on, with a chosen errno. Chosen over `strace -e inject`, which counts system "
           "calls rather than call sites, cannot fail library calls (`ftok`, `calloc`, the timer wrappers) and "
           "slows every call; and over a test double, which would not test the real binary. `close` is "
           "failed the Linux way (the descriptor is released all the same); the log file is exempt, since "
           "it is the record the checks read. The scenario: `faults/scenario.cpp` (on the simulated board, `tools/board`); "
           "the sweep and its checks: `faults/sweep.py`.", ""]
    found = False
    for mode in ("full", "ci"):
        s = load(os.path.join(res, "faults-%s" % mode, "summary.json"))
        if not s:
            continue
        found = True
        out += ["### Sweep `%s`: %d runs in %d s — %s" % (mode, s["runs"], s["seconds"],
                                                            ", ".join("%s %d" % kv for kv in sorted(s["verdicts"].items()))),
                "", "Failable calls made by the service in the fault-free scenario (start-up, press, hold to the "
                "guard request, 410/411/410, 901 x4, 902, 413 off/on, 900):", "",
                "| Function | Calls |", "|---|---:|"]
        for fn, n in sorted(s["calls"].items()):
            out.append("| `%s` | %d |" % (fn, n))
        out += ["", "Runs per function, errno and mode (once: that one call fails; persist: every call "
                "from it on). pass: every check held; stuck: a persistent failure of the main wait or of "
                "the command read leaves the service without progress (killed at the bound, no crash); "
                "known: a reported fault, see below; fail: a check did not hold.", "",
                "| Function | errno | Mode | Runs | pass | stuck | known | fail |", "|---|---|---|---:|---:|---:|---:|---:|"]
        for key, v in s["by_case"].items():
            fn, err, m = key.split(" ")
            out.append("| `%s` | %s | %s | %d | %d | %d | %d | %d |" % (
                fn, err, m, sum(v.values()), v.get("pass", 0), v.get("stuck", 0), v.get("known", 0),
                v.get("fail", 0) + v.get("error", 0)))
        if s.get("failures"):
            out += ["", "Runs that did not pass:", ""]
            for f in s["failures"]:
                out.append("- `%s` call %s, %s, %s: %s (%s)" % (f["fn"], f["nth"], f["errno"], f["mode"],
                                                                 f["verdict"], "; ".join(f["reasons"])))
    if not found:
        out.append("(no sweep found)")
    out += ["", "What each run checks: no death by a signal; an end by itself within the bound; exit status 0 "
            "after \"end of TermProc\" or 1 after \"initProc error\"/\"termProc error\"; no more descriptors "
            "at the last step than after start-up and none left on a peer FIFO; no frame delivered more "
            "often than in the fault-free run, no frame with a wrong sender, no partial frame; every frame "
            "delivered less often accompanied by a report in the log."]
    return out


def hostile_section(res):
    out = ["## Hostile conditions (ctest label `hardening`)", ""]
    junit = os.path.join(res, "hostile.xml")
    if os.path.exists(junit):
        try:
            root = ET.parse(junit).getroot()
            suite = root if root.tag == "testsuite" else root.find("testsuite")
            out += ["| Test | Result | Seconds |", "|---|---|---:|"]
            for tc in suite.iter("testcase"):
                status = tc.get("status", "run")
                res_ = "FAILED" if tc.find("failure") is not None else ("skipped" if status in ("notrun", "disabled") or tc.find("skipped") is not None else "passed")
                out.append("| %s | %s | %s |" % (tc.get("name"), res_, tc.get("time", "")))
        except ET.ParseError:
            out.append("(test results unreadable)")
    else:
        out.append("(no test results found)")
    return out


def memcheck_section(res):
    out = ["## valgrind memcheck over the unit tests", ""]
    m = load(os.path.join(res, "memcheck.json"))
    if not m:
        return out + ["(no memcheck run found)"]
    out += ["| Test program | Result | Tests | Errors | Descriptors open at exit | Seconds |", "|---|---|---:|---:|---:|---:|"]
    for p in m["programs"]:
        out.append("| %s | %s | %s | %s | %s | %s |" % (p["program"], p["verdict"], p["passed"], p["errors"],
                                                         p["fds_at_exit"], p["seconds"]))
    if m.get("missing"):
        out.append("\nNot built: %s" % ", ".join(m["missing"]))
    return out


def soak_section(res):
    out = ["## Soak (real service, parent mode, several writer processes)", "",
           "| Run | Frames | Writers | Holds | 901 sent | 621 received | Presses/356 | Guard requests | Unexpected | Descriptors first/last | VmRSS kB first/last | Exit | Seconds | Problems |",
           "|---|---:|---:|---:|---:|---:|---|---:|---:|---|---|---:|---:|---|"]
    rows = 0
    for name in ("short", "long"):
        s = load(os.path.join(res, "soak-%s.json" % name))
        if not s:
            continue
        rows += 1
        out.append("| %s | %d | %d | %d | %d | %d | %d/%d | %d | %d | %d/%d | %d/%d | %d | %d | %s |" % (
            name, s["frames"], s["writers"], s["holds"], s["sent_901"], s["got_621"], s["presses"], s["got_356"],
            s["got_563"], s["unexpected"], s["fd_first"], s["fd_last"], s["rss_first_kb"], s["rss_last_kb"],
            s["exit_status"], s["seconds"], "; ".join(s["problems"]) or "none"))
    if not rows:
        out.append("| (no soak run found) | | | | | | | | | | | | | |")
    return out


FINDINGS = """## Faults found, and what was done

1. **Forged timer signals completed a hold early** (`runtime/qnossig.cpp`, `SigAlrmHandler`). Any
   process allowed to signal the service could `sigqueue(pid, SIGUSR1, {.sival_int = 100})`; the
   handler took the value for slot 0's expiry, so each such signal counted as a 250 ms poll and forty
   of them completed a guard hold in about 0.3 s. Fixed: a value queued by a process (`si_code`
   negative and not `SI_TIMER`) is dropped. Test: `Hostile.ForgedTimerValueDoesNotShortenHold`, and
   the `forgedQueue100` case of the unit tests.
2. **A send's time bound was not kept on EINTR** (`messaging/qnosfifo.cpp`, `AppendOpen`,
   `WriteFrame`). An interrupted open or write was retried before the deadline was looked at, so a
   call that kept failing with EINTR held the send for ever. Fixed: interrupted calls are retried only
   within the send's deadline. The sweep's persistent-EINTR runs on `open` and `write` pass.
3. **A persistently failing wait or command read made the main loop spin** at full CPU, logging
   "Select error, ret = -1" on every turn (about 18 MB of log per second). Fixed: from the second
   failure in a row the loop pauses, 1 ms doubling up to a second. Such runs still cannot make
   progress (no command can be read) and are listed as "stuck", but they no longer burn the processor.
4. **A device that kept failing (or kept reading 0 bytes) made the loop spin** the same way, since
   its handler returns 0. Fixed: after 16 reads in a row without an event byte the device is no longer
   watched (logged once); commands are still served. Test: `DeviceRead.DeviceThatKeepsFailingIsNoLongerWatched`.

Observation: a device descriptor above 1023 (or a failed device open) leaves the service serving
commands only, with start-up reported as successful, as the failed-open case is specified; an info
line says so.
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--results", required=True)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    try:
        rev = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True).stdout.strip()
    except OSError:
        rev = "?"
    lines = ["# Hardening report", "",
             "Written by `scripts/harden report` from the last runs (%s, tree at %s). Commands: "
             "`scripts/harden ci` (bounded, part of `scripts/test`), `scripts/harden fuzz-long`, "
             "`scripts/harden faults-full`, `scripts/harden soak-long`." % (
                 datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), rev or "?"), ""]
    for sec in (fuzz_section, faults_section, hostile_section, memcheck_section, soak_section):
        lines += sec(a.results) + [""]
    lines.append(FINDINGS)
    with open(a.out, "w") as f:
        f.write("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
