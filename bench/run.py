#!/usr/bin/env python3
"""Runs every benchmark of the service and writes bench/results.md and
bench/latency.png.  Called by scripts/bench, which builds first; all figures
come from one run on one machine.

The harness (kvobench) prints "name value" lines; strace, callgrind, size
and Google Benchmark are read from their own outputs.  Standard library only.
"""
import argparse
import datetime
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

QUICK = dict(press_sc=100, presses=200, holds=10, idle_s=10, frames=200, cg_frames=100, tput=8000,
             tput_reps=1, rtt=50, expiries=20, micro_min_time="0.05")
FULL = dict(press_sc=300, presses=1000, holds=100, idle_s=60, frames=1000, cg_frames=300, tput=40000,
            tput_reps=3, rtt=200, expiries=120, micro_min_time=None)
HOLD_POLLS = 12

# The device emulation's preload runs inside the service: these calls are its
# own (each emulated read or request is a socket round trip with signals
# blocked; each open is followed by a stat of the descriptor).
PRELOAD_CALLS = {"sendto", "recvfrom", "sendmsg", "recvmsg", "rt_sigprocmask", "clock_nanosleep"}

# What one command frame needs at the least: the wait, one read, the check
# open and its close, the append open, one write and its close; the bounded,
# FIFO-checked send adds the fstat of the appended descriptor.
DESIGN_MIN = {"wait": 1, "read": 1, "open": 2, "close": 2, "write": 1}
SEND_EXTRA = {"fstat": 1}
SYSCALL_CLASS = {"pselect6": "wait", "pselect": "wait", "_newselect": "wait", "select": "wait",
                 "read": "read", "open": "open", "openat": "open", "close": "close",
                 "write": "write", "fstat": "fstat", "newfstatat": "fstat", "fstat64": "fstat",
                 "statx": "fstat"}


def log(msg):
    print(f"[bench] {msg}", flush=True)


