#!/usr/bin/env python3
"""Measures the program against the toolkit's bare loop and prints the table.

scripts/bench builds everything and calls this; run on its own it expects those builds:
    bench/bench.py --build build/bench [--quick]
It starts a virtual display of its own, so it needs no screen.
"""
import argparse
import os
import re
import select
import shutil
import statistics
import subprocess
import sys
import time

SIZES = [(320, 320), (1920, 1080)]
OWN_FUNCTIONS = ["drawFrame()", "reshapeView(int, int)", "menuChoice(int)", "buildMenus()", "main"]


class BenchError(Exception):
    pass


# ---------------------------------------------------------------- the virtual display


def start_display(width, height):
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
         "-nolisten", "tcp", "-noreset"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    number = b""
    deadline = time.monotonic() + 30
    while not number.endswith(b"\n"):
        if time.monotonic() > deadline or xvfb.poll() is not None:
            xvfb.kill()
            raise BenchError("Xvfb did not start")
        ready, _, _ = select.select([read_end], [], [], 1)
        if ready:
            number += os.read(read_end, 64)
    os.close(read_end)
    return xvfb, ":" + number.decode().strip()


# ---------------------------------------------------------------- one counted run


class Runner:
    def __init__(self, build, display):
        self.build = os.path.abspath(build)
        self.tools = os.path.join(self.build, "tools")
        self.work = os.path.join(self.build, "runs")
        os.makedirs(self.work, exist_ok=True)
        cache = os.path.join(self.build, "shader-cache")
        os.makedirs(cache, exist_ok=True)
        self.base_env = dict(os.environ, DISPLAY=display, MESA_SHADER_CACHE_DIR=cache)
        for key in ("LD_PRELOAD", "LP_NUM_THREADS", "FC_T0_NS"):
            self.base_env.pop(key, None)
        self.programs = {
            "program": os.path.join(self.build, "whirlet", "whirlet"),
            "bare": os.path.join(self.tools, "bareloop"),
            "sameframe": os.path.join(self.tools, "sameframe"),
            "sameframe_glu": os.path.join(self.tools, "sameframe_glu"),
            "sameframe_menu": os.path.join(self.tools, "sameframe_menu"),
        }
        self.serial = 0

    def start(self, name, size=None, wrap=(), launch=False, **fc):
        """Starts one counted run; returns (process, result file)."""
        self.serial += 1
        out = os.path.join(self.work, f"{name}.{self.serial}.fc")
        if os.path.exists(out):
            os.remove(out)
        env = dict(self.base_env, FC_OUT=out,
                   LD_PRELOAD=os.path.join(self.tools, "libframecount.so"))
        if size:
            env["FC_SIZE"] = "%dx%d" % size
        for key, value in fc.items():
            env["FC_" + key.upper()] = str(value)
        command = list(wrap)
        if launch:
            command.append(os.path.join(self.tools, "launch"))
        command.append(self.programs[name])
        proc = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE, cwd=self.work)
        return proc, out, size or (320, 320)

    @staticmethod
    def finish(started, timeout=900):
        proc, out, size = started
        try:
            _, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            raise BenchError(f"run timed out: {proc.args}")
        result = read_keys(out) if os.path.exists(out) else {}
        if proc.returncode != 0 or "error" in result or "frames" not in result:
            raise BenchError(f"run failed (exit {proc.returncode}): {proc.args}\n"
                             f"{result.get('error', '')}\n{err.decode(errors='replace')[-2000:]}")
        # The counts only mean something if the frames had the size asked for.
        want = "%dx%d" % size
        if result["window"] != want or result["viewport"] != "0,0,%d,%d" % size:
            raise BenchError(f"window was {result['window']} viewport {result['viewport']},"
                             f" not {want}: {proc.args}")
        return result

    def run(self, name, size=None, wrap=(), launch=False, **fc):
        return self.finish(self.start(name, size, wrap, launch, **fc))


