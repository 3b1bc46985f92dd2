#!/usr/bin/env python3
"""Fault sweep: runs the fault scenario (kvofaultscn) once without a fault to
count the service's calls and record the reference, then once per injected
fault, and judges every run against the reference.

A run passes when the service
  - did not die by a signal, and ended by itself within the bound (a run
    whose fault makes every wait fail is reported as "stuck" apart);
  - exited 0 after "end of TermProc", or 1 after "initProc error" or
    "termProc error";
  - held no more descriptors at the last step than after start-up, and none
    on a peer FIFO;
  - delivered no frame more often than the reference run did, no frame with
    a wrong sender and no stray bytes;
  - and, for every frame it delivered less often, logged a report (a line the
    reference run does not have).
Output: one JSON object per run (results.jsonl) and a summary (summary.json).
"""
import argparse
import collections
import concurrent.futures
import json
import os
import re
import subprocess
import sys
import tempfile
import time

# The errnos each function is failed with (EIO for one not listed).
ERRNOS = {fn: errs.split() for fns, errs in [
    ("open", "EINTR ENOENT ENXIO EMFILE ENOMEM EACCES"),
    ("fopen", "EINTR ENOENT ENXIO EMFILE ENOMEM"),
    ("openat", "EINTR ENOENT ENXIO EMFILE"),
    ("read", "EINTR EAGAIN EBADF EIO"),
    ("write", "EINTR EAGAIN EPIPE EBADF ENOSPC"),
    ("close", "EINTR EBADF EIO"),
    ("pselect", "EINTR EBADF ENOMEM EINVAL"),
    ("select", "EINTR EBADF ENOMEM"),
    ("poll ppoll", "EINTR ENOMEM"),
    ("ioctl", "EINTR EBADF EIO ENOTTY"),
    ("fcntl", "EBADF EINVAL"),
    ("mkfifo", "ENOENT EACCES EEXIST"),
    ("shmget", "ENOENT ENOMEM EACCES"),
    ("shmat", "EINVAL ENOMEM EACCES"),
    ("shmctl", "EINVAL EIDRM"),
    ("ftok stat", "ENOENT EACCES"),
    ("timer_create", "EAGAIN ENOMEM"),
    ("shmdt timer_settime timer_gettime timer_delete sigaction sigprocmask", "EINVAL"),
    ("pipe pipe2", "EMFILE ENFILE"),
    ("fwrite fflush", "EAGAIN EPIPE"),
    ("fclose", "EINTR EPIPE EAGAIN"),
    ("nanosleep usleep clock_nanosleep", "EINTR"),
    ("malloc calloc", "ENOMEM"),
    ("fstat", "EBADF ENOMEM"),
    ("lstat unlink", "ENOENT"),
    ("dup", "EMFILE"),
    ("dup2", "EBADF"),
    ("kill", "EPERM"),
] for fn in fns.split()}
MODES = ["once", "persist"]

# Faults found and reported, whose fix is pending: their runs are listed as
# "known" and do not fail the sweep.  None at present.  (function, errno, mode, text in the
# injected call's record, what is wrong)
KNOWN = []


def norm(line):
    """A log line without its process id and the numbers that vary by run."""
    line = re.sub(r"\[\d+\]", "[]", line)
    line = re.sub(r"0x[0-9a-f]+", "0x", line)
    return re.sub(r"/tmp/kvoboard\.[A-Za-z0-9]+", "ROOT", line)


def run_scenario(build, fault, tmpdir, name, timeout=180):
    """One run; fault: the KVO_FAULT_ variables that choose the failure."""
    trace, calls = os.path.join(tmpdir, name + ".trace"), os.path.join(tmpdir, name + ".calls")
    env = dict(os.environ, **fault, KVO_FAULT_TRACE=trace)
    if name == "reference":
        env["KVO_FAULT_CALLS"] = calls
    cmd = [os.path.join(build, "faults/kvofaultscn"), os.path.join(build, "gdbt/kvogdbt"),
           os.path.join(build, "faults/libkvofault.so")]
    t0 = time.time()
    try:
        p = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                           timeout=timeout, text=True, errors="replace")
        out = json.loads(p.stdout.strip().splitlines()[-1]) if p.stdout.strip() else {"error": p.stderr[-500:]}
    except subprocess.TimeoutExpired:
        out = {"error": "scenario timed out"}
    except (json.JSONDecodeError, IndexError) as e:
        out = {"error": "bad output: %s" % e}
    out["duration_s"] = round(time.time() - t0, 2)

    def lines(path):
        with open(path, errors="replace") as f:
            return [l.rstrip("\n") for l in f]
    out["injected"] = lines(trace)[:20] if os.path.exists(trace) else []
    if name == "reference":
        out["calls"] = lines(calls) if os.path.exists(calls) else []
    elif os.path.exists(trace):
        os.unlink(trace)
    return out


