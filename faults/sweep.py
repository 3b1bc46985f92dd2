#!/usr/bin/env python3
"""Fault sweep: runs the fault scenario (kvofaultscn) once without a fault to count the service's
calls, then once per injected fault, judged against that reference.

A run passes when the service did not die by a signal; ended by itself within the bound (unless
every wait or command read fails from some call on: "stuck"); exited 0 after "end of TermProc"
(no "termProc error"), or 1 after "initProc error", "termProc error" or "malloc error"; held no
more descriptors at the end than after start-up, none on a peer FIFO; delivered no frame more
often than the reference, none with a wrong sender, no stray bytes; and logged a line the
reference lacks when it delivered a frame less often.  --mode full fails every call with each
errno of its function, once and persistently; --mode ci each errno and mode once, on up to four
calls (each function's first, last, and first on each object).  Output: results.jsonl, summary.json.
"""
import argparse
import collections
import concurrent.futures
import errno
import json
import os
import re
import subprocess
import sys
import tempfile
import time

# The errnos each function is failed with.
ERRNOS = {fn: errs.split() for fns, errs in [
    ("open", "EINTR ENOENT ENXIO EMFILE ENOMEM EACCES"), ("write", "EINTR EAGAIN EPIPE EBADF ENOSPC"),
    ("read", "EINTR EAGAIN EBADF EIO"), ("close", "EINTR EBADF EIO"), ("pselect", "EINTR EBADF ENOMEM EINVAL"),
    ("ioctl", "EINTR EBADF EIO ENOTTY"), ("shmget", "ENOENT ENOMEM EACCES"), ("shmat", "EINVAL ENOMEM EACCES"),
    ("ftok", "ENOENT EACCES"), ("timer_create", "EAGAIN ENOMEM"), ("pipe2", "EMFILE ENFILE"), ("calloc", "ENOMEM"),
    ("fstat", "EBADF ENOMEM"), ("shmdt timer_settime timer_delete sigaction sigprocmask", "EINVAL")] for fn in fns.split()}
MODES = ("once", "persist")


def norm(line):
    """A log line without its process id and the numbers that vary by run."""
    line = re.sub(r"0x[0-9a-f]+", "0x", re.sub(r"\[\d+\]", "[]", line))
    return re.sub(r"/tmp/kvoboard\.[A-Za-z0-9]+", "ROOT", line)


def run_scenario(build, tmp, name, fault):
    """One run with the KVO_FAULT_ variables of fault; what it observed."""
    trace, calls = os.path.join(tmp, name + ".trace"), os.path.join(tmp, name + ".calls")
    env = dict(os.environ, KVO_FAULT_TRACE=trace, **fault, **({} if fault else {"KVO_FAULT_CALLS": calls}))
    cmd = [os.path.join(build, p) for p in ("faults/kvofaultscn", "gdbt/kvogdbt", "faults/libkvofault.so")]
    t0, out = time.time(), {"fds_end": [], "received": {}}
    try:
        p = subprocess.run(cmd, capture_output=True, env=env, timeout=180, text=True, errors="replace")
        head, _, out["log"] = p.stdout.partition("\nlog\n")
        for key, _, value in (line.partition(" ") for line in head.splitlines()):
            if key == "fd":
                out["fds_end"].append(value)
            elif key == "received":
                out["received"][value.split()[0]] = int(value.split()[1])
            else:
                out[key] = value if key == "error" else int(value)
        if "exited" not in out:
            out.setdefault("error", "no result: " + p.stderr[-300:])
    except (subprocess.TimeoutExpired, ValueError, IndexError) as e:
        out["error"] = "bad run: %s" % e
    out["duration_s"] = round(time.time() - t0, 2)
    for key, path in (("injected", trace), ("calls", calls)):
        with open(path, "a+", errors="replace") as f:
            f.seek(0)
            out[key] = f.read().splitlines()
    return out


def judge(run, ref, ref_lines, fn):
    """The verdict (pass, fail, stuck, error) and the reasons."""
    if "error" in run:
        return "error", [run["error"]]
    lines = [norm(l) for l in run["log"].splitlines()]
    run["new_lines"] = [l for l in lines if l not in ref_lines][:8]
    reasons = ["died by signal %d" % run["signal"]] if run["signal"] and not run["killed"] else []
    if run["killed"] or run["stuck"]:
        what = "killed at the bound" if run["killed"] else "commands left unread"
        # From the Nth call on every wait or every read (the command FIFO's
        # too) fails: nothing is left to make progress with.
        if run["mode"] == "persist" and fn in ("pselect", "read"):
            return "stuck", reasons + ["no progress (%s)" % what]
        return "fail", reasons + ["hang: no progress (%s)" % what]
    said = lambda *texts: any(t in l for l in lines for t in texts)  # noqa: E731
    st = run["status"]
    if run["exited"] and (st not in (0, 1) or (st == 0 and not said("end of TermProc")) or
                          (st == 1 and not said("initProc error", "termProc error", "malloc error"))):
        reasons.append("exit status %d without its report" % st)
    if run["exited"] and st == 0 and said("termProc error"):
        reasons.append("exit 0 after termProc error")
    if 0 <= run["fd_start"] < run["fd_end"]:
        reasons.append("descriptors grew from %d to %d" % (run["fd_start"], run["fd_end"]))
    reasons += ["descriptor left on a peer FIFO: " + t for t in run["fds_end"]
                if "/tmp/pipe/Fifo" in t and "FifoGdbt" not in t]
    got, want = run["received"], ref["received"]
    for k, n in got.items():
        if k.endswith(":stray"):
            reasons.append("partial frame on %s (%d bytes)" % (k, n))
        elif k.endswith(":-1"):
            reasons.append("frame with a wrong sender on %s" % k)
        elif n > want.get(k, 0):
            reasons.append("duplicate or unexpected frame %s: %d, reference %d" % (k, n, want.get(k, 0)))
    run["missing"] = {k: n - got.get(k, 0) for k, n in want.items() if got.get(k, 0) < n}
    if run["missing"] and not run["new_lines"] and run["exited"]:
        reasons.append("frames missing without any report: %s" % run["missing"])
    return ("fail" if reasons else "pass"), reasons


