#!/usr/bin/env python3
"""Usage: bench/bench.py BUILD_DIR [--quick], run by scripts/bench on a virtual display."""
import json, os, re, statistics, subprocess, sys
from concurrent.futures import ThreadPoolExecutor

build = os.path.abspath(sys.argv[1])
quick = "--quick" in sys.argv[2:]
TURN = 90 if quick else 360  # frames between the short and the long runs: 360 is one turn
ROUNDS = 3 if quick else 10
WALL_FRAMES = {"320x320": 2000, "1920x1080": 300}
SIZES = list(WALL_FRAMES)
PROGRAMS = {"program": (f"{build}/whirlet/whirlet", "drawFrame()"),
            "bare loop": (f"{build}/tools/bareloop", "frame()")}
OWN = ("drawFrame()", "reshapeView(int, int)", "menuChoice(int)", "buildMenus()", "main")
RUNS = f"{build}/runs"
os.makedirs(RUNS, exist_ok=True)
median = statistics.median


def fail(why):
    sys.exit("bench: " + why)


def command(name, size, frames, *wrap, **env):
    """The program with the frame counter preloaded and a shader cache of its own."""
    env = dict(env, LD_PRELOAD=f"{build}/tools/libframecount.so", FC_SIZE=size,
               FC_FRAMES=frames, MESA_SHADER_CACHE_DIR=f"{build}/shader-cache")
    return ["env", *(f"{k}={v}" for k, v in env.items()), *wrap, PROGRAMS[name][0]]


def run(args):
    """Runs a command, returns its output; any exit status but 0 stops the benchmark (the
    frame counter's is 3 when the frames did not have the size asked for)."""
    done = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        fail(f"exit status {done.returncode}: {' '.join(args)}\n{done.stderr[-3000:]}")
    return done.stdout + done.stderr


def number(text):
    return int(text.replace(",", ""))


def callgrind(name, size, frames):
    """A run under callgrind, the renderer in the counted thread: instructions in all and in the
    program's own functions (self cost). The counter's swaps must match the frame's calls."""
    path, frame_fn = PROGRAMS[name]
    out = f"{RUNS}/callgrind.{name.replace(' ', '')}.{size}.{frames}"
    log = run(command(name, size, frames, "valgrind", "--tool=callgrind",
                      "--callgrind-out-file=" + out, LP_NUM_THREADS=0))
    swaps = int(re.search(r"framecount: (\d+) swaps", log)[1])
    annotate = ["callgrind_annotate", "--auto=no", "--threshold=100", out]
    flat = run(annotate + ["--inclusive=no"])
    total = number(re.search(r"^([\d,]+) \S+\s+PROGRAM TOTALS$", flat, re.M)[1])
    listed = re.findall(r"^ *([\d,]+) \( *[\d.]+%\)  \S*?:(.*?)(?: \[(.*)\])?$", flat, re.M)
    if sum(number(cost) for cost, _, _ in listed) != total:
        fail(f"{out}: callgrind_annotate's self costs do not add up to its total")
    own = sum(number(cost) for cost, fn, obj in listed if obj == path and fn in OWN)
    # The frames counted a second way: calls of the frame function, summed over its callers.
    calls = 0
    for block in run(annotate + ["--tree=caller"]).split("\n\n"):
        if re.search(rf"\*  \S*?:{re.escape(frame_fn)} \[{re.escape(path)}\]$", block, re.M):
            calls += sum(int(n) for n in re.findall(r"^.* < .*\((\d+)x\)", block, re.M))
    if calls != swaps:
        fail(f"{out}: the counter saw {swaps} swaps, callgrind {calls} calls of {frame_fn}")
    return {"total": total, "own": own}


def hyperfine(size):
    """Seconds taken by runs of 1 frame and of 1 + WALL_FRAMES frames, by program."""
    out = f"{RUNS}/hyperfine.{size}.json"
    run(["hyperfine", "-N", "--style=none", "--warmup=2", f"--runs={ROUNDS}", "--export-json",
         out, "-L", "frames", f"1,{WALL_FRAMES[size] + 1}"] +
        [" ".join(command(name, size, "{frames}")) for name in PROGRAMS])
    with open(out) as f:
        results = json.load(f)["results"]
    return {n: [r["times"] for r in results if r["command"].endswith(path)]
            for n, (path, _) in PROGRAMS.items()}