class Bench:
    def __init__(self, args):
        self.a = args
        self.p = QUICK if args.quick else FULL
        self.build = os.path.abspath(args.build)
        self.kvobench = os.path.join(self.build, "bench", "kvobench")
        self.micro = os.path.join(self.build, "bench", "kvobench_micro")
        self.refloop = os.path.join(self.build, "bench", "reference", "refloop")
        self.gdbt = os.path.join(self.build, "gdbt", "kvogdbt")
        self.runtime_lib = os.path.join(self.build, "runtime", "libkvoruntime.a")
        self.data = os.path.join(self.build, "bench-data")
        os.makedirs(self.data, exist_ok=True)
        self.r = {}  # every figure, by name
        self.notes = []

    def build_type(self):
        try:
            with open(os.path.join(self.build, "CMakeCache.txt")) as f:
                for line in f:
                    if line.startswith("CMAKE_BUILD_TYPE:"):
                        return line.split("=", 1)[1].strip() or "none"
        except OSError:
            pass
        return "unknown"

    # ---- running ----
    def harness(self, *argv, wrap=None, check=True):
        cmd = [self.kvobench, *map(str, argv)]
        if wrap:
            cmd += ["--", *wrap]
        out = subprocess.run(cmd, capture_output=True, text=True)
        if check and out.returncode != 0:
            raise SystemExit(f"kvobench {' '.join(map(str, argv))} failed ({out.returncode}):\n"
                             f"{out.stdout}\n{out.stderr}")
        figures = {}
        for line in out.stdout.splitlines():
            parts = line.split()
            if len(parts) == 2:
                try:
                    figures[parts[0]] = float(parts[1])
                except ValueError:
                    figures[parts[0]] = parts[1]
        return figures

    def loadavg(self):
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])

    # ---- figures ----
    def run_micro(self):
        log("in-process costs (Google Benchmark)")
        if not os.path.exists(self.micro):
            self.notes.append("Google Benchmark not built: no in-process figures.")
            return
        out = os.path.join(self.data, "micro.json")
        cmd = [self.micro, "--benchmark_format=console", f"--benchmark_out={out}",
               "--benchmark_out_format=json"]
        if self.p["micro_min_time"]:
            cmd.append(f"--benchmark_min_time={self.p['micro_min_time']}")
        subprocess.run(cmd, check=True, capture_output=True)
        with open(out) as f:
            j = json.load(f)
        scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
        self.r["micro"] = [(b["name"], b["real_time"] * scale[b["time_unit"]],
                            b["cpu_time"] * scale[b["time_unit"]]) for b in j["benchmarks"]]

    def run_rtt(self):
        # Each request after a pause, as the service makes them: a press a few
        # milliseconds after the last, a poll 250 ms after the last (20 ms is
        # enough for both ends to be asleep again).
        log("emulated driver round trip; one 250 ms timer expiry without the service")
        n = self.p["rtt"]
        self.r["rtt_press"] = self.harness("rtt", "--count", n, "--gap-ms", 2)
        self.r["rtt_idle"] = self.harness("rtt", "--count", n, "--gap-ms", 20)
        self.r["rtt_load"] = self.harness("rtt", "--count", n, "--gap-ms", 20, "--load", 2)
        self.r["timer_idle"] = self.harness("timer", "--count", self.p["expiries"])
        self.r["timer_load"] = self.harness("timer", "--count", self.p["expiries"], "--load", 2)

    def run_latency(self):
        log("press to press event")
        n = self.p["presses"]
        self.r["press_off"] = self.harness("latency", "--count", n, "--samples",
                                           os.path.join(self.data, "press_off.txt"))
        self.r["press_hold"] = self.harness("latency", "--count", n, "--hold", "--samples",
                                            os.path.join(self.data, "press_hold.txt"))

    def run_hold(self):
        n = self.p["holds"]
        log(f"press to guard request, {n} holds idle and {n} under load (about {7 * n} s)")
        self.r["hold_idle"] = self.harness("hold", "--count", n, "--samples",
                                           os.path.join(self.data, "hold_idle.txt"), check=False)
        self.r["hold_load"] = self.harness("hold", "--count", n, "--load", 2, "--samples",
                                           os.path.join(self.data, "hold_load.txt"), check=False)

    def run_idle(self):
        log(f"idle cost over {self.p['idle_s']} s")
        self.r["idle"] = self.harness("idle", "--seconds", self.p["idle_s"])

    def strace_counts(self, n, level, ref, press=None):
        if press is None:
            out = os.path.join(self.data, f"strace-{'ref' if ref else level}-{n}.txt")
            argv = ["frames", "--count", n, "--level", level]
            if ref:
                argv += ["--ref", self.refloop]
        else:
            out = os.path.join(self.data, f"strace-press-{press}-{n}.txt")
            argv = ["latency", "--count", n] + (["--hold"] if press == "hold" else [])
        self.harness(*argv, wrap=["strace", "-f", "-c", "-o", out])
        counts = {}
        with open(out) as f:
            for line in f:
                m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?([a-z_0-9]+)\s*$", line)
                if m and m.group(2) != "total":
                    counts[m.group(2)] = int(m.group(1))
        return counts

    def run_syscalls(self):
        if not shutil.which("strace"):
            self.notes.append("strace not installed: no system-call counts.")
            return
        n = self.p["frames"]
        for key, level, ref in (("sc6", 6, False), ("sc7", 7, False), ("scref", 6, True)):
            log(f"system calls per frame: {'reference loop' if ref else f'level {level}'}")
            c1 = self.strace_counts(n, level, ref)
            c2 = self.strace_counts(2 * n, level, ref)
            per = {k: (c2.get(k, 0) - c1.get(k, 0)) / n for k in set(c1) | set(c2)}
            self.r[key] = {k: v for k, v in per.items() if abs(v) >= 0.005}
        n = self.p["press_sc"]
        for press in ("off", "hold"):
            log(f"system calls per press: hold timing {press if press == 'off' else 'on'}")
            c1 = self.strace_counts(n, 6, False, press)
            c2 = self.strace_counts(2 * n, 6, False, press)
            per = {k: (c2.get(k, 0) - c1.get(k, 0)) / n for k in set(c1) | set(c2)}
            self.r[f"sp_{press}"] = {k: v for k, v in per.items() if abs(v) >= 0.005}

    def callgrind(self, n, level, ref):
        out = os.path.join(self.data, f"callgrind-{'ref' if ref else level}-{n}.out")
        argv = ["frames", "--count", n, "--level", level]
        if ref:
            argv += ["--ref", self.refloop]
        self.harness(*argv, wrap=["valgrind", "--tool=callgrind", "-q", f"--callgrind-out-file={out}"])
        total = 0
        with open(out) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    total = int(line.split()[1])
        return out, total

    @staticmethod
    def annotate(path, inclusive):
        out = subprocess.run(["callgrind_annotate", "--auto=no", f"--inclusive={'yes' if inclusive else 'no'}",
                              "--threshold=100", path], capture_output=True, text=True).stdout
        costs = {}
        for line in out.splitlines():
            m = re.match(r"\s*([\d,]+)\s+\([\s\d.]+%\)\s+(.*?)\s*(\[.*\])?$", line)
            if not m or "PROGRAM TOTALS" in line:
                continue
            name = m.group(2)
            name = name.split(":", 1)[1] if ":" in name else name
            name = re.sub(r"\(.*\)$", "", name).strip()  # C++ argument lists
            ir = int(m.group(1).replace(",", ""))
            # Code inlined from a header is listed under the header's name as
            # a function of its own: self costs add up, inclusive ones overlap.
            costs[name] = max(costs.get(name, 0), ir) if inclusive else costs.get(name, 0) + ir
        return costs

    def run_instructions(self):
        if not shutil.which("valgrind"):
            self.notes.append("valgrind not installed: no instruction counts.")
            return
        n = self.p["cg_frames"]
        for key, level, ref in (("ir6", 6, False), ("ir7", 7, False), ("irref", 6, True)):
            log(f"instructions per frame: {'reference loop' if ref else f'level {level}'}")
            f1, t1 = self.callgrind(n, level, ref)
            f2, t2 = self.callgrind(2 * n, level, ref)
            res = {"per_frame": (t2 - t1) / n}
            if not ref and shutil.which("callgrind_annotate"):
                for incl in (False, True):
                    a1, a2 = self.annotate(f1, incl), self.annotate(f2, incl)
                    diff = {k: (a2.get(k, 0) - a1.get(k, 0)) / n for k in set(a1) | set(a2)}
                    res["inclusive" if incl else "self"] = {k: v for k, v in diff.items() if v >= 1}
            self.r[key] = res

    def run_throughput(self):
        n = self.p["tput"]
        for what in ("service", "reference", "raw"):
            log(f"throughput: {what}")
            rates = []
            for _ in range(self.p["tput_reps"]):
                argv = ["throughput", "--what", what, "--count", n, "--writers", 4]
                if what == "reference":
                    argv += ["--ref", self.refloop]
                rates.append(self.harness(*argv)["frames_per_s"])
            self.r[f"tput_{what}"] = statistics.median(rates)
        self.r["tput_frames"] = n

    def run_monitor(self):
        # The round trip of one command frame, alone and with kvomsg monitor
        # following the service (every call of the service stops for it).
        n = self.p["frames"]
        log("per-frame cost with kvomsg monitor attached")
        runs = {"plain": [], "monitored": []}
        for _ in range(self.p["tput_reps"]):
            for key, extra in (("plain", []), ("monitored", ["--monitor"])):
                f = self.harness("frames", "--count", n, "--level", 6, *extra, check=False)
                if "frame_round_trip_us" not in f or f.get("stop_status") != 0 or \
                        (extra and f.get("monitor_lines") != 2 * n + 2):
                    self.notes.append("kvomsg monitor could not follow the service (no ptrace permission?): "
                                      "no figure for its cost.")
                    return
                runs[key].append(f["frame_round_trip_us"])
        self.r["monitor"] = {k: statistics.median(v) for k, v in runs.items()}
        self.r["monitor"]["frames"] = n

    def run_footprint(self):
        log("footprint")
        self.r["mem"] = self.harness("footprint", "--ref", self.refloop)

    # ---- sizes ----
    @staticmethod
    def sizes(path, tool_prefix, is_archive):
        strip = shutil.which(tool_prefix + "strip")
        size = shutil.which(tool_prefix + "size")
        if not (os.path.exists(path) and strip and size):
            return None
        with tempfile.TemporaryDirectory() as tmp:
            out = os.path.join(tmp, os.path.basename(path))
            flags = ["--strip-debug"] if is_archive else ["--strip-all"]
            subprocess.run([strip, *flags, "-o", out, path], check=True)
            sysv = subprocess.run([size, "-A", out], capture_output=True, text=True, check=True).stdout
            berk = subprocess.run([size, out], capture_output=True, text=True, check=True).stdout
            dot_text = sum(int(m.group(1)) for m in re.finditer(r"^\.text\s+(\d+)", sysv, re.M))
            text = sum(int(line.split()[0]) for line in berk.splitlines()[1:] if line.split()
                       and line.split()[0].isdigit())
            return dict(dot_text=dot_text, text=text, file=os.path.getsize(out))

    def run_sizes(self):
        log("text sizes")
        host = dict(gdbt=self.sizes(self.gdbt, "", False),
                    lib=self.sizes(self.runtime_lib, "", True),
                    ref=self.sizes(self.refloop, "", False))
        self.r["size_host"] = host
        target = None
        if self.a.ppc_build:
            pb = os.path.abspath(self.a.ppc_build)
            rb = os.path.abspath(self.a.ppc_ref_build or pb + "-reference")
            target = dict(gdbt=self.sizes(os.path.join(pb, "gdbt", "kvogdbt"), "powerpc-linux-gnu-", False),
                          lib=self.sizes(os.path.join(pb, "runtime", "libkvoruntime.a"),
                                         "powerpc-linux-gnu-", True),
                          ref=self.sizes(os.path.join(rb, "refloop"), "powerpc-linux-gnu-", False))
            if not all(target.values()):
                target = None
        self.r["size_target"] = target

    # ---- picture ----
    def picture(self, png):
        if not shutil.which("gnuplot"):
            self.notes.append("gnuplot not installed: no picture.")
            return False

        def samples(name):
            path = os.path.join(self.data, name)
            if not os.path.exists(path):
                return path, []
            with open(path) as f:
                return path, sorted(float(x) for x in f if x.strip())

        po, so = samples("press_off.txt")
        ph, sh = samples("press_hold.txt")
        hi, si = samples("hold_idle.txt")
        hl, sl = samples("hold_load.txt")
        allp = sorted(so + sh)
        pmax = max(1100.0, allp[int(0.995 * (len(allp) - 1))] * 1.15) if allp else 1100.0
        allh = sorted(si + sl)
        hmax = max(22.0, max(allh) * 1.05) if allh else 22.0
        hmin = min(0.0, min(allh) - 0.5) if allh else 0.0
        title = (f"kvogdbt on the emulated board, {platform.node()}, "
                 f"{'quick' if self.a.quick else 'full'} run {self.r['date']}")
        subprocess.run(["gnuplot", "-e",
                        f"out='{png}'; title_text='{title}'; press_off='{po}'; press_hold='{ph}'; "
                        f"hold_idle='{hi}'; hold_load='{hl}'; press_xmax={pmax:.0f}; "
                        f"press_w={max(5.0, pmax / 80):.1f}; hold_xmin={hmin:.1f}; hold_xmax={hmax:.1f}; "
                        f"hold_w={max(0.1, (hmax - hmin) / 80):.2f}",
                        os.path.join(self.a.source, "bench", "latency.gp")], check=True)
        beyond = sum(1 for x in allp if x > pmax)
        if beyond:
            self.notes.append(f"{beyond} press latencies lie beyond the picture's axis ({pmax:.0f} us); "
                              "the table has them.")
        return True

    # ---- all ----
    def run(self):
        figures = os.path.join(self.data, "figures.json")
        if self.a.report_only:
            with open(figures) as f:
                self.r = json.load(f)
        else:
            self.r["date"] = datetime.datetime.now().strftime("%Y-%m-%d %H:%M")
            self.r["load_before"] = self.loadavg()
            steps = [self.run_sizes, self.run_micro, self.run_rtt, self.run_latency, self.run_idle,
                     self.run_syscalls, self.run_instructions, self.run_throughput, self.run_monitor,
                     self.run_footprint, self.run_hold]
            for step in steps:
                step()
            self.r["load_after"] = self.loadavg()
            with open(figures, "w") as f:
                json.dump(self.r, f, indent=1)
        png = os.path.join(self.a.source, "bench", "latency.png")
        has_png = self.picture(png)
        md = Report(self, has_png).render()
        with open(os.path.join(self.a.source, "bench", "results.md"), "w") as f:
            f.write(md)
        log("wrote bench/results.md" + (" and bench/latency.png" if has_png else ""))
        return Report.verdict_failed


