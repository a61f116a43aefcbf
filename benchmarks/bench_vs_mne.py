#!/usr/bin/python3
"""megfwd against MNE-Python's sphere-model field step, side by side.

The embedded demo system (275 CTF axial gradiometers, written with
`megfwd demo --write-sensors`) and a grid inside a 75 mm sphere, as
bench_command.py uses. MNE gets an Info with the same 275 gradiometers
(coil type 5001, first coil at the same place, axis along the same normal;
millimetres to metres, head frame = device frame) and the same sphere
centre, and its field step (_compute_forwards with a sphere model: the
numba-compiled _do_sphere_field) runs on the same sources. MNE's 'normal'
accuracy and megfwd's integration order 3 both take 4 points per coil: the
script prints both point counts.

megfwd is timed three ways, on 1 and 2 threads, without reference
correction (MNE's field step has none):
  scan     the library's scan alone (the metadata's scan wall time)
  python   megfwd.leadfield(...) in this process
  command  the whole `megfwd leadfield ... --out x.npy` command
MNE is timed after one warm-up call (numba compiles then), with n_jobs 1
and 2. Each figure is the best of --runs; the load average is printed.

    PYTHONPATH=build/release/python benchmarks/bench_vs_mne.py [--megfwd build/release/megfwd] [--step 7] [--runs 5]

Needs python3-mne and python3-numba for the comparison; without them it
says so and prints megfwd's figures only.
"""
import argparse
import json
import os
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_command  # noqa: E402  (the grid, the runner and the machine's ceiling)


def best_of(runs, fn):
    """Best wall seconds of `runs` calls of fn, and fn's last result."""
    best, out = float("inf"), None
    for _ in range(runs):
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
    return best, out


def load_mne():
    try:
        import mne  # noqa: F401
        import numba  # noqa: F401
        from mne.forward._compute_forward import _compute_forwards  # noqa: F401
        return True
    except ImportError:
        return False


def mne_setup(sensor_file, centre_mm):
    """MNE's coils for the measurement gradiometers of the sensor file, in
    channel order, and its sphere model; with the largest distance (mm)
    between MNE's second coil centre and the file's second coil."""
    import mne
    from mne.io.constants import FIFF
    from mne.forward._make_forward import _create_meg_coils

    with open(sensor_file) as f:
        system = json.load(f)
    scale = {"mm": 1e-3, "m": 1.0}[system.get("unit", "mm")]
    meas = [c for c in system["channels"] if 100 <= c["kind"] <= 103 and c.get("good", True)]
    info = mne.create_info([c["name"] for c in meas], 1000.0, "mag")
    worst = 0.0
    for ch, c in zip(info["chs"], meas):
        first, second = c["coils"][0], c["coils"][1]
        r0 = np.asarray(first["position"]) * scale
        ez = np.asarray(first["normal"], float)
        ez /= np.linalg.norm(ez)
        ex = np.cross(ez, [1.0, 0.0, 0.0] if abs(ez[0]) < 0.9 else [0.0, 1.0, 0.0])
        ex /= np.linalg.norm(ex)
        ey = np.cross(ez, ex)
        ch["coil_type"] = FIFF.FIFFV_COIL_CTF_GRAD
        ch["kind"] = FIFF.FIFFV_MEG_CH
        ch["coord_frame"] = FIFF.FIFFV_COORD_DEVICE
        ch["loc"][:12] = np.concatenate([r0, ex, ey, ez])
        mne_second = r0 + 0.05 * ez
        worst = max(worst, 1e3 * np.linalg.norm(mne_second - np.asarray(second["position"]) * scale))
    coils = _create_meg_coils(info["chs"], "normal", mne.transforms.Transform("meg", "head"))
    sphere = mne.make_sphere_model(r0=np.asarray(centre_mm) * 1e-3, head_radius=None, verbose=False)
    return info, coils, sphere, worst


