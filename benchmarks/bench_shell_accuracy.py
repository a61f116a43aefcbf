#!/usr/bin/python3
"""Accuracy of the single-shell head model against MNE-Python's one-layer
BEM, beside the fitted single sphere.

Shapes: a mild ellipsoid (semi-axes 72/82/70 mm), an elongated one
(68/85/62 mm), a bumpy shell (an icosphere perturbed by harmonics of
degrees 2-4) and MNE's fsaverage inner skull; every one an icosahedron
subdivided 4 times (2562 vertices; fsaverage downsampled with
mne.bem._ico_downsample). Sensors: 150 point magnetometers 35 mm outside,
radial, over the upper head. Sources: 600 at 0.35-0.88 of the way from the
centroid to the surface. The reference is MNE's one-layer BEM on the same
mesh; its own mesh error is the ico-3 BEM against the ico-4 one, and no
error below it means anything.

    /usr/bin/python3 benchmarks/bench_shell_accuracy.py [--quick]

Figures: whole-gain relative error |G - G_BEM| / |G_BEM| in per cent, and
the median over sources of the topography error (relative difference
measure of each source's three-component gain). Needs the built Python
module on PYTHONPATH (build/test/python or build/release/python).
"""
import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import shell_reference as ref  # noqa: E402

ORDERS = (2, 4, 6, 10, 16)
FITS = ("galerkin", "lsq")


def bumpy(grade=4):
    from scipy.special import sph_harm
    rr, tris = ref.icosphere(grade)
    theta = np.arccos(np.clip(rr[:, 2], -1, 1))
    phi = np.arctan2(rr[:, 1], rr[:, 0])
    r = 1.0 + 0.06 * np.real(sph_harm(0, 2, phi, theta)) + 0.05 * np.real(sph_harm(2, 2, phi, theta)) \
        + 0.04 * np.real(sph_harm(1, 3, phi, theta)) + 0.03 * np.imag(sph_harm(3, 4, phi, theta))
    return rr * (r * 0.076)[:, None] * [1.0, 1.08, 0.95], tris


def fsaverage(grade):
    import mne
    path = os.path.join(os.path.dirname(mne.__file__), "data", "fsaverage", "fsaverage-inner_skull-bem.fif")
    surf = mne.read_bem_surfaces(path, verbose=False)[0]
    down = mne.bem._ico_downsample(surf, grade)
    return down["rr"], down["tris"]


def shapes():
    return {
        "mild ellipsoid 72/82/70 mm": lambda g: ref.ellipsoid([0.072, 0.082, 0.070], g),
        "elongated ellipsoid 68/85/62 mm": lambda g: ref.ellipsoid([0.068, 0.085, 0.062], g),
        "bumpy shell": bumpy,
        "fsaverage inner skull": fsaverage,
    }


def topography_error(g, r):
    """Median over sources of the relative difference measure of the
    (sensors x 3) gains, each normalised."""
    out = []
    for a, b in zip(g, r):
        out.append(np.linalg.norm(a / np.linalg.norm(a) - b / np.linalg.norm(b)))
    return float(np.median(out))


def point_magnetometers(sensors, normals):
    import megfwd
    return megfwd.SensorArray([{"name": "M%03d" % i, "kind": 100,
                                "coils": [{"position": p, "normal": n, "radius": 0.0}]}
                               for i, (p, n) in enumerate(zip(sensors, normals))], name="helmet")


def main():
    import megfwd
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="the mild ellipsoid only")
    args = parser.parse_args()
    rows = []
    for name, make in shapes().items():
        if args.quick and not name.startswith("mild"):
            continue
        rr, tris = make(4)
        tris = ref.outward(rr, tris)
        sensors, normals = ref.helmet(rr, 150)
        src = ref.sources(rr, tris, 600)
        t0 = time.time()
        bem = ref.bem_gain(rr, tris, sensors, normals, src)
        t_bem = time.time() - t0
        rr3, tris3 = make(3)
        mesh = ref.rel_error(ref.bem_gain(rr3, ref.outward(rr3, tris3), sensors, normals, src), bem)
        array = point_magnetometers(sensors, normals)
        fitted = megfwd.SingleShell(rr, tris, order=0)
        sphere = megfwd.leadfield(array, src, head=fitted, sensor_model="standard")
        print(f"\n{name}: {len(rr)} vertices; BEM reference {t_bem:.1f} s; "
              f"reference mesh error (ico-3 vs ico-4) {100 * mesh:.2f} %")
        print(f"  {'model':32s} {'whole gain':>10s} {'topography':>10s}")
        line = lambda label, g: print(f"  {label:32s} {100 * ref.rel_error(g, bem):9.2f} % "  # noqa: E731
                                      f"{100 * topography_error(g, bem):9.2f} %")
        line("fitted single sphere", sphere)
        rows.append((name, "sphere", ref.rel_error(sphere, bem), mesh))
        for order in ORDERS:
            for fit in FITS:
                shell = megfwd.SingleShell(rr, tris, order=order, fit=fit)
                g = megfwd.leadfield(array, src, head=shell, sensor_model="standard")
                line(f"single shell N={order:2d} {fit}", g)
                rows.append((name, f"N={order} {fit}", ref.rel_error(g, bem), mesh))
    return rows


if __name__ == "__main__":
    main()
