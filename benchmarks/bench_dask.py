#!/usr/bin/python3
"""Throughput and memory of megfwd.dask on two local worker processes.

A helmet of 275 axial gradiometers (and 2 reference magnetometers) about a
90 mm conductor sphere; sources from a 2 mm grid inside that sphere (about
381,500 points). Prints:

1. The in-process call `megfwd.leadfield` on 1 and on 2 library threads, and
   megfwd.dask on a LocalCluster of 2 worker processes x 1 thread at blocks
   of 256, 1024, 4096 and 16384 sources, on the same sources (a shuffled
   subset of the grid, so that every block holds as many sources out of
   the scan as any other). The runs take turns, and each figure is the
   median of the rounds. Each block is reduced to one sum per source on
   its worker, so the figures are of the scan and not of moving the
   result to this process (the zarr run below moves it to disk).
   Throughput is sources x sensors x integration points per second; the
   ratio is against the in-process call on 2 threads, which uses the same
   two cores.
2. The peak resident memory of each worker process above its idle size,
   sampled every 5 ms in the workers (psutil, through client.run).
3. Dask's cost per task: 500 blocks of one source, against 500 one-source
   calls in this process.
4. One worker with one Dask thread and 2 library threads per block.
5. The whole grid written by megfwd.dask.write_zarr (blocks of 4096):
   time, size on disk and peak memory of the workers and of this process.

    /usr/bin/python3 benchmarks/bench_dask.py [--sources 131072] [--rounds 2] [--step-mm 2] [--no-zarr]

Run with the package on the path (PYTHONPATH=python, with the built module
copied there, or PYTHONPATH=build/test/python). It installs nothing and
writes only into a temporary directory, which it removes.
"""
import argparse
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time

import numpy as np

CHUNKS = (256, 1024, 4096, 16384)


def helmet_channels(n=275, radius=0.11):
    """Axial gradiometers (lower coil first, 50 mm baseline) spread evenly
    over the upper part of a sphere, with two reference magnetometers."""
    channels = []
    golden = np.pi * (3 - np.sqrt(5))
    for i in range(n):
        z = 0.05 + 0.93 * i / (n - 1)
        r = np.sqrt(1 - z * z)
        u = np.array([r * np.cos(golden * i), r * np.sin(golden * i), z])
        channels.append({"name": f"MEG{i:03d}", "kind": 101,
                         "references": [("REF1", 0.01), ("REF2", -0.02)],
                         "coils": [{"position": radius * u, "normal": u, "radius": 0.009, "turns": 1},
                                   {"position": (radius + 0.05) * u, "normal": u, "radius": 0.009, "turns": -1}]})
    for name, pos, nrm in (("REF1", [0.02, 0.0, 0.25], [0, 0, 1]), ("REF2", [-0.02, 0.03, 0.26], [1, 0, 0])):
        channels.append({"name": name, "kind": 10, "coils": [{"position": pos, "normal": nrm, "radius": 0.009}]})
    return channels


def sphere_grid(step, radius=0.09):
    g = np.arange(-radius, radius + step / 2, step)
    pts = np.array(np.meshgrid(g, g, g, indexing="ij")).reshape(3, -1).T
    return np.ascontiguousarray(pts[np.linalg.norm(pts, axis=1) <= radius + 1e-12])


# --- memory sampling, in whichever process runs it ------------------------

class Sampler:
    """Peak resident memory of this process, sampled every 5 ms."""

    def __init__(self):
        import psutil
        self._proc = psutil.Process()
        self.base = self.peak = self._proc.memory_info().rss
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._loop, daemon=True)
        self._thread.start()

    def _loop(self):
        while not self._stop.wait(0.005):
            self.peak = max(self.peak, self._proc.memory_info().rss)

    def stop(self):
        self._stop.set()
        self._thread.join()
        return self.base, self.peak


def start_sampling(dask_worker):
    dask_worker._megfwd_sampler = Sampler()


def stop_sampling(dask_worker):
    return dask_worker._megfwd_sampler.stop()


def block_sums(b):
    return b.sum(axis=(1, 2))


def mb(nbytes):
    return f"{nbytes / 1e6:8.1f} MB"


def scan_on_workers(client, mdask, sensors, sources, chunks, threads=1):
    """Wall seconds and per-worker memory increase of one scan whose blocks
    are reduced on the workers."""
    lf = mdask.leadfield(sensors, sources, chunks=chunks, threads=threads)
    sums = lf.map_blocks(block_sums, drop_axis=[1, 2], dtype=np.float64)
    client.run(start_sampling)
    start = time.perf_counter()
    total = sums.compute()
    wall = time.perf_counter() - start
    mem = client.run(stop_sampling)
    assert total.shape == (len(sources),)
    return wall, max(peak - base for base, peak in mem.values())