def read_keys(path):
    result = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            result[key] = value
    return result


# ---------------------------------------------------------------- callgrind output


def parse_callgrind(path):
    """Returns (totals, self cost by (object, function), calls by (object, function)).

    Self cost is every cost line under fn= except the line after calls=, which is the
    inclusive cost of that call and belongs to the callee. callgrind_annotate (3.19 and 3.24)
    cannot stand in: in the split dumps it counts the calls still running at the split
    (calls=0) as their callers' self cost, so main, one of the program's own functions, gets
    the whole dump; and it shows call counts only in its call trees."""
    names = {"ob": {}, "fl": {}, "fn": {}}
    kind_of = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl", "cfi": "fl",
               "cfl": "fl", "fn": "fn", "cfn": "fn"}
    self_cost, calls = {}, {}
    totals = None
    ob = fn = None
    cob = cfn = None
    after_calls = False
    line_re = re.compile(r"^(ob|fl|fi|fe|fn|cob|cfi|cfl|cfn)=(?:\((\d+)\))?\s*(.*)$")
    with open(path) as f:
        for raw in f:
            line = raw.rstrip("\n")
            if not line or line.startswith("#"):
                continue
            match = line_re.match(line)
            if match:
                key, ident, name = match.groups()
                table = names[kind_of[key]]
                if ident is not None:
                    if name:
                        table[ident] = name
                    name = table.get(ident, "(%s)" % ident)
                if key == "ob":
                    ob = os.path.basename(name)
                elif key == "fn":
                    fn = name
                    cob = cfn = None
                elif key == "cob":
                    cob = os.path.basename(name)
                elif key == "cfn":
                    cfn = name
                continue
            if line.startswith("calls="):
                count = int(line[6:].split()[0])
                target = (cob or ob, cfn)
                calls[target] = calls.get(target, 0) + count
                after_calls = True
                continue
            if line.startswith("totals:") or line.startswith("summary:"):
                totals = int(line.split()[1])
                continue
            if line[0] in "0123456789+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if after_calls:
                    after_calls = False
                    cob = cfn = None
                else:
                    key = (ob, fn)
                    self_cost[key] = self_cost.get(key, 0) + cost
    if totals is None:
        raise BenchError(f"no totals in {path}")
    if sum(self_cost.values()) != totals:
        raise BenchError(f"{path}: self costs add up to {sum(self_cost.values())},"
                         f" callgrind's total is {totals}")
    return totals, self_cost, calls


def annotate_self(path, function):
    """callgrind_annotate's own figure for one function's self cost, to check the parser."""
    text = subprocess.run(["callgrind_annotate", "--inclusive=no", "--threshold=100", path],
                          capture_output=True, text=True, check=True).stdout
    for line in text.splitlines():
        match = re.match(r"^\s*([\d,]+)\s+\(.*?\)\s+\S*?:(.*) \[(.*)\]$", line)
        if match and match.group(2) == function:
            return int(match.group(1).replace(",", ""))
    return 0


def own_cost(self_cost, program_object):
    return {fn: self_cost.get((program_object, fn), 0) for fn in OWN_FUNCTIONS}


# ---------------------------------------------------------------- the measurements


def fmt_ratio(values):
    return "%.3f (%.3f-%.3f)" % (statistics.median(values), min(values), max(values))


def measure_instructions(runner, frames, jobs, log):
    """Instructions per frame under callgrind, on one renderer thread. The counter dumps
    callgrind's counts when counting starts and when it stops, so the middle dump holds exactly
    `frames` frames: start-up and tear-down cancel out as in a difference of two runs, without
    two runs' worth of start-up. Two such runs go at once (counts do not depend on load)."""
    results = {}
    running = []
    for job in jobs + [None, None]:
        if job:
            name, size = job
            out = os.path.join(runner.work, "callgrind.%s.%dx%d" % (name, *size))
            for old in (out, out + ".1", out + ".2"):
                if os.path.exists(old):
                    os.remove(old)
            wrap = ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out]
            started = runner.start(name, size=size if size != (320, 320) else None,
                                   wrap=wrap, warmup=10, frames=frames, split=1)
            running.append((job, out, started))
            log(f"  callgrind {name} {size[0]}x{size[1]}")
        if len(running) == 2 or (job is None and running):
            (name, size), out, started = running.pop(0)
            fc = Runner.finish(started, timeout=1200)
            results[(name, size)] = (fc, out)
    return results