def judge(run, ref, ref_lines, fn):
    reasons = []
    if "error" in run:
        return "error", [run["error"]]
    lines = [norm(l) for l in run.get("log", "").splitlines()]
    new_lines = [l for l in lines if l not in ref_lines]
    run["new_lines"] = new_lines[:8]
    if run.get("signal") and not run.get("killed"):
        reasons.append("died by signal %d" % run["signal"])
    if run.get("log_bytes", 0) > 10 * max(1, len(ref.get("log", ""))) and run.get("log_bytes", 0) > 1 << 20:
        run["log_flood"] = True
    if run.get("killed") or run.get("stuck"):
        what = "killed at the bound" if run.get("killed") else "commands left unread"
        # A wait or command read that never succeeds again leaves nothing to
        # make progress with; any other fault must not stop the service.
        # (From the Nth call on, every read fails: the command FIFO's too.)
        if run.get("mode") == "persist" and fn in ("pselect", "select", "read"):
            return "stuck", reasons + ["no progress (%s)" % what]
        return "fail", reasons + ["hang: no progress (%s)" % what]
    if run.get("exited"):
        st = run["status"]
        if st == 0 and not any(l.endswith("end of TermProc") for l in lines):
            reasons.append("exit 0 without end of TermProc")
        elif st == 1 and not any(("initProc error" in l or "termProc error" in l or "malloc error" in l)
                                 for l in lines):
            reasons.append("exit 1 without a reported failure")
        elif st not in (0, 1):
            reasons.append("exit status %d" % st)
        if st == 0 and any("termProc error" in l for l in lines):
            reasons.append("exit 0 after termProc error")
    fs, fe = run.get("fd_start", -1), run.get("fd_end", -1)
    if fs >= 0 and fe >= 0 and fe > fs:
        reasons.append("descriptors grew from %d to %d" % (fs, fe))
    for t in run.get("fds_end", []):
        if "/tmp/pipe/Fifo" in t and "FifoGdbt" not in t:
            reasons.append("descriptor left on a peer FIFO: %s" % t)
    got, want = run.get("received", {}), ref.get("received", {})
    for k, n in got.items():
        if k.endswith(":stray"):
            reasons.append("partial frame on %s (%d bytes)" % (k, n))
        elif k.endswith(":-1"):
            reasons.append("frame with a wrong sender on %s" % k)
        elif n > want.get(k, 0):
            reasons.append("duplicate or unexpected frame %s: %d, reference %d" % (k, n, want.get(k, 0)))
    missing = {k: want[k] - got.get(k, 0) for k in want if got.get(k, 0) < want[k]}
    run["missing"] = missing
    if missing and not new_lines and run.get("exited"):
        reasons.append("frames missing without any report: %s" % missing)
    return ("fail" if reasons else "pass"), reasons


