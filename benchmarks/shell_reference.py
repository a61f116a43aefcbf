"""MNE-Python's one-layer boundary-element model as a reference for the
single-shell model: synthetic inner-skull shapes, a helmet of point
magnetometers outside them, sources inside, and the BEM gain.

Used by benchmarks/make_shell_fixtures.py (the test fixtures) and by the
single shell's speed bench. The meshes, the BEM and the numpy sphere field
are the accuracy bench's (bench_sphere_accuracy.py); this module adds the
layout of the fixtures: point magnetometers along random rays over the
upper head and sources along random rays. Everything is in metres, in one
frame (head = MRI).
"""
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_sphere_accuracy import ellipsoid_mesh as ellipsoid  # noqa: E402,F401  (re-exported)
from bench_sphere_accuracy import mne_gain, sarvas_leadfield, signed_volume, _mne_surface  # noqa: E402


def outward(rr, tris):
    """Triangles wound outward (MNE accepts inward ones silently and is then
    about ten times wrong)."""
    return tris if signed_volume(rr, tris) > 0 else tris[:, [0, 2, 1]]


def helmet(rr, n_sensors, gap=0.035, seed=0):
    """Point magnetometers `gap` outside the surface along rays from its
    centroid, over the upper part of the head (z above -0.3 of the extent),
    oriented along the ray."""
    rng = np.random.default_rng(seed)
    centre = rr.mean(0)
    dirs = []
    while len(dirs) < n_sensors:
        d = rng.normal(size=3)
        d /= np.linalg.norm(d)
        if d[2] > -0.3:
            dirs.append(d)
    dirs = np.array(dirs)
    # Distance of the surface along each ray: the farthest vertex within a
    # narrow cone, which is close enough for a convex-ish shape.
    rel = rr - centre
    dist = np.linalg.norm(rel, axis=1)
    pos = []
    for d in dirs:
        cosang = rel @ d / dist
        near = cosang > np.cos(np.deg2rad(8))
        r = np.max(dist[near] * cosang[near])
        pos.append(centre + d * (r + gap))
    return np.array(pos), dirs


def sources(rr, tris, n, lo=0.35, hi=0.88, seed=1):
    """Sources at lo..hi of the way from the centroid to the surface."""
    rng = np.random.default_rng(seed)
    centre = rr.mean(0)
    rel = rr - centre
    dist = np.linalg.norm(rel, axis=1)
    out = []
    while len(out) < n:
        d = rng.normal(size=3)
        d /= np.linalg.norm(d)
        cosang = rel @ d / dist
        near = cosang > np.cos(np.deg2rad(8))
        r = np.min(dist[near] * cosang[near]) * 0.97
        out.append(centre + d * r * rng.uniform(lo, hi))
    return np.array(out)


def bem_gain(rr, tris, sensors, normals, src):
    """Gain (n_src, n_sensors, 3) in T/(A m) of MNE's one-layer BEM."""
    import mne
    tris = outward(rr, tris)
    channels = [{"coils": [{"position": p, "normal": n, "weight": 1.0}]} for p, n in zip(sensors, normals)]
    g = mne_gain(mne.make_bem_solution([_mne_surface(rr, tris)], verbose=False), channels, src)
    return g.reshape(len(sensors), len(src), 3).transpose(1, 0, 2)


def sarvas(src, sensors, normals, origin):
    """The sphere's leadfield (n_src, n_sensors, 3) of point magnetometers
    (Sarvas 1987), T/(A m)."""
    return sarvas_leadfield(np.asarray(sensors, float), np.asarray(normals, float), origin, src).transpose(1, 0, 2)


def rel_error(g, ref):
    return np.linalg.norm(g - ref) / np.linalg.norm(ref)
