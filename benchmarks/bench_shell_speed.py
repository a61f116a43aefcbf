#!/usr/bin/python3
"""Speed of the single-shell head model.

1. Set-up: the fit for a 2562-vertex inner skull (icosahedron subdivided 4
   times), 300 channels and the library's default order (--order N for
   another), as the library times it (the sphere's leadfields at the 5120
   quadrature points and the coefficients; the surface's part, built on
   the model's first call, is kept, so the best of --repeat leaves it out).
2. The scan: leadfields of the same sources with the single shell against
   the single sphere it corrects, threads=1 and all cores.
3. The whole forward solution: megfwd.mne.make_forward_solution with
   head_model='single_shell' against MNE-Python's one-layer BEM
   (mne.make_bem_solution + mne.make_forward_solution) on the same mesh,
   sensors (300 CTF axial gradiometers, MNE's 'accurate' coil integration)
   and sources.

    /usr/bin/python3 benchmarks/bench_shell_speed.py [--sources N]

Needs the built Python module on PYTHONPATH. Times are wall-clock seconds
of one run each (best of --repeat for items 1-2); the machine's load
changes them, so the script prints the load average beside them.
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shell_reference as ref  # noqa: E402


def ctf_info(sensors, normals):
    import mne
    from mne.io.constants import FIFF
    info = mne.create_info(["MEG%03d" % i for i in range(len(sensors))], 1000.0, "mag")
    for ch, p, n in zip(info["chs"], sensors, normals):
        ex = np.cross(n, [1.0, 0, 0]) if abs(n[0]) < 0.9 else np.cross(n, [0, 1.0, 0])
        ex /= np.linalg.norm(ex)
        ch["loc"][:12] = np.concatenate([p, ex, np.cross(n, ex), n])
        ch["coil_type"] = FIFF.FIFFV_COIL_CTF_GRAD
        ch["kind"] = FIFF.FIFFV_MEG_CH
    with info._unlock():
        info["dev_head_t"] = mne.transforms.Transform("meg", "head", np.eye(4))
    return info


def main():
    import mne
    import megfwd
    import megfwd.mne as mfm
    from mne.io.constants import FIFF
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sources", type=int, default=5000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--skip-mne", action="store_true")
    parser.add_argument("--order", type=int, default=None, help="the shell's order (default: the library's)")
    args = parser.parse_args()
    print("load average before: %.2f %.2f %.2f" % os.getloadavg(), "| cores:", os.cpu_count())

    rr, tris = ref.ellipsoid([0.072, 0.082, 0.070], 4)
    sensors, normals = ref.helmet(rr, 300)
    src = ref.sources(rr, tris, args.sources)
    info = ctf_info(sensors, normals)
    array = mfm.from_mne(info)
    shell = megfwd.SingleShell(rr, tris, order=args.order)
    sphere = megfwd.SingleShell(rr, tris, order=0)  # the same sphere, uncorrected

    print(f"\n{len(rr)} vertices, {len(tris)} triangles; {len(array.measurement_names)} channels "
          f"(CTF axial gradiometers, MNE 'accurate' points); {len(src)} sources; N = {shell.order}")
    for threads in (1, None):
        best = {}
        for label, head in (("sphere", sphere), ("shell", shell)):
            for _ in range(args.repeat):
                t0 = time.perf_counter()
                _, meta = megfwd.leadfield(array, src, head=head, sensor_model="standard", threads=threads,
                                           return_meta=True)
                wall = time.perf_counter() - t0
                fit = meta["single_shell"]["fit_seconds"] if label == "shell" else 0.0
                b = best.get(label)
                if b is None or wall < b[0]:
                    best[label] = (wall, fit)
        sw, _ = best["sphere"]
        hw, fit = best["shell"]
        print(f"threads={threads or os.cpu_count()}: set-up (fit) {fit:.3f} s; scan: sphere {sw:.3f} s, "
              f"shell {hw - fit:.3f} s (ratio {(hw - fit) / sw:.2f}); shell whole call {hw:.3f} s")

    if args.skip_mne:
        return
    space = mne.setup_volume_source_space(pos=dict(rr=src, nn=np.tile([0, 0, 1.0], (len(src), 1))), verbose=False)
    trans = mne.transforms.Transform("head", "mri", np.eye(4))
    surf = dict(rr=rr, tris=tris, ntri=len(tris), np=len(rr), id=FIFF.FIFFV_BEM_SURF_ID_BRAIN, sigma=0.3,
                coord_frame=FIFF.FIFFV_COORD_MRI)
    mne.surface.complete_surface_info(surf, copy=False, verbose=False)
    t0 = time.perf_counter()
    fwd_ours = mfm.make_forward_solution(info, trans, space, dict(rr=rr, tris=tris), head_model="single_shell",
                                         n_jobs=-1, verbose=False)
    ours = time.perf_counter() - t0
    # MNE at n_jobs=1 and at every core; the faster counts (its interior
    # check of the sources starts worker processes, which can cost more
    # than it saves).
    best = None
    for n_jobs in (1, os.cpu_count()):
        t0 = time.perf_counter()
        bem = mne.make_bem_solution([surf], verbose=False)
        t_bem = time.perf_counter() - t0
        fwd_mne = mne.make_forward_solution(info, trans, space, bem, meg=True, eeg=False, mindist=0.0,
                                            n_jobs=n_jobs, verbose=False)
        theirs = time.perf_counter() - t0
        print(f"MNE one-layer BEM, n_jobs={n_jobs}: {theirs:.2f} s (of which make_bem_solution {t_bem:.2f} s)")
        if best is None or theirs < best:
            best = theirs
    g0, g1 = fwd_ours["sol"]["data"], fwd_mne["sol"]["data"]
    print(f"\nwhole forward: megfwd single shell {ours:.2f} s; MNE one-layer BEM {best:.2f} s (the faster); "
          f"ratio {best / ours:.1f}x; gains differ by {100 * np.linalg.norm(g0 - g1) / np.linalg.norm(g1):.2f} %")
    print("load average after: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