def max_rss():
    """Peak memory in kB of 60-frame runs, the programs alternating."""
    rss = {name: [] for name in PROGRAMS}
    for _ in range(ROUNDS):
        for name in rss:
            log = run(["/usr/bin/time", "-f", "max RSS %M kB", *command(name, "320x320", 60)])
            rss[name].append(int(re.search(r"^max RSS (\d+) kB$", log, re.M)[1]))
    return rss


def spread(values, form="%.0f"):
    return f"{form % median(values)} ({form % min(values)}-{form % max(values)})"


def main():
    with open("/proc/cpuinfo") as f, open("/etc/debian_version") as debian:
        cpu = re.search(r"model name\s*: (.*)", f.read())[1] + "; Debian " + debian.read()
    glx = run(["glxinfo", "-B"])
    print(f"{os.cpu_count()} cores, {cpu.strip()};", re.search(r"renderer string: (.*)", glx)[1],
          re.search(r"OpenGL version string: .*(Mesa \S+)", glx)[1], flush=True)
    # The shader cache is keyed on the CPU's features, and valgrind's CPU has fewer: warm it for
    # both, or the first counted run would be the one that compiles the shaders.
    for name in PROGRAMS:
        run(command(name, "320x320", 2))
        run(command(name, "320x320", 2, "valgrind", "--tool=none"))
    jobs = [(n, size, frames) for n in PROGRAMS for size in SIZES for frames in (1, 1 + TURN)]
    with ThreadPoolExecutor(2) as pool:  # instruction counts do not depend on the load
        cg = dict(zip(jobs, pool.map(lambda job: callgrind(*job), jobs)))
    wall = {size: hyperfine(size) for size in SIZES}
    rss = max_rss()

    print(f"\nInstructions per frame (callgrind, one renderer thread, from runs of 1 and {1 + TURN}"
          " frames):\nsize        program   bare loop  program/bare  own functions per frame")
    for size in SIZES:
        cost = {}
        for n in PROGRAMS:
            short, long = cg[n, size, 1], cg[n, size, 1 + TURN]
            cost[n] = [(long[k] - short[k]) / TURN for k in ("total", "own")]
        (p, own), (b, _) = cost.values()
        print(f"{size:9} {p:9,.0f} {b:11,.0f} {p / b:10.3f}     {own:.1f} = {100 * own / p:.4f}%")
    whole = cg["program", "320x320", 1 + TURN]
    print(f"own functions in the whole 320x320 run: {100 * whole['own'] / whole['total']:.4f}%")

    print(f"\nWall clock (hyperfine, medians of {ROUNDS} runs of 1 and of 1 + N frames):\n"
          "size       program fps  bare loop fps  time per frame, program/bare")
    for size in SIZES:
        fps = [WALL_FRAMES[size] / (median(t[1]) - median(t[0])) for t in wall[size].values()]
        print(f"{size:9} {fps[0]:11.0f} {fps[1]:14.0f} {fps[1] / fps[0]:17.3f}")

    print("\nStart-up (320x320) and peak memory, median (min-max):\n"
          "           first frame, ms      instructions to it  max RSS, kB (60 frames)")
    first = {n: [1e3 * t for t in wall["320x320"][n][0]] for n in PROGRAMS}
    instructions = {n: [cg[n, "320x320", 1]["total"]] for n in PROGRAMS}
    for n in PROGRAMS:
        print(f"{n:10} {spread(first[n], '%.1f'):21} {instructions[n][0]:18,}  {spread(rss[n])}")
    print("program / bare loop: time %.3f, instructions %.3f, memory %.3f" % tuple(
        median(x["program"]) / median(x["bare loop"]) for x in (first, instructions, rss)))
    print("checked: every run exited 0 with its frames at the size asked for; in every callgrind"
          " run the counter's swaps = calls of the frame function")


main()