def mne_field(rr, info, coils, sphere, n_jobs):
    from mne.forward._compute_forward import _compute_forwards
    # _compute_forwards replaces the coil list by its own arrays: a fresh dict per call.
    sensors = {"meg": {"defs": list(coils), "ch_names": info["ch_names"]}}
    return _compute_forwards(rr, bem=sphere, sensors=sensors, n_jobs=n_jobs, verbose=False)["meg"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--megfwd", default="build/release/megfwd")
    ap.add_argument("--step", type=float, default=7.0, help="grid step in mm")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--ceiling-rounds", type=int, default=3)
    a = ap.parse_args()

    import megfwd

    have_mne = load_mne()
    threads = (1, 2)
    with tempfile.TemporaryDirectory() as tmp:
        sensor_file = os.path.join(tmp, "sensors.json")
        bench_command.run([a.megfwd, "demo", "--write-sensors", sensor_file])
        pts = np.asarray(bench_command.sphere_grid(a.step), float)
        source_file = os.path.join(tmp, "sources.txt")
        np.savetxt(source_file, pts)

        def cmd(t, out):
            return [a.megfwd, "leadfield", "--sensors", sensor_file, "--sources", source_file, "--order", "3",
                    "--no-ref", "--threads", str(t), "--out", os.path.join(tmp, out), "--quiet"]

        sensors = megfwd.SensorArray.from_json(sensor_file)
        src_m = pts * 1e-3

        def python_call(t, meta=True):
            return megfwd.leadfield(sensors, src_m, order=3, refs=False, threads=t, return_mask=meta,
                                    return_meta=meta)

        lf, mask, meta = python_call(2)  # warm-up; the sphere and the point count
        centre_mm = meta["spheres"]["scan_sphere"]["center_mm"]
        points = meta["scan"]["integration_points_per_source"]
        bench_command.run(cmd(2, "warm.npy"))
        out_bytes = os.path.getsize(os.path.join(tmp, "warm.npy"))

        load0 = os.getloadavg()
        fig = {}
        for t in threads:
            scan = float("inf")
            wall = float("inf")
            for _ in range(a.runs):
                scan = min(scan, python_call(t)[2]["scan"]["seconds"]["wall"])
                start = time.perf_counter()
                python_call(t, meta=False)  # as a user calls it: the array only
                wall = min(wall, time.perf_counter() - start)
            fig[("scan", t)], fig[("python", t)] = scan, wall
            fig[("command", t)] = min(bench_command.run(cmd(t, f"lf{t}.npy"))[0] for _ in range(a.runs))
            fig[("rss", t)] = bench_command.peak_rss(cmd(t, f"lf{t}.npy"))

        mne_points = None
        if have_mne:
            info, coils, sphere, worst = mne_setup(sensor_file, centre_mm)
            mne_points = sum(len(c["rmag"]) for c in coils)
            B = mne_field(src_m, info, coils, sphere, 1)  # warm-up: numba compiles here
            for t in threads:
                mne_field(src_m, info, coils, sphere, t)  # warm-up: with 2 jobs joblib starts its workers
                fig[("mne", t)] = best_of(a.runs, lambda: mne_field(src_m, info, coils, sphere, t))[0]
            # The same physics, as a check that like is timed against like:
            # MNE's rows are (source, component) x sensor, in T/(A m).
            mne_lf = B.reshape(len(pts), 3, -1).transpose(0, 2, 1)
            in_scan = mask.astype(bool)
            rel = np.abs(mne_lf[in_scan] - lf[in_scan]).max() / np.abs(lf[in_scan]).max()

        alone, paired, ceiling = bench_command.two_process_ceiling(cmd, a.ceiling_rounds)
        load1 = os.getloadavg()

    print(f"megfwd vs MNE-Python field step: demo system, {len(pts)} sources ({a.step:g} mm grid in a 75 mm "
          f"sphere), {lf.shape[1]} CTF axial gradiometers, no reference correction")
    print(f"  integration points per source: megfwd order 3: {points}" +
          (f", MNE 'normal': {mne_points}" if mne_points is not None else ""))
    print(f"  load average before {load0[0]:.2f}, after {load1[0]:.2f}; best of {a.runs} runs")
    if have_mne:
        print(f"  coil placement: MNE's second coils within {worst:.2e} mm of the file's; "
              f"largest difference of the leadfields (in-scan sources) {rel:.2e} of the largest value")
    else:
        print("  MNE-Python or numba is missing: apt-get install python3-mne python3-numba "
              "for the comparison; megfwd's figures follow")
    print(f"  {'':8s} {'threads':>7s} {'seconds':>9s} {'ns/point':>9s}" + (f" {'vs MNE':>8s}" if have_mne else ""))
    n_pts = len(pts) * points
    rows = (["mne"] if have_mne else []) + ["scan", "python", "command"]
    names = {"mne": "MNE", "scan": "scan", "python": "python", "command": "command"}
    for what in rows:
        for t in threads:
            s = fig[(what, t)]
            line = f"  {names[what]:8s} {t:7d} {s:9.4f} {1e9 * s / n_pts * t:9.2f}"
            if have_mne:
                line += f" {fig[('mne', t)] / s:7.1f}x"
            print(line)
    print("  ns/point: thread-nanoseconds per source and integration point, all sources")
    for t in threads:
        if fig[("rss", t)] is not None:
            print(f"  command, {t} thread{'s' if t > 1 else ' '}: peak RSS {fig[('rss', t)] / 2**20:.1f} MiB "
                  f"({fig[('rss', t)] / out_bytes:.2f} x the {out_bytes / 2**20:.1f} MiB output)")
    speedup = fig[("command", 1)] / fig[("command", 2)]
    print(f"  command speed-up 2 threads vs 1: {speedup:.2f}; the machine: two 1-thread commands at once take "
          f"{paired:.3f} s against {alone:.3f} s alone, so at most {ceiling:.2f}x "
          f"({100 * speedup / ceiling:.0f} % of it reached)")
    if have_mne:
        # The whole command's goals (megfwd.leadfield's are bench_mne.py's).
        goals = {("command", 1): 15, ("command", 2): 22}
        for (what, t), goal in goals.items():
            got = fig[("mne", t)] / fig[(what, t)]
            print(f"  goal: {what} on {t} thread{'s' if t > 1 else ''} >= {goal}x MNE: {got:.1f}x, "
                  f"{'met' if got >= goal else 'not met'}")
        print("  the command writes its output (without waiting for the disk: see --sync); "
              "MNE's field step writes nothing")


if __name__ == "__main__":
    main()
