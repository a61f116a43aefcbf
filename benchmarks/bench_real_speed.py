#!/usr/bin/python3
"""The MNE drop-in with the single shell against MNE-Python's BEM forward,
on a real-sized problem.

The Neuromag-style system of benchmarks/real_systems.py (306 channels: 102
places over MNE's average head, each with two planar gradiometers, coil
type 3012, and a magnetometer, 3024; MNE's 'accurate' coil integration, as
make_forward_solution uses), MNE's average inner skull (fsaverage, ico-4:
2562 vertices, 5120 triangles, placed by fsaverage-trans.fif) and the
source grids mne.setup_volume_source_space builds in it (5 mm: 14,637
sources; 10 mm: 1,820). One thread each (OpenBLAS, numba and n_jobs=1).
Timed, each in turn with the others, best of --runs:

- megfwd: ``megfwd.mne.make_forward_solution(..., head_model="single_shell")``
  with the inner-skull surfaces (as make_bem_model returns them), the whole
  call; also its first call, before it has kept the checked surface and
  the fitted shell;
- MNE: ``mne.make_forward_solution`` given the one-layer BEM solution, and
  ``mne.make_bem_solution`` on the same surface.

Then, with --profile, where the drop-in's time goes (cProfile of one call),
and with --check-selection, the library's source selection against MNE's
(_filter_source_spaces) on fsaverage grids of 10, 7 and 5 mm, in the skull
and in a ball of 100 mm around it, with mindist 0, 2.5 and 5 mm: points
that differ, and how far from the surface they are.

    PYTHONPATH=build/test/python /usr/bin/python3 benchmarks/bench_real_speed.py [--grids 5,10] [--runs 3]

The source grids are kept in build/bench_real_speed (MNE takes seconds to
build the 5 mm one). Needs python3-mne and python3-numba; installs nothing.
"""
import os

# One thread for every library before any of them starts.
for _var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS", "NUMBA_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse  # noqa: E402
import cProfile  # noqa: E402
import inspect  # noqa: E402
import pstats  # noqa: E402
import statistics  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import mne  # noqa: E402
import real_systems  # noqa: E402
import megfwd  # noqa: E402
import megfwd.mne as mfm  # noqa: E402
from mne.io.constants import FIFF  # noqa: E402
from mne.transforms import _ensure_trans, transform_surface_to  # noqa: E402

CACHE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench_real_speed")


def fsaverage():
    """The inner skull at ico-4 (MRI frame, metres) and the head->MRI
    transform (benchmarks/real_systems.py)."""
    return real_systems.inner_skull(4), real_systems.head_mri_t()


def volume_grid(skull, pos):
    """MNE's grid of `pos` mm inside the inner skull (mindist 5 mm), cached."""
    os.makedirs(CACHE, exist_ok=True)
    path = os.path.join(CACHE, f"fsaverage-ico4-vol{pos:g}mm-src.fif")
    if os.path.exists(path):
        return mne.read_source_spaces(path, verbose=False)
    src = real_systems.volume_sources(spacing=pos / 1000.0, mindist=0.005, grade=4)
    src.save(path, overwrite=True, verbose=False)
    return src


def bem_surfaces(skull):
    """The one-layer BEM surfaces, as mne.make_bem_model returns them."""
    s = dict(rr=skull["rr"] * 1000.0, tris=skull["tris"].copy())
    return mne.bem._surfaces_to_bem([s], [FIFF.FIFFV_BEM_SURF_ID_BRAIN], [0.3])


def timed(f):
    t0 = time.perf_counter()
    out = f()
    return time.perf_counter() - t0, out


