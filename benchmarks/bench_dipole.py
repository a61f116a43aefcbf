"""megfwd's dipole fit against mne.fit_dipole on simulated evoked responses.

A Neuromag-style system (102 sites, 306 channels; dipole_simulation.py), one
dipole per time point at random positions with tangential moments of
10-50 nA m, noise of a diagonal covariance (nave 40), made with
mne.simulate_evoked. Both fits get the same data, covariance and head model
and run on one thread (n_jobs=1):
  sphere: mne.make_sphere_model(r0=(0, 0, 0.04), head_radius=0.09);
  shell:  MNE's average inner skull (fsaverage, ico-4) as a one-layer BEM,
          megfwd.mne.fit_dipole(..., head_model='single_shell').
Reported: position error against the truth and against MNE's fit, GOF
differences, amplitude ratios (on time points where MNE's GOF >= 70 %), and
the time per time point: the whole call divided by the time points, and the
marginal time (the call with all time points less the call with one, per
added time point), which leaves out what both do once (whitener, guesses).

    PYTHONPATH=build/release/python /usr/bin/python3 benchmarks/bench_dipole.py [--times 40] [--shell-times 6]
"""
import argparse
import os
import sys
import time

import numpy as np

import mne

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import dipole_simulation as ds  # noqa: E402

import megfwd.mne as mfm  # noqa: E402

mne.set_log_level("warning")
CENTRE = np.array([0.0, 0.0, 0.04])


def random_dipoles(n, inside, rng, radius=0.055):
    """Positions (accepted by `inside`) and tangential moments of 10-50 nA m."""
    pos, mom = [], []
    while len(pos) < n:
        p = CENTRE + rng.uniform(-radius, radius, 3)
        if np.linalg.norm(p - CENTRE) > radius or not inside(p):
            continue
        t = np.cross(p - CENTRE, rng.normal(size=3))
        pos.append(p)
        mom.append(rng.uniform(10e-9, 50e-9) * t / np.linalg.norm(t))
    return np.array(pos), np.array(mom)


def timed(fn, *args, **kwargs):
    t0 = time.perf_counter()
    out = fn(*args, **kwargs)
    return out, time.perf_counter() - t0


def compare(name, evoked, cov, model, truth, **megfwd_kwargs):
    one = evoked.copy().crop(evoked.times[0], evoked.times[0])
    n = len(evoked.times)
    (ref, _), t_mne = timed(mne.fit_dipole, evoked, cov, model, n_jobs=1)
    (_, _), t_mne1 = timed(mne.fit_dipole, one, cov, model, n_jobs=1)
    (dip, _), t_meg = timed(mfm.fit_dipole, evoked, cov, model, n_jobs=1, **megfwd_kwargs)
    (_, _), t_meg1 = timed(mfm.fit_dipole, one, cov, model, n_jobs=1, **megfwd_kwargs)
    good = ref.gof >= 70.0
    d_mne = np.linalg.norm(dip.pos - ref.pos, axis=1)[good] * 1e3
    print(f"\n{name}: {n} time points, {good.sum()} with MNE's GOF >= 70 %")
    print(f"  error vs truth (mm, median / max):   megfwd {np.median(np.linalg.norm(dip.pos - truth, axis=1)) * 1e3:.2f}"
          f" / {np.max(np.linalg.norm(dip.pos - truth, axis=1)) * 1e3:.2f}, MNE "
          f"{np.median(np.linalg.norm(ref.pos - truth, axis=1)) * 1e3:.2f} / "
          f"{np.max(np.linalg.norm(ref.pos - truth, axis=1)) * 1e3:.2f}")
    print(f"  megfwd vs MNE position (mm):         median {np.median(d_mne):.3f}, max {np.max(d_mne):.3f}")
    gd = (dip.gof - ref.gof)[good]
    print(f"  GOF megfwd - MNE (points):           min {gd.min():+.3f}, median {np.median(gd):+.3f}, max {gd.max():+.3f}")
    ar = (dip.amplitude / ref.amplitude)[good] - 1
    print(f"  amplitude megfwd / MNE - 1:          max |.| {np.abs(ar).max() * 100:.2f} %")
    per_mne, per_meg = t_mne / n, t_meg / n
    marg_mne, marg_meg = (t_mne - t_mne1) / (n - 1), (t_meg - t_meg1) / (n - 1)
    print(f"  time per time point (ms), whole call: MNE {per_mne * 1e3:.1f}, megfwd {per_meg * 1e3:.2f} "
          f"({per_mne / per_meg:.0f}x)")
    print(f"  time per added time point (ms):       MNE {marg_mne * 1e3:.1f}, megfwd {marg_meg * 1e3:.2f} "
          f"({marg_mne / max(marg_meg, 1e-9):.0f}x)")
    return dict(n=n, good=int(good.sum()), median=np.median(d_mne), max=np.max(d_mne), gof_min=gd.min(),
                amp=np.abs(ar).max(), speed_whole=per_mne / per_meg, speed_marginal=marg_mne / max(marg_meg, 1e-9))


def fsaverage_bem():
    """MNE's average inner skull at ico-4 as a one-layer BEM solution (MRI =
    head frame), and the surface."""
    from bench_sphere_accuracy import fsaverage_mesh, _mne_surface
    rr, tris = fsaverage_mesh(4)
    surf = _mne_surface(rr, tris)
    return mne.make_bem_solution([surf], verbose=False), surf


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--times", type=int, default=40, help="time points of the sphere comparison")
    ap.add_argument("--shell-times", type=int, default=6, help="time points of the single-shell comparison")
    ap.add_argument("--no-sphere", action="store_true", help="leave the sphere comparison out")
    ap.add_argument("--seed", type=int, default=0)
    args = ap.parse_args()
    print("load:", os.getloadavg())
    rng = np.random.default_rng(args.seed)
    info = ds.neuromag_info(102)
    cov = ds.noise_cov(info)

    sphere = mne.make_sphere_model(r0=tuple(CENTRE), head_radius=0.09, verbose=False)
    pos, mom = random_dipoles(args.times, lambda p: True, rng)
    if not args.no_sphere:
        evoked = ds.simulate(info, sphere, pos, mom, cov, nave=40, seed=args.seed)
        compare("Sphere (MNE: Sarvas sphere field, COBYLA; megfwd: same field, Levenberg-Marquardt)", evoked, cov,
                sphere, pos)

    if args.shell_times > 1:
        bem, surf = fsaverage_bem()
        from mne.surface import _CheckInside
        inside = _CheckInside(surf)
        pos, mom = random_dipoles(args.shell_times, lambda p: inside(p[np.newaxis])[0], rng, radius=0.05)
        evoked = ds.simulate(info, bem, pos, mom, cov, nave=40, seed=args.seed + 1)
        compare("Single shell (MNE: one-layer BEM of fsaverage's inner skull; megfwd: single shell of the same "
                "surface)", evoked, cov, bem, pos, head_model="single_shell")
    print("load:", os.getloadavg())


if __name__ == "__main__":
    main()