def disk_bytes(path):
    return sum(os.path.getsize(os.path.join(d, f)) for d, _, files in os.walk(path) for f in files)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sources", type=int, default=131072, help="sources of the throughput runs")
    ap.add_argument("--rounds", type=int, default=2, help="rounds of the throughput runs (median)")
    ap.add_argument("--step-mm", type=float, default=2.0, help="grid step of the zarr run")
    ap.add_argument("--no-zarr", action="store_true", help="skip the zarr run")
    args = ap.parse_args()

    import dask
    from distributed import Client, LocalCluster

    import megfwd
    import megfwd.dask as mdask

    sensors = megfwd.SensorArray(helmet_channels(), name="bench helmet")
    sphere = (0.0, 0.0, 0.0, 0.09)
    grid = sphere_grid(args.step_mm / 1000.0)
    rng = np.random.default_rng(0)
    sources = np.ascontiguousarray(grid[rng.permutation(len(grid))[:args.sources]])
    _, mask, meta = megfwd.leadfield(sensors, sources[:4096], sphere=sphere, return_mask=True, return_meta=True)
    n_sns = len(sensors.measurement_names)
    points = meta["scan"]["integration_points_per_source"]
    work = len(sources) * n_sns * points
    print(f"megfwd {megfwd.__version__}, dask {dask.__version__}; {os.cpu_count()} cores, load average "
          f"{os.getloadavg()[0]:.1f} at the start")
    print(f"{n_sns} sensors, {points} integration points per source (all coils), "
          f"{len(sources)} sources ({100 * mask.mean():.0f} % in the scan), {args.rounds} rounds, medians\n")

    with tempfile.TemporaryDirectory(prefix="bench-dask-") as tmp, \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=None, local_directory=tmp) as cluster, \
            Client(cluster) as client:
        client.run(lambda: __import__("megfwd.dask"))
        opts = dict(sphere=sphere)
        times = {key: [] for key in ("in-process, 1 thread", "in-process, 2 threads", *CHUNKS)}
        memory = {c: [] for c in CHUNKS}
        for _ in range(args.rounds):
            for threads in (1, 2):
                start = time.perf_counter()
                lf = megfwd.leadfield(sensors, sources, threads=threads, **opts)
                times[f"in-process, {threads} thread" + ("s" if threads > 1 else "")].append(
                    time.perf_counter() - start)
                del lf
            for c in CHUNKS:
                wall, mem = scan_on_workers(client, mdask, sensors, sources, c)
                times[c].append(wall)
                memory[c].append(mem)
        base = statistics.median(times["in-process, 2 threads"])
        print(f"{'run':<32}{'tasks':>7}{'wall s':>9}{'Gpts/s':>9}{'vs 2 thr':>10}{'worker peak above idle':>26}")
        for key, values in times.items():
            wall = statistics.median(values)
            tasks = "" if isinstance(key, str) else -(-len(sources) // key)
            name = key if isinstance(key, str) else f"dask, 2 workers, blocks of {key}"
            mem = "" if isinstance(key, str) else mb(statistics.median(memory[key]))
            print(f"{name:<32}{tasks:>7}{wall:>9.2f}{work / wall / 1e9:>9.3f}{base / wall:>9.0%} {mem:>25}")
        print("(Gpts/s: 1e9 sources x sensors x integration points per second; 'vs 2 thr': the in-process call "
              "on 2 threads over this run's time)")
        for c in CHUNKS:
            out_bytes = c * n_sns * 3 * 8
            print(f"  blocks of {c:>5}: result per block {mb(out_bytes)}, sources sent per block {c * 24} bytes")

        # Dask's own cost per task: blocks of one source, against as many
        # one-source calls in this process (the library's cost per call).
        few = sources[:500]
        start = time.perf_counter()
        for row in few:
            megfwd.leadfield(sensors, row[np.newaxis], threads=1, **opts)
        per_call = (time.perf_counter() - start) / len(few)
        wall, _ = scan_on_workers(client, mdask, sensors, few, 1)
        per_task = wall * 2 / len(few)
        print(f"\n500 blocks of 1 source on 2 workers: {wall:.2f} s, {per_task * 1e3:.2f} ms per task and worker; "
              f"one-source calls in this process: {per_call * 1e3:.2f} ms each; Dask's cost per task: "
              f"{(per_task - per_call) * 1e3:.2f} ms")

    with tempfile.TemporaryDirectory(prefix="bench-dask-") as tmp, \
            LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=None, local_directory=tmp) as cluster, \
            Client(cluster) as client:
        wall, _ = scan_on_workers(client, mdask, sensors, sources, 4096, threads=2)
        print(f"1 worker x 1 Dask thread, 2 library threads per block of 4096: {wall:.2f} s, "
              f"{base / wall:.0%} of in-process on 2 threads")

    if args.no_zarr:
        return
    with tempfile.TemporaryDirectory(prefix="bench-dask-") as tmp, \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                         dashboard_address=None, local_directory=tmp) as cluster, \
            Client(cluster) as client:
        out = os.path.join(tmp, "lf.zarr")
        client.run(start_sampling)
        here = Sampler()
        start = time.perf_counter()
        written = mdask.write_zarr(out, sensors, grid, chunks=4096, **opts)
        wall = time.perf_counter() - start
        mem = client.run(stop_sampling)
        base_here, peak_here = here.stop()
        n = len(grid)
        raw = n * n_sns * 3 * 8
        print(f"\nwrite_zarr: {n} sources ({written['sources']['in_scan_count']} in the scan; {args.step_mm:g} mm grid "
              f"in a 90 mm sphere) x {n_sns} sensors x 3, blocks of 4096 on 2 workers")
        print(f"  {wall:.1f} s, {n / wall:.0f} sources/s; {mb(raw)} of float64, {mb(disk_bytes(out))} on disk "
              f"(zarr's default compressor)")
        print("  peak resident memory: workers " + ", ".join(mb(p).strip() + f" ({mb(p - b).strip()} above idle)"
                                                           for b, p in mem.values())
              + f"; this process {mb(peak_here).strip()} ({mb(peak_here - base_here).strip()} above its size "
                f"before)")
        shutil.rmtree(out)


if __name__ == "__main__":
    sys.exit(main())