def ratio(value, limit):
    if limit in (0, None) or value is None:
        return "-"
    return f"{value / limit:.2f}"


def classify(per):
    classes = {}
    for name, v in per.items():
        c = SYSCALL_CLASS.get(name, name)
        classes[c] = classes.get(c, 0) + v
    return classes


class Report:
    verdict_failed = 0

    def __init__(self, bench, has_png):
        self.b = bench
        self.r = bench.r
        self.has_png = has_png

    def machine(self):
        cpu = "unknown CPU"
        try:
            with open("/proc/cpuinfo") as f:
                for line in f:
                    if line.startswith("model name"):
                        cpu = line.split(":", 1)[1].strip()
                        break
        except OSError:
            pass
        cxx = subprocess.run(["c++", "--version"], capture_output=True, text=True).stdout.splitlines()
        return (f"{cpu}, {os.cpu_count()} cores, Linux {platform.release()}; "
                f"{cxx[0] if cxx else 'c++'}; build type {self.b.build_type()}")

    def row(self, rows, name, measured, unit, limit, limit_text, lower_is_better=True, fmt="{:.1f}"):
        if measured is None:
            rows.append(f"| {name} | not measured | {limit_text} | - | - |")
            return
        met = "-"
        if limit is not None:
            ok = measured <= limit if lower_is_better else measured >= limit
            met = "yes" if ok else "**no**"
            if not ok:
                Report.verdict_failed += 1
        rows.append(f"| {name} | {fmt.format(measured)} {unit} | {limit_text} | "
                    f"{ratio(measured, limit) if limit else '-'} | {met} |")

    def headline(self):
        r = self.r
        rows = ["| Figure | Measured | Target or reference | Ratio | Met |",
                "|---|---|---|---|---|"]
        po, ph = r.get("press_off", {}), r.get("press_hold", {})
        self.row(rows, "Press to press event, median (hold timing off)", po.get("press_us_median"), "us",
                 200, "< 200 us")
        self.row(rows, "Press to press event, p99 (hold timing off)", po.get("press_us_p99"), "us",
                 1000, "< 1000 us")
        self.row(rows, "Press to press event, median (hold timing on)", ph.get("press_us_median"), "us",
                 200, "< 200 us")
        self.row(rows, "Press to press event, p99 (hold timing on)", ph.get("press_us_p99"), "us",
                 1000, "< 1000 us")
        read = self.emulated_read_us()
        if read and po:
            self.row(rows, "Press to press event, median, less the emulated read (estimate)",
                     po["press_us_median"] - read, "us", 200, "< 200 us")
        hi, hl = r.get("hold_idle", {}), r.get("hold_load", {})
        self.row(rows, "Guard request lateness, median, idle", hi.get("late_ms_median"), "ms", 5, "< 5 ms",
                 fmt="{:.2f}")
        self.row(rows, "Guard request lateness, max, idle", hi.get("late_ms_max"), "ms", 20, "< 20 ms",
                 fmt="{:.2f}")
        emu = self.emulated_hold_ms("rtt_idle")
        if emu and "late_ms_median" in hi:
            self.row(rows, "Guard request lateness, median, idle, less the emulated driver (estimate)",
                     hi["late_ms_median"] - emu, "ms", 5, "< 5 ms", fmt="{:.2f}")
        self.row(rows, f"Early guard requests, idle ({int(hi.get('late_ms_n', 0))} holds)",
                 hi.get("early"), "", 0, "0", fmt="{:.0f}")
        self.row(rows, "Guard request lateness, median, 2 cores loaded", hl.get("late_ms_median"), "ms", 5,
                 "< 5 ms (idle limit)", fmt="{:.2f}")
        self.row(rows, "Guard request lateness, max, 2 cores loaded", hl.get("late_ms_max"), "ms", 20,
                 "< 20 ms (idle limit)", fmt="{:.2f}")
        self.row(rows, f"Early guard requests, loaded ({int(hl.get('late_ms_n', 0))} holds)",
                 hl.get("early"), "", 0, "0", fmt="{:.0f}")
        idle = r.get("idle", {})
        self.row(rows, f"Wake-ups at idle over {int(idle.get('idle_seconds', 0))} s", idle.get("wakeups"), "",
                 0, "0", fmt="{:.0f}")
        self.row(rows, f"CPU time at idle over {int(idle.get('idle_seconds', 0))} s", idle.get("cpu_us"), "us",
                 0, "0", fmt="{:.0f}")
        sc6 = r.get("sc6")
        minimum = sum(DESIGN_MIN.values()) + sum(SEND_EXTRA.values())
        self.row(rows, "System calls per command frame, level 6", sum(sc6.values()) if sc6 else None, "",
                 minimum, f"<= {minimum} (design minimum {sum(DESIGN_MIN.values())} + fstat)", fmt="{:.2f}")
        sc7 = r.get("sc7")
        if sc7:
            lines = max(0.0, classify(sc7).get("write", 0) - 1)
            self.row(rows, "System calls per command frame, level 7", sum(sc7.values()), "",
                     minimum + lines, f"<= {minimum} + one per line logged ({lines:.0f} lines)", fmt="{:.2f}")
        ir6, ir7, irr = r.get("ir6"), r.get("ir7"), r.get("irref")
        refir = irr["per_frame"] if irr else None
        for key, ir in (("6", ir6), ("7", ir7)):
            self.row(rows, f"Instructions per command frame, level {key}", ir["per_frame"] if ir else None, "",
                     None, f"reference loop: {refir:.0f}" if refir else "-", fmt="{:.0f}")
            if ir and refir:
                rows[-1] = rows[-1].replace("| - | - |", f"| {ir['per_frame'] / refir:.2f} x reference | - |")
        ts, tr, tw = r.get("tput_service"), r.get("tput_reference"), r.get("tput_raw")
        if ts and tw:
            rows.append(f"| Command frames per second (901 answered by 621, 4 writers) | {ts:,.0f} /s | "
                        f"raw FIFO limit {tw:,.0f} /s; reference loop {tr:,.0f} /s | {ts / tw:.3f} of raw, "
                        f"{ts / tr:.2f} of reference | - |")
        mon = r.get("monitor")
        if mon:
            rows.append(f"| Per-frame cost with the monitor attached (`kvomsg monitor --pid`; 901 answered by "
                        f"621, one at a time, {mon['frames']:.0f} frames) | +{mon['monitored'] - mon['plain']:.0f} us "
                        f"(round trip {mon['monitored']:.0f} us) | round trip unmonitored {mon['plain']:.0f} us | "
                        f"{mon['monitored'] / mon['plain']:.1f} x | - |")
        mem = r.get("mem", {})
        if mem:
            rows.append(f"| Resident memory (VmRSS) of the running service | {mem['service_vmrss_kb']:.0f} kB | "
                        f"reference loop {mem['reference_vmrss_kb']:.0f} kB | "
                        f"{ratio(mem['service_vmrss_kb'], mem['reference_vmrss_kb'])} | - |")
            rows.append(f"| Private memory of the running service | {mem['service_private_kb']:.0f} kB | "
                        f"reference loop {mem['reference_private_kb']:.0f} kB | "
                        f"{ratio(mem['service_private_kb'], mem['reference_private_kb'])} | - |")
        for where, key in (("host", "size_host"), ("target", "size_target")):
            s = r.get(key)
            if s and s["gdbt"] and s["ref"]:
                rows.append(f"| .text of stripped kvogdbt ({where}) | {s['gdbt']['dot_text']:,} B | "
                            f"reference loop {s['ref']['dot_text']:,} B | "
                            f"{s['gdbt']['dot_text'] / s['ref']['dot_text']:.1f} | - |")
        return "\n".join(rows)

    def emulated_read_us(self):
        t = self.r.get("rtt_press")
        return t["emu_read_us_median"] if t else None

    def emulated_hold_ms(self, key):
        """What the emulated driver adds to one hold: twelve key-state requests
        and the press byte's read, each after the ends have gone to sleep."""
        t = self.r.get(key)
        return (HOLD_POLLS * t["emu_ioctl_us_median"] + t["emu_read_us_median"]) / 1000 if t else None

    def press_section(self):
        r = self.r
        out = ["## Press to press event", "",
               "CrKeyEmuPress to the 356 frame readable in FifoEk, presses 1 to 3 ms apart so that each "
               "finds the service waiting; hold timing off (CONFIG guard_button '0') and on (each press "
               "also cancels and restarts the hold timer).", "",
               "| Mode | n | min | median | p99 | max | mean |", "|---|---|---|---|---|---|---|"]
        for name, key in (("hold timing off", "press_off"), ("hold timing on", "press_hold")):
            f = r.get(key)
            if f:
                out.append(f"| {name} | {f['press_us_n']:.0f} | {f['press_us_min']:.0f} us | "
                           f"{f['press_us_median']:.0f} us | {f['press_us_p99']:.0f} us | "
                           f"{f['press_us_max']:.0f} us | {f['press_us_mean']:.0f} us |")
        read = self.emulated_read_us()
        micro = dict((n, t) for n, t, _ in r.get("micro", []))
        if read and r.get("press_off"):
            med = r["press_off"]["press_us_median"]
            handle = micro.get("BM_GDBTReadFuncPress/0")
            out += ["", "Where the median goes (hold timing off):", "",
                    f"- the emulated driver's read: the device preload asks the emulation's thread in the harness "
                    f"over its socket before each read of the event byte, {read:.0f} us median measured on its own "
                    f"(a native ioctl on a pipe takes {r['rtt_press']['native_ioctl_us_median']:.1f} us), "
                    f"{100 * read / med:.0f}% of the median;"]
            if handle:
                out.append(f"- the service's own handling of the press byte (read, 356 built and sent with the "
                           f"bounded send), measured in-process on a pipe: {handle / 1000:.1f} us;")
            rest = med - read - (handle / 1000 if handle else 0)
            out.append(f"- the rest, {rest:.0f} us: the event socket's hand-over of the byte and two process "
                       f"wake-ups (the service, then the harness reading FifoEk).")
            out.append(f"- Less the emulated read, the press latency is about {med - read:.0f} us: the figure "
                       f"to expect with a driver whose read costs a system call.")
        return "\n".join(out)

    def hold_section(self):
        r = self.r
        out = ["## Press to guard request", "",
               "CrKeyEmuPress with the key kept pressed, to the 255 frame readable in FifoAuth (direct mode, "
               "authentication flag '5'); lateness is the time beyond the ideal 3000 ms (twelve 250 ms "
               "polls). Each hold is also checked for exactly twelve key-state requests and no further poll.",
               "", "| Condition | holds | min | median | p99 | max | early | wrong poll count |",
               "|---|---|---|---|---|---|---|---|"]
        for name, key in (("idle", "hold_idle"), ("2 busy processes", "hold_load")):
            f = r.get(key)
            if f and "late_ms_n" in f:
                out.append(f"| {name} | {f['late_ms_n']:.0f} | {f['late_ms_min']:.2f} ms | "
                           f"{f['late_ms_median']:.2f} ms | {f['late_ms_p99']:.2f} ms | {f['late_ms_max']:.2f} ms | "
                           f"{f['early']:.0f} | {f['wrong_poll_count']:.0f} |")
        out += ["", "Where the lateness comes from. The hold timer is one-shot and re-armed relative to the "
                "moment each poll has read the key state, so whatever delays a poll moves every later one: "
                "the twelve delays add up. Measured apart, each by its median (a typical hold meets twelve "
                "typical delays; the rare long ones, mostly other processes' doing, make the tail):", "",
                "- the emulated driver: each key-state request is an ioctl that the device preload sends to "
                "the emulation's thread over its socket and waits for; measured after 20 ms of quiet, as a poll finds both "
                "ends asleep; plus the press byte's emulated read;",
                "- the platform: the lateness of one 250 ms POSIX timer expiry into a pselect wait in a "
                "process that does nothing else (timer slack "
                f"{r.get('timer_idle', {}).get('slack_ns', 50000) / 1000:.0f} us included);",
                "- the rest: the service's own work per poll (signal, pipe byte, two ComSelect turns, "
                "TimeUpFunc, re-arm) and, under load, the waits of the service and of the emulation's "
                "thread behind the busy processes at each of the poll's wake-ups.", "",
                "| Condition | median lateness | emulated driver: 12 ioctl + 1 read | platform: 12 expiries | "
                "rest | ioctl median (p99) | expiry median (p99) |", "|---|---|---|---|---|---|---|"]
        for name, hk, rk, tk in (("idle", "hold_idle", "rtt_idle", "timer_idle"),
                                 ("2 busy processes", "hold_load", "rtt_load", "timer_load")):
            h, t, x = r.get(hk), r.get(rk), r.get(tk)
            if h and t and x and "late_ms_median" in h:
                emu = self.emulated_hold_ms(rk)
                plat = HOLD_POLLS * x["expiry_late_us_median"] / 1000
                med = h["late_ms_median"]
                out.append(f"| {name} | {med:.2f} ms | {emu:.2f} ms ({100 * emu / med:.0f}%) | "
                           f"{plat:.2f} ms ({100 * plat / med:.0f}%) | {med - emu - plat:.2f} ms | "
                           f"{t['emu_ioctl_us_median']:.0f} us ({t['emu_ioctl_us_p99']:.0f} us) | "
                           f"{x['expiry_late_us_median']:.0f} us ({x['expiry_late_us_p99']:.0f} us) |")
        return "\n".join(out)

    def idle_section(self):
        f = self.r.get("idle")
        if not f:
            return ""
        return "\n".join([
            "## Idle cost", "",
            f"The service after start-up, no input, hold timing enabled but idle, observed for "
            f"{f['idle_seconds']:.0f} s (/proc/PID/task/*/status and schedstat, summed over its "
            f"{f['threads']:.0f} thread(s)):", "",
            f"- wake-ups: {f['wakeups']:.0f} ({f['wakeups_voluntary']:.0f} voluntary, "
            f"{f['wakeups_involuntary']:.0f} involuntary);",
            f"- CPU time: {f['cpu_us']:.0f} us (utime+stime {f['cpu_ticks']:.0f} ticks of "
            f"{f['tick_us'] / 1000:.0f} ms)."])

    def syscall_section(self):
        r = self.r
        if "sc6" not in r:
            return ""
        names = sorted(set(r["sc6"]) | set(r.get("sc7", {})) | set(r.get("scref", {})))
        design = dict(DESIGN_MIN, **SEND_EXTRA)
        out = ["## System calls per command frame", "",
               f"`strace -f -c` around the service across N and 2N command frames 901 (each answered by 621 "
               f"before the next is sent), N = {self.b.p['frames']}; per frame = (count(2N) - count(N)) / N, so "
               "start-up and shutdown cancel out. The device emulation is off for these counts (its preload "
               "would count as the service's); the reference loop does the same bounded send without the "
               "fstat.", "",
               "| System call | design minimum + send | level 6 | level 7 | reference loop |",
               "|---|---|---|---|---|"]
        for n in names:
            cls = SYSCALL_CLASS.get(n, n)
            want = design.get(cls, 0)
            vals = [r.get(k, {}).get(n) for k in ("sc6", "sc7", "scref")]
            out.append(f"| {n} | {want} | " + " | ".join("-" if v is None else f"{v:.2f}" for v in vals) + " |")
        tot = [sum(r.get(k, {}).values()) for k in ("sc6", "sc7", "scref")]
        out.append(f"| **total** | {sum(design.values())} | " + " | ".join(f"**{t:.2f}**" for t in tot) + " |")
        extra = {k: v for k, v in classify(r["sc6"]).items() if v - design.get(k, 0) > 0.05}
        for k in extra:
            extra[k] -= design.get(k, 0)
        if extra:
            out += ["", "Above the minimum at level 6: " +
                    ", ".join(f"{k} {v:+.2f} per frame" for k, v in sorted(extra.items())) + "."]
        return "\n".join(out)

    def press_syscall_section(self):
        r = self.r
        if "sp_off" not in r:
            return ""
        names = sorted(set(r["sp_off"]) | set(r.get("sp_hold", {})))
        out = ["## System calls per press", "",
               f"The same difference of N and 2N presses (N = {self.b.p['press_sc']}, level 6), with the device "
               "emulation on, as a press needs it. The emulation's preload runs inside the service and makes "
               "calls of its own: each emulated read is a socket round trip with signals blocked, and each "
               "open of any path is followed by a stat of the new descriptor.", "",
               "| System call | hold timing off | hold timing on | made by |", "|---|---|---|---|"]
        for n in names:
            a, b = r["sp_off"].get(n), r.get("sp_hold", {}).get(n)
            who = "emulation preload" if n in PRELOAD_CALLS else "service"
            if SYSCALL_CLASS.get(n) == "fstat":
                who = "service 1, emulation preload the rest"
            out.append(f"| {n} | {'-' if a is None else f'{a:.2f}'} | {'-' if b is None else f'{b:.2f}'} | {who} |")
        tot = [sum(r.get(k, {}).values()) for k in ("sp_off", "sp_hold")]
        own = [sum(v for k, v in r.get(key, {}).items() if k not in PRELOAD_CALLS) -
               max(0.0, classify(r.get(key, {})).get("fstat", 0) - 1) for key in ("sp_off", "sp_hold")]
        out.append(f"| **total** | **{tot[0]:.2f}** | **{tot[1]:.2f}** | |")
        out.append(f"| **the service's own** | **{own[0]:.2f}** | **{own[1]:.2f}** | |")
        return "\n".join(out)

    def instr_section(self):
        r = self.r
        if "ir6" not in r:
            return ""
        out = ["## Instructions per command frame", "",
               f"`valgrind --tool=callgrind` around the service across N and 2N frames 901, N = "
               f"{self.b.p['cg_frames']}; per frame = (Ir(2N) - Ir(N)) / N.", "",
               "| Level 6 | Level 7 | Reference loop |", "|---|---|---|",
               f"| {r['ir6']['per_frame']:.0f} | {r['ir7']['per_frame']:.0f} | "
               f"{r['irref']['per_frame']:.0f} |" if "irref" in r and "ir7" in r else ""]
        for key, level in (("ir6", 6), ("ir7", 7)):
            ir = r.get(key, {})
            if "self" not in ir:
                continue
            top = sorted(ir["self"].items(), key=lambda kv: -kv[1])[:12]
            watch = ("KvoPath", "ComLog", "ComLogV", "getenv", "ComFIFOPutData2", "ComFIFOGetData",
                     "FifoReadFunc", "ComSelect", "snprintf", "vsnprintf", "getpid")
            incl = [(k, v) for k, v in ir.get("inclusive", {}).items() if k in watch]
            out += ["", f"Level {level}, the functions that cost most per frame (self), and the inclusive "
                    "cost of the service's own entry points:", "",
                    "| Function (self) | Ir per frame | | Function (inclusive) | Ir per frame |",
                    "|---|---|---|---|---|"]
            incl.sort(key=lambda kv: -kv[1])
            for i in range(max(len(top), len(incl))):
                a = top[i] if i < len(top) else ("", None)
                b = incl[i] if i < len(incl) else ("", None)
                out.append(f"| {a[0]} | {'' if a[1] is None else f'{a[1]:.0f}'} | | {b[0]} | "
                           f"{'' if b[1] is None else f'{b[1]:.0f}'} |")
        return "\n".join(out)

    def throughput_section(self):
        r = self.r
        if "tput_service" not in r:
            return ""
        return "\n".join([
            "## Throughput", "",
            f"{r['tput_frames']:,} frames 901 written by 4 processes at once (each its own descriptor, "
            f"blocking writes) into FifoGdbt; counted when the last answer 621 is read from FifoSts. "
            f"Median of {self.b.p['tput_reps']} run(s).", "",
            "| Reader | frames per second | per frame | share of raw |", "|---|---|---|---|",
            f"| kvogdbt (level 6) | {r['tput_service']:,.0f} | {1e6 / r['tput_service']:.1f} us | "
            f"{r['tput_service'] / r['tput_raw']:.3f} |",
            f"| reference loop (same bounded send) | {r['tput_reference']:,.0f} | "
            f"{1e6 / r['tput_reference']:.1f} us | {r['tput_reference'] / r['tput_raw']:.3f} |",
            f"| raw: the same frames through the FIFO, no answer | {r['tput_raw']:,.0f} | "
            f"{1e6 / r['tput_raw']:.2f} us | 1 |"])

    def footprint_section(self):
        m = self.r.get("mem")
        if not m:
            return ""
        out = ["## Footprint", "", "Memory of the running process after one command (and one press where "
               "the device is emulated), from /proc/PID/status and /proc/PID/smaps_rollup:", "",
               "| Process | VmRSS | Pss | Private (clean+dirty) | Private dirty |", "|---|---|---|---|---|"]
        for name, k in (("kvogdbt", "service"), ("kvogdbt with the device emulation's preload", "service_emu"),
                        ("reference loop", "reference")):
            if f"{k}_vmrss_kb" in m:
                out.append(f"| {name} | {m[k + '_vmrss_kb']:.0f} kB | {m[k + '_pss_kb']:.0f} kB | "
                           f"{m[k + '_private_kb']:.0f} kB | {m[k + '_private_dirty_kb']:.0f} kB |")
        out += ["", "Text sizes of the stripped objects (`size -A`: .text; `size`: text = code and read-only "
                "data; file: stripped size):", "",
                "| Object | where | .text | text | stripped file |", "|---|---|---|---|---|"]
        for where, key in (("host", "size_host"), ("target (32-bit PowerPC)", "size_target")):
            s = self.r.get(key)
            if not s:
                out.append(f"| - | {where} | not built | | |")
                continue
            for name, k in (("kvogdbt", "gdbt"), ("libkvoruntime.a (all objects)", "lib"),
                            ("reference loop", "ref")):
                v = s.get(k)
                if v:
                    out.append(f"| {name} | {where} | {v['dot_text']:,} | {v['text']:,} | {v['file']:,} |")
        return "\n".join(out)

    def micro_section(self):
        m = self.r.get("micro")
        if not m:
            return ""
        out = ["## In-process costs", "", "Google Benchmark, one thread, wall time (CPU time) per operation:", "",
               "| Operation | time | CPU |", "|---|---|---|"]
        label = {
            "BM_FrameBuild": "frame build (ids and 250 data bytes)",
            "BM_PipeWriteRead": "pipe write + read of one frame (baseline for the parse)",
            "BM_FrameParse": "pipe write + ComFIFOGetData (read and parse)",
            "BM_SelectReadyDescriptor": "ComSelect turn, one ready descriptor",
            "BM_SelectTimerByte": "ComSelect turn, one timer byte (+ the byte's write)",
            "BM_PutData2HeldFifo": "ComFIFOPutData2 to a FIFO held open by its reader",
            "BM_FifoReadFunc901/6": "FifoReadFunc, frame 901 answered by 621, level 6",
            "BM_FifoReadFunc901/7": "FifoReadFunc, frame 901 answered by 621, level 7 (log to /dev/null)",
            "BM_GDBTReadFuncPress/0": "GDBTReadFunc, press byte to 356, hold timing off",
            "BM_GDBTReadFuncPress/1": "GDBTReadFunc, press byte to 356, hold timer restarted",
            "BM_LogDebugLine/6": "ComLog of a debug line, masked (level 6)",
            "BM_LogDebugLine/7": "ComLog of a debug line, written (level 7, /dev/null)",
        }
        for name, real, cpu in m:
            def t(ns):
                return f"{ns:.1f} ns" if ns < 1000 else f"{ns / 1000:.2f} us"
            out.append(f"| {label.get(name, name)} | {t(real)} | {t(cpu)} |")
        return "\n".join(out)

    def render(self):
        r = self.r
        mode = "quick" if self.b.a.quick else "full"
        parts = [
            "# Benchmark results", "",
            f"Produced by `scripts/bench{' --quick' if self.b.a.quick else ''}` ({mode} run) on {r['date']}: "
            f"{self.machine()}. Load average before {r['load_before']}, after {r['load_after']} "
            "(the machine may be shared: figures with a tail are sensitive to that).", "",
            "## Headline", "", self.headline(), ""]
        if self.has_png:
            parts += ["![Latency histograms](latency.png)", ""]
        for section in (self.press_section, self.hold_section, self.idle_section, self.syscall_section,
                        self.press_syscall_section, self.instr_section, self.throughput_section, self.footprint_section,
                        self.micro_section):
            text = section()
            if text:
                parts += [text, ""]
        if not r.get("size_target"):
            self.b.notes.append("Target sizes: the PowerPC build was not available in this run "
                                "(scripts/bench builds it with `cmake --preset ppc` when the cross "
                                "compiler is installed).")
        if self.b.notes:
            parts += ["## Notes", ""] + [f"- {n}" for n in self.b.notes] + [""]
        return "\n".join(parts)


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="fewer samples: a few minutes")
    ap.add_argument("--report-only", action="store_true",
                    help="write results.md and the picture again from the last run's figures")
    ap.add_argument("--build", required=True, help="host build folder (kvogdbt, kvobench)")
    ap.add_argument("--ppc-build", help="target build folder, for the target's text sizes")
    ap.add_argument("--ppc-ref-build", help="target build of bench/reference")
    ap.add_argument("--source", default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    args = ap.parse_args()
    failed = Bench(args).run()
    print(f"[bench] {failed} figure(s) beyond their target; see bench/results.md")
    return 0


if __name__ == "__main__":
    sys.exit(main())