def plan(ref, full):
    """The runs: (function, call index, errno, mode)."""
    by_fn = collections.defaultdict(list)
    for line in ref["calls"]:
        fn, idx, detail = (line.split(" ", 2) + [""])[:3]
        by_fn[fn].append((int(idx), re.sub(r"pipe:\[\d+\]", "pipe", re.sub(r"fd=\d+:", "", detail))))
    runs = []
    for fn, calls in sorted(by_fn.items()):
        cases = [(e, m) for e in ERRNOS.get(fn, ["EIO"]) for m in MODES]
        if full:
            runs += [(fn, idx, e, m) for idx, _ in calls for e, m in cases]
            continue
        firsts = {}
        for idx, obj in calls:
            firsts.setdefault(obj, idx)
        picks = sorted({calls[0][0], calls[-1][0], *firsts.values()})
        if len(picks) > 4:
            picks = [picks[round(i * (len(picks) - 1) / 3)] for i in range(4)]
        runs += [(fn, picks[i % len(picks)]) + cases[i % len(cases)] for i in range(max(len(picks), len(cases)))]
    return runs


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", required=True, help="the host build folder")
    ap.add_argument("--out", required=True, help="the results folder")
    ap.add_argument("--mode", choices=["ci", "full"], default="ci")
    ap.add_argument("--jobs", type=int, default=4, help="runs at a time")
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    tmp = tempfile.TemporaryDirectory(prefix="kvosweep.")
    ref = run_scenario(a.build, tmp.name, "reference", {})
    if "error" in ref or ref.get("status") != 0:
        sys.exit("fault sweep: the run without a fault failed: %s" % {k: v for k, v in ref.items() if k != "calls"})
    ref_lines = set(norm(l) for l in ref["log"].splitlines())
    runs = sorted(plan(ref, a.mode == "full"), key=lambda r: r[3] != "persist")  # the long runs first
    print("fault sweep (%s): %d failable calls in the scenario, %d runs, %d at a time"
          % (a.mode, len(ref["calls"]), len(runs), a.jobs), flush=True)

    def one(r):
        fn, idx, e, m = r
        fault = {"KVO_FAULT_FN": fn, "KVO_FAULT_NTH": str(idx), "KVO_FAULT_ERRNO": str(getattr(errno, e)),
                 "KVO_FAULT_MODE": m}
        out = dict(run_scenario(a.build, tmp.name, "%s-%d-%s-%s" % r, fault), fn=fn, nth=idx, errno=e, mode=m)
        out["verdict"], out["reasons"] = judge(out, ref, ref_lines, fn)
        out.pop("log", None), out.pop("calls", None)
        if out["verdict"] != "pass":
            print("  %-7s %s #%d %s %s: %s" % (out["verdict"], fn, idx, e, m, "; ".join(out["reasons"])), flush=True)
        return out

    t0 = time.time()
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as ex:
        results = list(ex.map(one, runs))
    with open(os.path.join(a.out, "results.jsonl"), "w") as f:
        f.writelines(json.dumps(r) + "\n" for r in results)
    by_case = collections.defaultdict(collections.Counter)
    for r in results:
        by_case["%s %s %s" % (r["fn"], r["errno"], r["mode"])][r["verdict"]] += 1
    verdicts = collections.Counter(r["verdict"] for r in results)
    doc = {"mode": a.mode, "runs": len(results), "seconds": round(time.time() - t0), "verdicts": verdicts,
           "calls": collections.Counter(l.split(" ", 1)[0] for l in ref["calls"]), "by_case": by_case,
           "failures": [{k: r[k] for k in ("fn", "nth", "errno", "mode", "verdict", "reasons", "injected")}
                        for r in results if r["verdict"] in ("fail", "error")]}
    with open(os.path.join(a.out, "summary.json"), "w") as f:
        json.dump(doc, f, indent=1)
    print("fault sweep: %d runs in %d s: %s" % (len(results), doc["seconds"], dict(verdicts)))
    return 0 if verdicts["fail"] + verdicts["error"] == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