def instruction_table(runner, results, frames, log):
    rows = []
    checks = []
    per_frame = {}
    for (name, size), (fc, out) in results.items():
        start_file, frames_file = out + ".1", out + ".2"
        if not (os.path.exists(start_file) and os.path.exists(frames_file)):
            raise BenchError(f"callgrind wrote no split dumps for {name}: {out}.1, .2")
        total, self_cost, calls = parse_callgrind(frames_file)
        start_total, start_self, _ = parse_callgrind(start_file)
        counted = int(fc["frames"])
        if counted != frames:
            raise BenchError(f"{name}: counted {counted} frames, asked for {frames}")
        swaps_called = sum(c for (o, f), c in calls.items()
                           if f == "glutSwapBuffers" and o == "libframecount.so")
        # Two counts of the same frames that share nothing: the counter's, and callgrind's.
        if swaps_called != counted:
            raise BenchError(f"{name}: callgrind saw {swaps_called} swaps in the counted"
                             f" part, the counter {counted}")
        entry = {"per_frame": total / counted, "start_total": start_total,
                 "start_swaps": int(fc["swaps"]) - counted}
        if name == "program":
            obj = os.path.basename(runner.programs["program"])
            draw_calls = calls.get((obj, "drawFrame()"), 0)
            if draw_calls != counted:
                raise BenchError(f"callgrind saw {draw_calls} drawFrame calls, the counter"
                                 f" {counted} frames")
            checks.append(f"{size[0]}x{size[1]}: counter {counted} frames = callgrind"
                          f" {draw_calls} drawFrame calls = {swaps_called} swaps")
            own = own_cost(self_cost, obj)
            own_start = own_cost(start_self, obj)
            for fn, cost in (("drawFrame()", own["drawFrame()"]),):
                theirs = annotate_self(frames_file, fn)
                if theirs != cost:
                    raise BenchError(f"{fn}: parser says {cost}, callgrind_annotate {theirs}")
            entry["own"] = sum(own.values())
            entry["own_detail"] = own
            exit_total, exit_self, _ = parse_callgrind(out)
            own_exit = own_cost(exit_self, obj)
            entry["own_whole_run"] = (sum(own.values()) + sum(own_start.values()) +
                                      sum(own_exit.values())) / (total + start_total + exit_total)
        per_frame[(name, size)] = entry
    return per_frame, checks


def measure_wall(runner, rounds, seconds, names, log):
    """Frames per second on the same display, programs alternating, order turned each round."""
    fps = {(n, s): [] for n in names for s in SIZES}
    for r in range(rounds):
        order = names if r % 2 == 0 else list(reversed(names))
        for size in SIZES:
            for name in order:
                fc = runner.run(name, size=None if size == (320, 320) else size,
                                warmup=100, seconds=seconds)
                fps[(name, size)].append(float(fc["fps"]))
        log(f"  wall-clock round {r + 1}/{rounds}")
    return fps