def speed(args, skull, info, trans):
    model = bem_surfaces(skull)
    print("\nWhole forward solutions, one thread each; seconds, best of "
          f"{args.runs} (median in brackets); megfwd at shell order {mfm_order()}")
    rows = []
    for pos in args.grids:
        src = volume_grid(skull, pos)
        ours, mne_fwd, mne_bem = [], [], []
        # Once before timing (Python imports), then once with nothing kept
        # from an earlier call: the surface checked and the shell fitted.
        mfm.make_forward_solution(info, trans, src, model, head_model="single_shell", n_jobs=1, verbose=False)
        mfm._KEPT.clear()
        cold, _ = timed(lambda: mfm.make_forward_solution(info, trans, src, model, head_model="single_shell",
                                                          n_jobs=1, verbose=False))
        for run in range(args.runs):
            t, fwd = timed(lambda: mfm.make_forward_solution(info, trans, src, model, head_model="single_shell",
                                                             n_jobs=1, verbose=False))
            ours.append(t)
            if args.skip_mne or run >= args.mne_runs:
                continue
            t, bem = timed(lambda: mne.make_bem_solution(model, verbose=False))
            mne_bem.append(t)
            t, ref = timed(lambda: mne.make_forward_solution(info, trans, src, bem, eeg=False, n_jobs=1,
                                                             verbose=False))
            mne_fwd.append(t)
        g = fwd["sol"]["data"]
        row = dict(grid=pos, sources=fwd["nsource"], ours=min(ours), ours_median=statistics.median(ours), cold=cold)
        if mne_fwd:
            want = ref["sol"]["data"]
            row.update(fwd_=min(mne_fwd), bem=min(mne_bem),
                       error=100 * np.linalg.norm(g - want) / np.linalg.norm(want),
                       same_sources=bool(np.array_equal(fwd["source_rr"], ref["source_rr"])))
        rows.append(row)
        line = (f"  {pos:g} mm grid, {row['sources']} sources: megfwd {row['ours']:.3f} s ({row['ours_median']:.3f}), "
                f"first call {cold:.3f} s")
        if mne_fwd:
            line += (f"; MNE forward {row['fwd_']:.2f} s, make_bem_solution {row['bem']:.2f} s; "
                     f"gains {row['error']:.2f} % apart, same sources: {row['same_sources']}")
        print(line, flush=True)
    if any("fwd_" in r for r in rows):
        print("\n| grid | sources | megfwd drop-in (first call) | MNE forward, BEM solution given | speed-up "
              "(target 20x) | make_bem_solution + forward | speed-up (target 40x) |")
        print("|---|---|---|---|---|---|---|")
        for r in rows:
            both = r["bem"] + r["fwd_"]
            print(f"| {r['grid']:g} mm | {r['sources']:,} | {r['ours']:.3f} s ({r['cold']:.3f} s) | {r['fwd_']:.2f} s | "
                  f"{r['fwd_'] / r['ours']:.1f}x ({r['fwd_'] / r['cold']:.1f}x) | {both:.2f} s | "
                  f"{both / r['ours']:.1f}x ({both / r['cold']:.1f}x) |")


def mfm_order():
    """The drop-in's default shell order."""
    return inspect.signature(mfm.make_forward_solution).parameters["shell_order"].default


def profile(args, skull, info, trans):
    model = bem_surfaces(skull)
    src = volume_grid(skull, args.grids[0])
    mfm.make_forward_solution(info, trans, src, model, head_model="single_shell", n_jobs=1, verbose=False)
    prof = cProfile.Profile()
    prof.enable()
    mfm.make_forward_solution(info, trans, src, model, head_model="single_shell", n_jobs=1, verbose=False)
    prof.disable()
    print(f"\nWhere the drop-in's time goes ({args.grids[0]:g} mm grid, cProfile, cumulative seconds):")
    pstats.Stats(prof).sort_stats("cumulative").print_stats(25)


def _plane_distance(points, rr, tris):
    """Distance of each point to the surface (to its nearest triangle),
    brute force."""
    a, b, c = rr[tris[:, 0]], rr[tris[:, 1]], rr[tris[:, 2]]
    out = []
    for p in points:
        # The closest point of each triangle (Ericson, Real-Time Collision
        # Detection, 5.1.5), vectorised over the triangles.
        ab, ac, ap = b - a, c - a, p - a
        d1, d2 = np.sum(ab * ap, 1), np.sum(ac * ap, 1)
        bp, cp = p - b, p - c
        d3, d4 = np.sum(ab * bp, 1), np.sum(ac * bp, 1)
        d5, d6 = np.sum(ab * cp, 1), np.sum(ac * cp, 1)
        va, vb, vc = d3 * d6 - d5 * d4, d5 * d2 - d1 * d6, d1 * d4 - d3 * d2
        den = va + vb + vc
        v, w = vb / den, vc / den
        q = a + ab * v[:, None] + ac * w[:, None]
        # Outside the face region, the nearest of the three edges.
        for u0, u1 in ((a, b), (b, c), (c, a)):
            e = u1 - u0
            t = np.clip(np.sum((p - u0) * e, 1) / np.sum(e * e, 1), 0, 1)
            qe = u0 + e * t[:, None]
            outside = (v < 0) | (w < 0) | (v + w > 1)
            better = outside & (np.linalg.norm(qe - p, axis=1) < np.linalg.norm(q - p, axis=1))
            q = np.where(better[:, None], qe, q)
        out.append(np.min(np.linalg.norm(q - p, axis=1)))
    return np.array(out)


