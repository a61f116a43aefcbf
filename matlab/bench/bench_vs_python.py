"""Times the Octave toolbox against the Python package on the same
computation: 275 axial gradiometers (two coils each, weights +1/-1, each
coil one point or, with --points 4, four points on a 9 mm circle as
Brainstorm's CTF channels have them), one sphere, 5000 sources, the same
library and the same number of threads.

    PYTHONPATH=build/test/python /usr/bin/python3 matlab/bench/bench_vs_python.py \
        --toolbox build/matlab [--points 1|4] [--threads 2] [--runs 5] [--rounds 3] [--sources 5000]

The routes take turns, round by round (Python's runs, then Octave's in one
octave-cli process), so that a change in the machine's load falls on both.
Prints the median and the best wall time of each route over all rounds,
their ratios to Python's, and the largest relative difference of the
values. Each route runs once first (untimed) in every process.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import numpy as np

import megfwd

HERE = os.path.dirname(os.path.abspath(__file__))
# The binary exchange with Octave is the toolbox tests' (arrays_file.py,
# read_arrays.m).
TEST_DIR = os.path.join(HERE, "..", "..", "tests", "matlab")
sys.path.insert(0, TEST_DIR)
from arrays_file import write  # noqa: E402
SPHERE = (0.0, 0.0, 0.0, 0.09)


def helmet(n):
    """n outward directions over the upper part of a sphere (Fibonacci)."""
    k = np.arange(n) + 0.5
    z = 1.0 - 0.85 * k / n
    phi = np.pi * (3.0 - np.sqrt(5.0)) * k
    rho = np.sqrt(1.0 - z * z)
    return np.c_[rho * np.cos(phi), rho * np.sin(phi), z]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--toolbox", required=True, help="the built toolbox folder (build/matlab)")
    ap.add_argument("--threads", type=int, default=os.cpu_count())
    ap.add_argument("--runs", type=int, default=5, help="timed runs of each route per round")
    ap.add_argument("--rounds", type=int, default=3, help="rounds of Python runs, then Octave runs")
    ap.add_argument("--sources", type=int, default=5000)
    ap.add_argument("--octave", default="octave-cli")
    ap.add_argument("--points", type=int, choices=(1, 4), default=1, help="points per coil")
    args = ap.parse_args()

    dirs = helmet(275)
    n = len(dirs)
    # Per coil: its points and their weights, the upper coil's weights
    # negative along the same normal for the library, and for the toolbox
    # positive with the normal reversed.
    coils = []
    for d in dirs:
        a = np.cross(d, [1.0, 0.0, 0.0] if abs(d[0]) < 0.9 else [0.0, 1.0, 0.0])
        a /= np.linalg.norm(a)
        b = np.cross(d, a)
        ring = [np.zeros(3)] if args.points == 1 else [0.009 * v for v in (a, b, -a, -b)]
        coils.append([(0.12 * d + q, 1.0 / len(ring)) for q in ring] + [(0.17 * d + q, -1.0 / len(ring)) for q in ring])
    sensors = megfwd.SensorArray([
        {"name": f"MEG{i:03d}", "kind": 101,
         "coils": [{"position": p, "normal": dirs[i], "weight": w} for p, w in coils[i]]}
        for i in range(n)])
    coilpos = np.array([p for c in coils for p, _ in c])
    coilori = np.array([dirs[i] * np.sign(w) for i, c in enumerate(coils) for _, w in c])
    owner = np.repeat(np.arange(n), [len(c) for c in coils])
    tra = np.zeros((n, len(coilpos)))
    tra[owner, np.arange(len(coilpos))] = np.abs([w for c in coils for _, w in c])
    rng = np.random.default_rng(5)
    src = rng.normal(size=(args.sources, 3))
    src *= (0.08 * rng.uniform(0.1, 1.0, size=args.sources) ** (1 / 3) / np.linalg.norm(src, axis=1))[:, None]
    opts = dict(sphere=SPHERE, sensor_model="standard", formula="ST01", refs=False, threads=args.threads,
                _extra={"isSpatConstrained": 0})

    lf = megfwd.leadfield(sensors, src, **opts)
    times = {"python": [], "leadfield": [], "gain": [], "gateway": []}
    difference = 0.0
    with tempfile.TemporaryDirectory() as tmp:
        write(os.path.join(tmp, "bench.bin"), {"coilpos": coilpos, "coilori": coilori, "tra": tra,
                                               "sources": src, "sphere": np.array(SPHERE),
                                               "threads": args.threads, "runs": args.runs})
        reference = lf.transpose(1, 0, 2).reshape(n, -1)
        reference.T.tofile(os.path.join(tmp, "reference.f64"))  # column-major for Octave
        for _ in range(args.rounds):
            for _ in range(args.runs):
                t0 = time.perf_counter()
                lf = megfwd.leadfield(sensors, src, **opts)
                times["python"].append(time.perf_counter() - t0)
            out = subprocess.run(
                [args.octave, "--norc", "--no-history", "--no-gui", "--eval",
                 f"addpath('{os.path.abspath(args.toolbox)}', '{HERE}', '{os.path.abspath(TEST_DIR)}'); "
                 f"bench_toolbox('{tmp}')"],
                check=True, capture_output=True, text=True).stdout
            for line in out.splitlines():
                key, *values = line.split()
                if key in ("leadfield", "gain", "gateway"):
                    times[key] += [float(v) for v in values]
                elif key == "difference":
                    difference = max(difference, float(values[0]))
    load = os.getloadavg()[0]
    print(f"{n} gradiometers of {len(coilpos)} points x {args.sources} sources, {args.threads} thread(s), {args.rounds} rounds of "
          f"{args.runs} runs, load average {load:.1f} on {os.cpu_count()} cores")
    python = times["python"]
    print(f"  {'Python megfwd.leadfield':<31} median {np.median(python):.3f} s, best {min(python):.3f} s")
    for key, label in (("leadfield", "Octave megfwd_leadfield"), ("gain", "Octave megfwd_gain"),
                       ("gateway", "Octave megfwd_mex alone")):
        t = times[key]
        print(f"  {label:<31} median {np.median(t):.3f} s, best {min(t):.3f} s   "
              f"{np.median(t) / np.median(python):.2f} x / {min(t) / min(python):.2f} x Python")
    print(f"  largest relative difference of the values: {difference:.2g}")


if __name__ == "__main__":
    sys.exit(main())