def measure_startup(runner, rounds, names, log):
    """Launch to first swap, and peak memory, alternating; each run draws 60 frames."""
    first, rss, hwm = ({n: [] for n in names} for _ in range(3))
    for r in range(rounds):
        order = names if r % 2 == 0 else list(reversed(names))
        for name in order:
            timefile = os.path.join(runner.work, "time.out")
            fc = runner.run(name, wrap=["/usr/bin/time", "-f", "%M", "-o", timefile],
                            launch=True, frames=60)
            first[name].append(float(fc["first_swap_ms"]))
            with open(timefile) as f:
                rss[name].append(int(f.read().split()[-1]))
            hwm[name].append(int(fc["vmhwm_kb"]))
        log(f"  start-up round {r + 1}/{rounds}")
    # Two independent readings of the same peak: the kernel's wait4 and /proc at exit.
    for name in names:
        for a, b in zip(rss[name], hwm[name]):
            if abs(a - b) > 0.02 * a:
                raise BenchError(f"{name}: max RSS {a} kB and VmHWM {b} kB disagree")
    return first, rss


def machine_lines(display):
    cpu = "?"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    renderer = "?"
    if shutil.which("glxinfo"):
        out = subprocess.run(["glxinfo", "-B"], env=dict(os.environ, DISPLAY=display),
                             capture_output=True, text=True).stdout
        for line in out.splitlines():
            if "renderer string" in line:
                renderer = line.split(":", 1)[1].strip()
    return [f"machine: {os.cpu_count()} cores, {cpu}", f"renderer: {renderer}"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/bench")
    parser.add_argument("--quick", action="store_true", help="fewer frames and rounds")
    args = parser.parse_args()

    frames = 90 if args.quick else 360  # 360: one whole turn, every angle once
    rounds = 3 if args.quick else 5
    start_rounds = 3 if args.quick else 7
    began = time.monotonic()

    def log(text):
        print("[%4.0fs]%s" % (time.monotonic() - began, text), file=sys.stderr, flush=True)

    xvfb, display = start_display(2048, 1280)
    try:
        runner = Runner(args.build, display)
        header = machine_lines(display)
        # One untimed run each, so the shader cache is as warm for every measured run.
        for name in runner.programs:
            runner.run(name, frames=30)
        runner.base_env["LP_NUM_THREADS"] = "0"
        # The shader cache's key holds the CPU's features, and valgrind's CPU has fewer: warm
        # the cache for it too, or the first counted start-up would include compiling shaders.
        log(" warming the shader cache under valgrind")
        names = ["program", "bare", "sameframe", "sameframe_menu"]
        for pair in (names[:2], names[2:]):
            started = [runner.start(n, wrap=["valgrind", "--tool=none"], frames=2) for n in pair]
            for one in started:
                Runner.finish(one, timeout=600)
        log(" instructions (callgrind, LP_NUM_THREADS=0)")
        jobs = [(n, s) for s in SIZES for n in ("program", "bare", "sameframe")]
        jobs.insert(3, ("sameframe_menu", (320, 320)))
        cg = measure_instructions(runner, frames, jobs, log)
        del runner.base_env["LP_NUM_THREADS"]
        per_frame, checks = instruction_table(runner, cg, frames, log)
        log(" wall clock")
        fps = measure_wall(runner, rounds, 1.5, ["program", "bare", "sameframe"], log)
        log(" start-up and memory")
        start_names = ["program", "bare", "sameframe", "sameframe_glu", "sameframe_menu"]
        first, rss = measure_startup(runner, start_rounds, start_names, log)
    finally:
        xvfb.terminate()
        xvfb.wait()

    out = header + [""]
    out.append(f"Instructions per frame (callgrind, one renderer thread, {frames} frames"
               " after start-up):")
    out.append("  size        program      bare loop    ratio   same frame, throwaway  ratio"
               "   program's own functions")
    for size in SIZES:
        p, b, s = (per_frame[(n, size)] for n in ("program", "bare", "sameframe"))
        out.append("  %-9s %11.0f  %11.0f   %6.3f   %11.0f            %6.3f   %6.1f = %.4f%%" % (
            "%dx%d" % size, p["per_frame"], b["per_frame"], p["per_frame"] / b["per_frame"],
            s["per_frame"], p["per_frame"] / s["per_frame"], p["own"] / frames,
            100.0 * p["own"] / (p["per_frame"] * frames)))
    p320 = per_frame[("program", (320, 320))]
    out.append("  own functions over the whole 320x320 run, start-up included: %.4f%%"
               % (100.0 * p320["own_whole_run"]))
    out.append("  start-up, instructions to the first frame (320x320 runs):")
    for name in ("program", "bare", "sameframe", "sameframe_menu"):
        e = per_frame[(name, (320, 320))]
        est = e["start_total"] - (e["start_swaps"] - 1) * e["per_frame"]
        out.append("    %-15s %12.0f" % (name, est))
        e["start_est"] = est
    out.append("    program / bare loop: %.3f" % (
        p320["start_est"] / per_frame[("bare", (320, 320))]["start_est"]))
    out.append("  frame counts checked: " + "; ".join(checks))
    # The goals, judged on the steady figures (instructions), not the noisy wall clock.
    small, big = (per_frame[("program", sz)] for sz in SIZES)
    small_b, big_b = (per_frame[("bare", sz)] for sz in SIZES)
    verdicts = [
        ("own functions under 0.1% of each frame",
         max(e["own"] / (e["per_frame"] * frames) for e in (small, big)) < 0.001),
        ("320x320 frame within 1.3x the bare loop",
         small["per_frame"] / small_b["per_frame"] <= 1.3),
        ("1920x1080 nearer 1.0x than 320x320",
         big["per_frame"] / big_b["per_frame"] < small["per_frame"] / small_b["per_frame"]),
    ]
    for text, ok in verdicts:
        out.append("  %-7s %s" % ("meets:" if ok else "MISSES:", text))
    out.append("")
    out.append(f"Wall clock (frames per second, {rounds} alternating rounds of 1.5 s,"
               " renderer threads as the driver chooses): median (min-max)")
    out.append("  size        program           bare loop         time per frame, program/bare")
    for size in SIZES:
        p, b = fps[("program", size)], fps[("bare", size)]
        ratios = [bb / pp for pp, bb in zip(p, b)]
        out.append("  %-9s %8.0f (%5.0f-%5.0f) %8.0f (%5.0f-%5.0f) %s" % (
            "%dx%d" % size, statistics.median(p), min(p), max(p), statistics.median(b), min(b),
            max(b), fmt_ratio(ratios)))
    out.append("")
    out.append(f"Start-up to first frame shown, and peak memory ({start_rounds} alternating"
               " runs): median (min-max)")
    out.append("  program            first frame, ms          max RSS, kB          vs bare loop:"
               " time, memory")
    for name in start_names:
        f, m = first[name], rss[name]
        out.append("  %-16s %7.1f (%6.1f-%6.1f) %8d (%d-%d)   %.3f, %.3f" % (
            name, statistics.median(f), min(f), max(f), statistics.median(m), min(m), max(m),
            statistics.median(f) / statistics.median(first["bare"]),
            statistics.median(m) / statistics.median(rss["bare"])))
    mem = statistics.median(rss["program"]) / statistics.median(rss["bare"])
    start = p320["start_est"] / per_frame[("bare", (320, 320))]["start_est"]
    for text, ok in (("peak memory within 5%% of the bare loop (%.3f)" % mem, mem <= 1.05),
                     ("start-up instructions within 5%% of the bare loop (%.3f)" % start,
                      start <= 1.05)):
        out.append("  %-7s %s" % ("meets:" if ok else "MISSES:", text))
    out.append("")
    out.append("bare = the toolkit's bare loop (clear colour+depth, swap); sameframe = a throwaway"
               " program drawing the program's frame, camera by glFrustum; sameframe_glu = the"
               " same with GLU's camera; sameframe_menu = with GLU and a right-button menu built"
               " like the program's.")
    log(" done")
    print("\n".join(out))


if __name__ == "__main__":
    try:
        main()
    except BenchError as e:
        print("bench: " + str(e), file=sys.stderr)
        sys.exit(1)
