#!/usr/bin/env python3
"""usage: memcheck.py BUILD OUT.json - valgrind memcheck, two at a time, over the unit tests of
the runtime, the messaging and the service, for what the sanitizers miss: a program fails on a
memory error or a definite or indirect leak, a failed test, or descriptors open at exit beyond 0-2."""
import concurrent.futures
import glob
import json
import os
import re
import subprocess
import sys


def run(exe):
    cmd = ["valgrind", "--error-exitcode=99", "--leak-check=full", "--track-fds=yes", "--child-silent-after-fork=yes",
           "--show-leak-kinds=definite,indirect", "--errors-for-leak-kinds=definite,indirect", "--suppressions=" +
           os.path.join(os.path.dirname(os.path.abspath(__file__)), "valgrind.supp"), exe, "--gtest_brief=1"]
    try:  # KVO_SLOW_TESTS: tests that time timers give valgrind room
        p = subprocess.run(cmd, cwd=os.path.dirname(exe), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                           errors="replace", timeout=900, env=dict(os.environ, KVO_SLOW_TESTS="1"))
    except subprocess.TimeoutExpired as e:
        p = subprocess.CompletedProcess(cmd, -1, str(e))
    fds = [int(n) for n in re.findall(r"FILE DESCRIPTORS: (\d+) open", p.stdout)][-1:]
    verdict = {0: "descriptors left open" if fds and fds[0] > 3 else "pass", 99: "memory errors",
               -1: "timeout"}.get(p.returncode, "tests failed")
    print("memcheck %-30s %s" % (os.path.basename(exe), verdict), flush=True)
    if verdict != "pass":
        print("\n".join(l for l in p.stdout.splitlines() if l.startswith("==") or "FAILED" in l)[-4000:])
    return {"program": os.path.basename(exe), "verdict": verdict, "fds_at_exit": fds,
            "tests": sum(map(int, re.findall(r"PASSED  \] (\d+)", p.stdout)))}


def main():
    if len(sys.argv) != 3 or sys.argv[1].startswith("-"):
        sys.exit(__doc__)
    progs = [p for d in ("runtime", "messaging", "gdbt", "shm_fork", "target")
             for p in sorted(glob.glob(os.path.join(os.path.abspath(sys.argv[1]), "tests", d, "*_test*")))
             if os.path.isfile(p) and os.access(p, os.X_OK)]
    with concurrent.futures.ThreadPoolExecutor(2) as ex:
        results = list(ex.map(run, progs))
    with open(sys.argv[2], "w") as f:
        json.dump(results, f, indent=1)
    return 0 if results and all(r["verdict"] == "pass" for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
