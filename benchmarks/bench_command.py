#!/usr/bin/python3
"""Times the whole `megfwd leadfield` command, as a user runs it.

The embedded demo system (written with `megfwd demo --write-sensors`) on a
grid inside a 75 mm sphere, 1 and 2 threads run in turns so that both see
the same state of the machine; prints the median and best wall time, the
speed-up, and the peak resident memory of the command against the size of
its output. It also runs two single-threaded commands at once: how much
each slows down then is what the machine itself allows two threads.

    benchmarks/bench_command.py [--megfwd build/release/megfwd] [--step 7] [--order 3] [--runs 15]
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time


def sphere_grid(step, radius=75.0):
    n = int(radius // step)
    pts = []
    for i in range(-n, n + 1):
        for j in range(-n, n + 1):
            for k in range(-n, n + 1):
                x, y, z = i * step, j * step, k * step
                if x * x + y * y + z * z <= radius * radius:
                    pts.append((x, y, z))
    return pts


def run(cmd):
    """Wall seconds and peak resident memory (bytes) of one command."""
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.perf_counter() - start
    err = proc.stderr.read().decode()
    proc.stderr.close()
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("bench_command: the command failed: " + " ".join(cmd) + "\n" + err)
    return wall, usage.ru_maxrss * 1024


def peak_rss(cmd):
    """Peak resident memory (bytes) of one command, as GNU time reports it.
    A child forked from this interpreter would count the interpreter's own
    pages in its peak (the kernel keeps the larger figure across exec), so
    the command is started from /usr/bin/time instead; None without it."""
    if not os.path.exists("/usr/bin/time"):
        return None
    with tempfile.NamedTemporaryFile("r") as f:
        subprocess.run(["/usr/bin/time", "-f", "%M", "-o", f.name] + cmd, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        return int(f.read().split()[-1]) * 1024


def two_process_ceiling(cmd, rounds):
    """What the machine allows two threads: one single-threaded command alone
    against two at once, in turns. cmd(threads, out_name) is the command line.
    Returns the median seconds alone, the median seconds of the pair, and the
    speed-up two threads can give at most (2 x alone / pair)."""
    alone, paired = [], []
    for _ in range(rounds):
        alone.append(run(cmd(1, "a.npy"))[0])
        start = time.perf_counter()
        procs = [subprocess.Popen(cmd(1, f"p{i}.npy"), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                 for i in range(2)]
        for p in procs:
            p.wait()
        paired.append(time.perf_counter() - start)
    one, two = statistics.median(alone), statistics.median(paired)
    return one, two, 2 * one / two


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megfwd", default="build/release/megfwd")
    ap.add_argument("--step", type=float, default=7.0, help="grid step in mm")
    ap.add_argument("--order", type=int, default=3)
    ap.add_argument("--runs", type=int, default=15)
    ap.add_argument("--extra", default="", help="more options for megfwd leadfield")
    a = ap.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        sensors = os.path.join(tmp, "sensors.json")
        run([a.megfwd, "demo", "--write-sensors", sensors])
        pts = sphere_grid(a.step)
        sources = os.path.join(tmp, "sources.txt")
        with open(sources, "w") as f:
            f.writelines(f"{x} {y} {z}\n" for x, y, z in pts)

        def cmd(threads, out):
            return [a.megfwd, "leadfield", "--sensors", sensors, "--sources", sources, "--order", str(a.order),
                    "--threads", str(threads), "--out", os.path.join(tmp, out), "--quiet"] + a.extra.split()

        run(cmd(2, "warm.npy"))
        out_bytes = os.path.getsize(os.path.join(tmp, "warm.npy"))
        times = {1: [], 2: []}
        peak = {1: 0, 2: 0}
        for _ in range(a.runs):
            for t in (1, 2):
                wall, rss = run(cmd(t, f"lf{t}.npy"))
                times[t].append(wall)
                peak[t] = max(peak[t], rss)
        ratios = [one / two for one, two in zip(times[1], times[2])]

        # Two single-threaded commands at once, against one alone.
        alone, paired, ceiling = two_process_ceiling(cmd, max(3, a.runs // 3))

    print(f"megfwd leadfield, embedded system, {len(pts)} sources ({a.step:g} mm grid in a 75 mm sphere), "
          f"order {a.order} {a.extra}".rstrip())
    print(f"  output {out_bytes / 2**20:.1f} MiB, {a.runs} runs per thread count, in turns")
    for t in (1, 2):
        print(f"  {t} thread{'s' if t > 1 else ' '}: median {statistics.median(times[t]):.3f} s, "
              f"best {min(times[t]):.3f} s, peak RSS {peak[t] / 2**20:.1f} MiB "
              f"({peak[t] / out_bytes:.2f} x output)")
    print(f"  speed-up 2 threads vs 1: median of run pairs {statistics.median(ratios):.2f}, "
          f"best vs best {min(times[1]) / min(times[2]):.2f}")
    print(f"  the machine: two 1-thread commands at once take {paired:.3f} s against "
          f"{alone:.3f} s for one alone, so two threads can give at most {ceiling:.2f}x here")


if __name__ == "__main__":
    main()
