#!/usr/bin/env python3
"""valgrind memcheck over the host unit tests of the runtime, the messaging
and the service (one valgrind per test program, two at a time).  A program
fails on any memory error or definite/indirect leak (valgrind exit 99), or
when its tests fail.  Descriptors still open at exit beyond the standard
three are reported with their targets (--track-fds)."""
import argparse
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import time

# The unit tests (end-to-end, hardening and tool tests start other programs
# and are covered elsewhere).
PROGRAMS = ["tests/runtime/engine_tests", "tests/messaging/messaging_test", "tests/gdbt/gdbt_test",
            "tests/shm_fork/kvoshm_test", "tests/shm_fork/kvofork_test", "tests/target/kvotarget_test"]


def run(build, prog, timeout):
    exe = os.path.abspath(os.path.join(build, prog))
    supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "valgrind.supp")
    cmd = ["valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full", "--suppressions=" + supp,
           "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect",
           "--track-fds=yes", "--child-silent-after-fork=yes", "--num-callers=30",
           exe, "--gtest_brief=1"]
    t0 = time.time()
    try:
        # Tests that time timers run slower under valgrind: give them room.
        env = dict(os.environ, KVO_SLOW_TESTS="1")
        p = subprocess.run(cmd, cwd=os.path.dirname(exe), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, errors="replace", timeout=timeout, env=env)
        out, rc = p.stdout, p.returncode
    except subprocess.TimeoutExpired as e:
        out, rc = (e.stdout or b"").decode(errors="replace") if isinstance(e.stdout, bytes) else (e.stdout or ""), -1
    errors = re.findall(r"ERROR SUMMARY: (\d+) errors", out)
    tests = re.findall(r"\[  PASSED  \] (\d+) test", out)
    failed = re.findall(r"\[  FAILED  \] (\S+)", out)
    fds = re.findall(r"FILE DESCRIPTORS: (\d+) open", out)
    open_fds = [l.strip() for l in out.splitlines() if re.search(r"Open (file descriptor|AF_UNIX|pipe)", l)]
    return {"program": prog, "rc": rc, "seconds": round(time.time() - t0, 1),
            "errors": int(errors[-1]) if errors else None, "passed": int(tests[-1]) if tests else 0,
            "failed_tests": sorted(set(failed))[:20], "fds_at_exit": int(fds[-1]) if fds else None,
            "open_fds": open_fds[:20],
            "excerpt": "\n".join(l for l in out.splitlines() if l.startswith("==") and
                                 ("Invalid" in l or "definitely" in l or "uninitialised" in l
                                  or " at 0x" in l or " by 0x" in l))[:4000] if rc == 99 else ""}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--timeout", type=int, default=900)
    a = ap.parse_args()
    progs = [p for p in PROGRAMS if os.path.exists(os.path.join(a.build, p))]
    missing = [p for p in PROGRAMS if p not in progs]
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as ex:
        results = list(ex.map(lambda p: run(a.build, p, a.timeout), progs))
    ok = True
    for r in results:
        verdict = "pass" if r["rc"] == 0 else ("memory errors" if r["rc"] == 99 else "tests failed" if r["rc"] > 0 else "timeout")
        # Started with only 0 to 2 open (close_fds), a program must end so.
        if verdict == "pass" and (r["fds_at_exit"] or 0) > 3:
            verdict = "descriptors left open"
        r["verdict"] = verdict
        ok = ok and verdict == "pass"
        print("memcheck %-34s %-14s %4d tests  %3s errors  %s fds at exit  %6.1f s" %
              (r["program"], verdict, r["passed"], r["errors"], r["fds_at_exit"], r["seconds"]))
        if r["rc"] not in (0, 99):
            print("  failed tests: %s" % ", ".join(r["failed_tests"]))
        if r["excerpt"]:
            print(r["excerpt"])
    with open(a.out, "w") as f:
        json.dump({"programs": results, "missing": missing}, f, indent=1)
    return 0 if ok and progs else 1


if __name__ == "__main__":
    sys.exit(main())