def plan(ref, mode, budget):
    by_fn = collections.defaultdict(list)
    for line in ref.get("calls", []):
        parts = line.split(" ", 2)
        if len(parts) >= 2:
            by_fn[parts[0]].append((int(parts[1]), parts[2] if len(parts) > 2 else ""))
    runs = []
    for fn, calls in sorted(by_fn.items()):
        picks = [c[0] for c in calls]
        if mode != "full":
            # The first and last call, and calls on distinct objects (the
            # first call on each FIFO, device or file), up to four per function.
            seen, picks = set(), []
            for idx, detail in calls:
                obj = re.sub(r"pipe:\[\d+\]", "pipe", re.sub(r"fd=\d+:", "", detail))
                if obj not in seen:
                    seen.add(obj)
                    picks.append(idx)
            picks = sorted(set([calls[0][0], calls[-1][0]] + picks))
            if len(picks) > 4:
                step = (len(picks) - 1) / 3.0
                picks = sorted(set(picks[int(round(i * step))] for i in range(4)))
        runs += [(fn, idx, e, m) for idx in picks for e in ERRNOS.get(fn, ["EIO"]) for m in MODES]
    if mode != "full" and budget and len(runs) > budget:
        # Keep every function and errno; thin out the call indices evenly.
        groups = collections.defaultdict(list)
        for r in runs:
            groups[(r[0], r[2], r[3])].append(r)
        per = max(1, budget // max(1, len(groups)))
        runs = []
        for g in groups.values():
            step = (len(g) - 1) / float(max(1, per - 1)) if per > 1 else 0
            runs += g if len(g) <= per else [g[int(round(i * step))] for i in range(per)]
    return runs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--mode", choices=["ci", "full"], default="ci")
    ap.add_argument("--jobs", type=int, default=4)
    ap.add_argument("--budget", type=int, default=220, help="most runs in ci mode")
    a = ap.parse_args()
    os.makedirs(a.out, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="kvosweep.")
    ref = run_scenario(a.build, {}, tmp, "reference")
    if "error" in ref or ref.get("status") != 0:
        print("reference run failed: %s" % {k: v for k, v in ref.items() if k != "calls"}, file=sys.stderr)
        return 1
    ref_lines = set(norm(l) for l in ref.get("log", "").splitlines())
    with open(os.path.join(a.out, "reference.json"), "w") as f:
        json.dump(ref, f, indent=1)
    runs = plan(ref, a.mode, a.budget)
    calls_by_fn = collections.Counter(l.split(" ", 1)[0] for l in ref.get("calls", []))
    print("fault sweep (%s): %d failable calls in the scenario, %d runs, %d jobs"
          % (a.mode, sum(calls_by_fn.values()), len(runs), a.jobs), flush=True)

    def one(r):
        fn, idx, e, m = r
        out = run_scenario(a.build, {"KVO_FAULT_FN": fn, "KVO_FAULT_NTH": str(idx), "KVO_FAULT_ERRNO": e,
                                     "KVO_FAULT_MODE": m}, tmp, "%s-%d-%s-%s" % r)
        out["mode"] = m
        verdict, reasons = judge(out, ref, ref_lines, fn)
        injected = " ".join(out.get("injected", []))
        for kfn, kerr, kmode, ktext, why in KNOWN:
            if verdict == "fail" and (fn, e, m) == (kfn, kerr, kmode) and ktext in injected:
                verdict, reasons = "known", reasons + ["known: " + why]
        out.pop("log", None)
        out.update({"fn": fn, "nth": idx, "errno": e, "mode": m, "verdict": verdict, "reasons": reasons})
        return out

    results = []
    t0 = time.time()
    with concurrent.futures.ThreadPoolExecutor(a.jobs) as ex:
        for res in ex.map(one, runs):
            results.append(res)
            if res["verdict"] != "pass":
                print("  %-7s %s #%d %s %s: %s" % (res["verdict"], res["fn"], res["nth"], res["errno"],
                                                   res["mode"], "; ".join(res["reasons"])), flush=True)
    with open(os.path.join(a.out, "results.jsonl"), "w") as f:
        for res in results:
            f.write(json.dumps(res) + "\n")
    summary = collections.OrderedDict()
    for res in results:
        summary.setdefault("%s %s %s" % (res["fn"], res["errno"], res["mode"]), collections.Counter())[res["verdict"]] += 1
    tot = collections.Counter(r["verdict"] for r in results)
    doc = {"mode": a.mode, "runs": len(results), "seconds": round(time.time() - t0),
           "calls": dict(calls_by_fn), "verdicts": dict(tot),
           "by_case": {k: dict(v) for k, v in summary.items()},
           "failures": [{k: r[k] for k in ("fn", "nth", "errno", "mode", "verdict", "reasons", "injected")}
                        for r in results if r["verdict"] in ("fail", "error", "known")],
           "stuck": [{k: r[k] for k in ("fn", "nth", "errno", "mode", "injected")}
                     for r in results if r["verdict"] == "stuck"]}
    with open(os.path.join(a.out, "summary.json"), "w") as f:
        json.dump(doc, f, indent=1)
    print("fault sweep: %d runs in %d s: %s" % (len(results), doc["seconds"], dict(tot)))
    subprocess.run(["rm", "-rf", tmp])
    return 0 if tot.get("fail", 0) == 0 and tot.get("error", 0) == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