def check_selection(skull, trans):
    from mne.source_space import _filter_source_spaces
    mri_head = _ensure_trans(trans, "mri", "head")
    centre = skull["rr"].mean(axis=0)
    print("\nSource selection against MNE's (_filter_source_spaces), fsaverage inner skull ico-4:")
    print("| grid | mindist | points tested | kept by MNE | kept by megfwd | differ | MNE | megfwd |")
    print("|---|---|---|---|---|---|---|---|")
    for kind in ("in the skull", "in a 100 mm ball"):
        for pos in (10.0, 7.0, 5.0):
            if kind == "in the skull":  # as make_forward_solution gets it
                grid = volume_grid(skull, pos)
            else:
                grid = mne.setup_volume_source_space(pos=pos, sphere=(*centre, 0.1), mindist=0.0, exclude=0.0,
                                                     verbose=False)
            for mindist in (0.0, 2.5, 5.0):
                theirs = grid.copy()
                for s in theirs:
                    transform_surface_to(s, "head", mri_head)
                t0 = time.perf_counter()
                _filter_source_spaces(skull, mindist, mri_head, theirs, 1, verbose=False)
                t_mne = time.perf_counter() - t0
                ours = grid.copy()
                for s in ours:
                    transform_surface_to(s, "head", mri_head)
                t0 = time.perf_counter()
                mfm._select_sources(ours, skull, None, mri_head, mindist, np.zeros((0, 3)))
                t_ours = time.perf_counter() - t0
                a, b = ours[0]["inuse"].astype(bool), theirs[0]["inuse"].astype(bool)
                differ = np.flatnonzero(a != b)
                note = ""
                if len(differ):
                    d = _plane_distance(grid[0]["rr"][differ], skull["rr"], skull["tris"])
                    note = f" ({np.sum(d <= 1e-6)} within 1 um of the surface)"
                print(f"| {pos:g} mm {kind} | {mindist:g} mm | {grid[0]['nuse']:,} | {b.sum():,} | {a.sum():,} | "
                      f"{len(differ)}{note} | {t_mne:.2f} s | {1000 * t_ours:.1f} ms |", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--grids", default="5,10", help="grid spacings in mm (default 5,10)")
    parser.add_argument("--runs", type=int, default=3, help="runs of the drop-in per grid (default 3)")
    parser.add_argument("--mne-runs", type=int, default=1, help="runs of MNE per grid (default 1)")
    parser.add_argument("--skip-mne", action="store_true", help="time megfwd only")
    parser.add_argument("--profile", action="store_true", help="cProfile one drop-in call on the first grid")
    parser.add_argument("--check-selection", action="store_true",
                        help="compare the source selection with MNE's on 10, 7 and 5 mm grids")
    args = parser.parse_args()
    args.grids = [float(x) for x in args.grids.split(",")]
    mne.set_log_level("ERROR")
    print("load average before: %.2f %.2f %.2f" % os.getloadavg(), "| cores:", os.cpu_count(),
          "| megfwd", megfwd.__version__ if hasattr(megfwd, "__version__") else "", "| MNE", mne.__version__)
    skull, trans = fsaverage()
    info = real_systems.neuromag306()
    print(f"{len(info['ch_names'])} channels (3012 + 3024, 'accurate' coils); inner skull {len(skull['rr'])} vertices, "
          f"{len(skull['tris'])} triangles")
    speed(args, skull, info, trans)
    if args.profile:
        profile(args, skull, info, trans)
    if args.check_selection:
        check_selection(skull, trans)
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
