#!/usr/bin/python3
"""Sphere head models against MNE-Python's one-layer boundary-element model.

For synthetic inner-skull meshes the bench compares the whole gain of each
head model in the METHODS table with the gain of MNE-Python's one-layer BEM
(linear collocation on the same mesh), and prints per method and shape:

  whole    ||G - G_BEM|| / ||G_BEM|| over all sensors and x, y, z dipoles
  depth    the median over sources of the per-source error, in three bands of
           the source's depth (fraction of the surface's distance along the
           ray from the mesh centroid)
  rdm      the median topography error (relative difference measure,
           ||g/|g| - g_BEM/|g_BEM||| for the two dipoles tangential to the
           ray from the centroid)

Methods: the sphere fitted to the whole surface, the library's default
(dewar) sphere, the library's local spheres `nearby` and `weighted`, the
per-sensor bound: each sensor's centre chosen by least squares against its
BEM gain row among the spheres that contain every source and leave the
sensor's coils outside (the best any sphere per sensor can do), and the
single-shell model (the fitted sphere corrected by a harmonic expansion
fitted to the mesh) at orders 2, 4, 6, 10 and 16 with both fits.

The set-up, with the reasons for it:
  meshes    icosahedra subdivided four times (2562 vertices), wound outward
            (checked: MNE accepts inward triangles and is then far off);
            ellipsoids 72/82/70 and 68/85/62 mm, a bumpy shape (an
            ellipsoid times 1 + four low-order harmonics), and MNE's
            fsaverage inner skull downsampled to the same icosahedron.
            --mesh-error adds the reference's own error (its ico-3 gain
            against its ico-4 gain): no figure below it means anything.
  sensors   150 places on a helmet 35 mm outside the mesh along its normal
            (averaged over 15 mm so a bumpy mesh gives a smooth helmet);
            even places hold a point magnetometer, odd ones a point axial
            gradiometer (50 mm baseline), both along that normal.
  sources   600 at 0.35-0.88 of the way from the centroid to the surface,
            along random rays (fixed seed).
  reference MNE's one-layer BEM on the mesh (sigma 0.3 S/m); each coil is a
            point magnetometer in MNE and the sensors' rows are combined
            from them. `check_reference` compares MNE on an 80 mm spherical
            mesh with the analytic sphere first.

The BEM gains are kept in --cache (keyed by a hash of mesh, coils and
sources), so a second run takes seconds; a first run takes a few minutes
per shape. Run from the repository root, after building the Python module:

    PYTHONPATH=build/test/python /usr/bin/python3 benchmarks/bench_sphere_accuracy.py

Options: --shapes, --methods, --sources, --cache, --json (the figures as JSON),
and --write-fixture (the small fixture the accuracy test uses).

Other head models join by adding a row to METHODS (a function from a Case
to a gain) and shapes by adding to SHAPES (a function returning vertices in
metres and outward triangles); `bem_reference_gain` gives the reference for
any mesh, sensors and sources.
"""
import argparse
import hashlib
import json
import os
import sys
import time
from dataclasses import dataclass, field

import numpy as np

MU0_OVER_4PI = 1e-7
HELMET_GAP = 0.035          # m, sensors outside the mesh
GRADIOMETER_BASELINE = 0.05  # m
DEPTH_BANDS = ((0.35, 0.55), (0.55, 0.72), (0.72, 0.88))


# ---------------------------------------------------------------- meshes

def ico_sphere(grade=4):
    """Unit icosahedron subdivided `grade` times: vertices, triangles (outward)."""
    from mne.surface import _get_ico_surface
    s = _get_ico_surface(grade)
    return s["rr"].copy(), s["tris"].copy()


def ellipsoid_mesh(axes, grade=4):
    u, tris = ico_sphere(grade)
    return u * np.asarray(axes, dtype=float), tris


def bumpy_mesh(grade=4):
    """An ellipsoid 72/80/68 mm times 1 + h, h a few low-order harmonics
    (degrees 2-4) of up to ~8 %."""
    u, tris = ico_sphere(grade)
    x, y, z = u.T
    h = (0.15 * x * y + 0.04 * (5 * z ** 3 - 3 * z) / 2 + 0.09 * (x ** 2 - y ** 2) * z
         + 0.03 * (35 * z ** 4 - 30 * z ** 2 + 3) / 8)
    return u * np.array([0.072, 0.080, 0.068]) * (1 + h)[:, None], tris


def fsaverage_mesh(grade=4):
    """MNE's average inner skull (metres, MRI coordinates), downsampled from
    its fifth subdivision of an icosahedron to `grade`."""
    import mne
    path = os.path.join(os.path.dirname(mne.__file__), "data", "fsaverage", "fsaverage-inner_skull-bem.fif")
    surf = mne.read_bem_surfaces(path, verbose=False)[0]
    with mne.utils.use_log_level(False):
        down = mne.bem._ico_downsample(surf, grade)
    return down["rr"], down["tris"]


@dataclass
class Shape:
    name: str
    label: str
    make: object  # (grade=4) -> (vertices (n, 3) in metres, triangles (m, 3))


SHAPES = [
    Shape("ellipsoid_mild", "ellipsoid 72/82/70 mm", lambda grade=4: ellipsoid_mesh([0.072, 0.082, 0.070], grade)),
    Shape("ellipsoid_long", "ellipsoid 68/85/62 mm", lambda grade=4: ellipsoid_mesh([0.068, 0.085, 0.062], grade)),
    Shape("bumpy", "bumpy (ico-4, harmonics 2-4)", bumpy_mesh),
    Shape("fsaverage", "fsaverage inner skull (ico-4)", fsaverage_mesh),
]


def signed_volume(rr, tris):
    a, b, c = rr[tris[:, 0]], rr[tris[:, 1]], rr[tris[:, 2]]
    return np.einsum("ij,ij->i", a, np.cross(b, c)).sum() / 6.0


def check_outward(rr, tris, what):
    """Refuse an inward-wound mesh: MNE would take it and be badly off."""
    if signed_volume(rr, tris) <= 0:
        raise ValueError(f"{what}: the triangles are wound inward (negative enclosed volume)")


def ray_distances(rr, tris, origin, dirs):
    """Distance from `origin` along each unit direction to the mesh's
    farthest crossing (Moller-Trumbore, all triangles at once per ray)."""
    v0 = rr[tris[:, 0]]
    e1, e2 = rr[tris[:, 1]] - v0, rr[tris[:, 2]] - v0
    t0 = origin - v0
    q = np.cross(t0, e1)
    out = np.empty(len(dirs))
    for i, d in enumerate(dirs):
        p = np.cross(d, e2)
        det = np.einsum("ij,ij->i", e1, p)
        ok = np.abs(det) > 1e-18
        inv = np.where(ok, 1.0 / np.where(ok, det, 1.0), 0.0)
        u = np.einsum("ij,ij->i", t0, p) * inv
        v = (q @ d) * inv
        t = np.einsum("ij,ij->i", e2, q) * inv
        hit = ok & (u >= 0) & (v >= 0) & (u + v <= 1) & (t > 0)
        if not hit.any():
            raise ValueError("a ray from the mesh centroid does not leave the mesh: is it closed?")
        out[i] = t[hit].max()
    return out


def fibonacci_cap(n, zmin=-0.2):
    k = np.arange(n) + 0.5
    z = 1 - (1 - zmin) * k / n
    phi = np.pi * (3 - np.sqrt(5)) * k
    s = np.sqrt(1 - z ** 2)
    return np.c_[s * np.cos(phi), s * np.sin(phi), z]


def helmet(rr, tris, n=150, gap=HELMET_GAP, baseline=GRADIOMETER_BASELINE, smooth=0.015):
    """Channels (megfwd.SensorArray form, metres) on a helmet `gap` outside
    the mesh: even places point magnetometers, odd places point axial
    gradiometers (second coil `baseline` further out, weight -1)."""
    centroid = rr.mean(0)
    u = fibonacci_cap(n)
    foot = centroid + ray_distances(rr, tris, centroid, u)[:, None] * u
    v0 = rr[tris[:, 0]]
    cross = np.cross(rr[tris[:, 1]] - v0, rr[tris[:, 2]] - v0)
    tri_centre = (v0 + rr[tris[:, 1]] + rr[tris[:, 2]]) / 3
    channels = []
    for i in range(n):
        w = np.exp(-((tri_centre - foot[i]) ** 2).sum(1) / (2 * smooth ** 2))
        normal = w @ cross
        normal /= np.linalg.norm(normal)
        p = foot[i] + gap * normal
        coils = [{"position": p, "normal": normal, "weight": 1.0}]
        if i % 2:
            coils.append({"position": p + baseline * normal, "normal": normal, "weight": -1.0})
        channels.append({"name": f"{'GRD' if i % 2 else 'MAG'}{i:03d}", "kind": 101, "coils": coils})
    return channels


def sources_inside(rr, tris, n=600, lo=0.35, hi=0.88, seed=0):
    """Sources at a uniform fraction lo..hi of the way from the centroid to
    the surface along random rays; returns positions (n, 3) and fractions."""
    rng = np.random.default_rng(seed)
    centroid = rr.mean(0)
    u = rng.normal(size=(n, 3))
    u /= np.linalg.norm(u, axis=1)[:, None]
    frac = lo + (hi - lo) * rng.random(n)
    return centroid + (frac * ray_distances(rr, tris, centroid, u))[:, None] * u, frac


def coil_arrays(channels):
    """Every coil's position, normal and weight, and its channel's index."""
    pos, nrm, wt, owner = [], [], [], []
    for i, ch in enumerate(channels):
        for c in ch["coils"]:
            pos.append(c["position"])
            nrm.append(np.asarray(c["normal"]) / np.linalg.norm(c["normal"]))
            wt.append(c["weight"])
            owner.append(i)
    return np.array(pos), np.array(nrm), np.array(wt), np.array(owner)


# ---------------------------------------------------------------- reference

def _mne_surface(rr, tris):
    from mne.io.constants import FIFF
    from mne.surface import complete_surface_info
    s = dict(rr=np.array(rr, float), tris=np.array(tris), np=len(rr), ntri=len(tris),
             id=FIFF.FIFFV_BEM_SURF_ID_BRAIN, sigma=0.3, coord_frame=FIFF.FIFFV_COORD_MRI)
    return complete_surface_info(s, copy=False, verbose=False)


def _mne_point_info(positions, normals):
    """An Info with one point magnetometer per coil."""
    import mne
    from mne.io.constants import FIFF
    info = mne.create_info([f"C{i:04d}" for i in range(len(positions))], 1000.0, "mag")
    with info._unlock():
        for ch, p, n in zip(info["chs"], positions, normals):
            ex = np.cross(n, [1.0, 0, 0] if abs(n[0]) < 0.9 else [0, 1.0, 0])
            ex /= np.linalg.norm(ex)
            ch["coil_type"] = FIFF.FIFFV_COIL_POINT_MAGNETOMETER
            ch["loc"][:] = np.r_[p, ex, np.cross(n, ex), n]
    return info


def mne_gain(model, channels, sources):
    """Gain (n_channels, 3 * n_sources), source-major x, y, z columns, of an
    MNE conductor model (BEM solution or sphere); head frame = MRI frame."""
    import mne
    pos, nrm, wt, owner = coil_arrays(channels)
    src = mne.setup_volume_source_space(pos=dict(rr=sources, nn=np.tile([0.0, 0.0, 1.0], (len(sources), 1))),
                                        verbose=False)
    fwd = mne.make_forward_solution(_mne_point_info(pos, nrm), mne.transforms.Transform("head", "mri"), src,
                                    model, meg=True, eeg=False, mindist=0.0, verbose=False)
    if fwd["nsource"] != len(sources):
        raise RuntimeError(f"MNE kept {fwd['nsource']} of {len(sources)} sources")
    combine = np.zeros((len(channels), len(pos)))
    combine[owner, np.arange(len(pos))] = wt
    return combine @ fwd["sol"]["data"]


def bem_reference_gain(rr, tris, channels, sources, cache=None):
    """MNE-Python's one-layer BEM gain (n_channels, 3 * n_sources) in T/(A m)
    for a closed outward mesh (metres), point-coil channels and sources.
    With `cache` (a directory) the gain is kept there under a hash of the
    inputs and read back on the next call."""
    check_outward(rr, tris, "BEM mesh")
    pos, nrm, wt, _ = coil_arrays(channels)
    key = hashlib.sha1()
    for a in (rr, tris, pos, nrm, wt, sources):
        key.update(np.ascontiguousarray(a, dtype=float).tobytes())
    path = os.path.join(cache, f"bem_{key.hexdigest()[:16]}.npy") if cache else None
    if path and os.path.exists(path):
        return np.load(path)
    import mne
    gain = mne_gain(mne.make_bem_solution([_mne_surface(rr, tris)], verbose=False), channels, sources)
    if path:
        os.makedirs(cache, exist_ok=True)
        np.save(path + ".part.npy", gain)
        os.replace(path + ".part.npy", path)
    return gain


# ---------------------------------------------------------------- sphere field in numpy

def sarvas_leadfield(coil_pos, coil_nrm, centre, sources):
    """Sarvas (1987) leadfield (n_coils, n_sources, 3) in T/(A m) for point
    coils and spheres centred at `centre` ((3,) or one per coil). It is the
    form MNE's _do_sphere_field uses: B.n = q . [(r0 x n)/F + (g0 r0.n - gr r.n) (r0 x r)/F^2]."""
    centre = np.broadcast_to(centre, coil_pos.shape)
    r = (coil_pos - centre)[:, None, :]
    r0 = sources[None, :, :] - centre[:, None, :]
    a_vec = r - r0
    a = np.linalg.norm(a_vec, axis=-1)
    rn = np.linalg.norm(r, axis=-1)
    ar0 = np.einsum("...i,...i", a_vec, r) / a
    F = a * (rn * a + rn ** 2 - np.einsum("...i,...i", r0, r))
    gr = a ** 2 / rn + ar0 + 2 * (a + rn)
    g0 = a + 2 * rn + ar0
    n = coil_nrm[:, None, :]
    g = (g0 * np.einsum("...i,...i", r0, n) - gr * np.einsum("...i,...i", r, n)) / F ** 2
    return MU0_OVER_4PI * (np.cross(r0, n) / F[..., None] + g[..., None] * np.cross(r0, r))


def numpy_sphere_gain(channels, sources, centres):
    """Gain (n_channels, 3 * n_sources) with one sphere centre per channel
    ((n_channels, 3)) or one for all ((3,))."""
    centres = np.broadcast_to(np.asarray(centres, float), (len(channels), 3))
    pos, nrm, wt, owner = coil_arrays(channels)
    per_coil = sarvas_leadfield(pos, nrm, centres[owner], sources).reshape(len(pos), -1)
    out = np.zeros((len(channels), per_coil.shape[1]))
    np.add.at(out, owner, wt[:, None] * per_coil)
    return out


# ---------------------------------------------------------------- the case and the methods

@dataclass
class Case:
    shape: Shape
    rr: np.ndarray
    tris: np.ndarray
    channels: list
    sources: np.ndarray
    depth: np.ndarray
    g_bem: np.ndarray
    notes: list = field(default_factory=list)

    @property
    def sensors(self):
        import megfwd
        if not hasattr(self, "_sensors"):
            self._sensors = megfwd.SensorArray(self.channels, name=self.shape.name)
        return self._sensors

    def library_gain(self, sphere):
        """megfwd's gain (n_channels, 3 * n_sources) for `sphere` (None: the
        dewar sphere; (x, y, z, r); or a megfwd.LocalSpheres)."""
        import megfwd
        lf = megfwd.leadfield(self.sensors, self.sources, sphere=sphere, sensor_model="standard", refs=False)
        return lf.transpose(1, 0, 2).reshape(len(self.channels), -1)


def make_case(shape, n_sources=600, cache=None, n_sensors=150, seed=0):
    rr, tris = shape.make()
    check_outward(rr, tris, shape.name)
    channels = helmet(rr, tris, n=n_sensors)
    sources, depth = sources_inside(rr, tris, n=n_sources, seed=seed)
    return Case(shape, rr, tris, channels, sources, depth, bem_reference_gain(rr, tris, channels, sources, cache))


def _local_spheres(case, centres, radius=0.1):
    import megfwd
    centres = np.asarray(centres, float)
    names = [ch["name"] for ch in case.channels]
    c, r, _ = megfwd.fit_sphere(case.rr)
    return megfwd.LocalSpheres(names, centres, np.full(len(names), radius), np.r_[c, r])


def _have_local_spheres():
    import megfwd
    return hasattr(megfwd, "LocalSpheres")


def method_single(case):
    import megfwd
    c, r, _ = megfwd.fit_sphere(case.rr) if hasattr(megfwd, "fit_sphere") else (*_taubin(case.rr), 0)
    case.centres_single = np.asarray(c)
    return case.library_gain(np.r_[c, r])


def method_dewar(case):
    return case.library_gain(None)


def _fit_method(case, method):
    import megfwd
    if _have_local_spheres():
        ls = megfwd.LocalSpheres.fit(case.sensors, case.rr, triangles=case.tris, method=method)
        setattr(case, f"centres_{method}", ls.centres)
        return case.library_gain(ls)
    centres = _prototype_fit(case, method)
    setattr(case, f"centres_{method}", centres)
    return numpy_sphere_gain(case.channels, case.sources, centres)


def method_nearby(case):
    return _fit_method(case, "nearby")


def method_weighted(case):
    return _fit_method(case, "weighted")


def method_bound(case):
    """Per sensor: the centre c minimising |g(c) - g_BEM|^2 for its row,
    subject to |k - c|^2 - |s - c|^2 >= 1 mm^2 for every coil k and source
    s (then some sphere about c holds every source and no coil). These
    constraints are linear in c. SLSQP from the other methods' centres;
    the rows are independent, so the sum of the row minima is the bound."""
    from scipy.optimize import minimize
    starts = [getattr(case, f"centres_{m}") for m in ("nearby", "weighted") if hasattr(case, f"centres_{m}")]
    starts.append(np.tile(case.centres_single, (len(case.channels), 1)))
    src = case.sources
    out = np.empty((len(case.channels), 3))
    for i, ch in enumerate(case.channels):
        one = [ch]
        row = case.g_bem[i]
        scale = 1.0 / (row @ row)
        coils = np.array([c["position"] for c in ch["coils"]])
        A = np.concatenate([2.0 * (k - src) for k in coils])
        b = np.concatenate([k @ k - (src ** 2).sum(1) - 1e-6 for k in coils])
        cons = [dict(type="ineq", fun=lambda c: b - A @ c, jac=lambda c: -A)]

        def cost(c):
            d = numpy_sphere_gain(one, src, c)[0] - row
            return scale * (d @ d)

        best = None
        for start in starts:
            r = minimize(cost, start[i], method="SLSQP", constraints=cons, options=dict(ftol=1e-12, maxiter=200))
            if np.all(A @ r.x <= b + 1e-12) and (best is None or r.fun < best.fun):
                best = r
        out[i] = best.x
    case.centres_bound = out
    # The numpy field, not the library's: a few sensors' best centres lie
    # metres away (a nearly flat boundary suits them), beyond what a
    # local-sphere table accepts; the two fields agree to 1e-15 (`run`).
    return numpy_sphere_gain(case.channels, case.sources, out)


@dataclass
class Method:
    name: str
    label: str
    gain: object  # (Case) -> gain (n_channels, 3 * n_sources)


def _shell_method(order, fit):
    """The single-shell model on the case's own mesh (the BEM's)."""
    def gain(case):
        import megfwd
        shell = megfwd.SingleShell(case.rr, case.tris, order=order, fit=fit)
        lf = megfwd.leadfield(case.sensors, case.sources, head=shell, sensor_model="standard", refs=False)
        return lf.transpose(1, 0, 2).reshape(len(case.channels), -1)
    return gain


SHELL_ORDERS = (2, 4, 6, 10, 16)

# Order matters: the bound starts from the centres the fits found.
METHODS = [
    Method("single", "fitted single sphere", method_single),
    Method("dewar", "dewar sphere (library default)", method_dewar),
    Method("nearby", "local spheres, nearby", method_nearby),
    Method("weighted", "local spheres, weighted", method_weighted),
    Method("bound", "per-sensor bound", method_bound),
] + [Method(f"shell{n}_{fit}", f"single shell N={n} {fit}", _shell_method(n, fit))
     for n in SHELL_ORDERS for fit in ("galerkin", "lsq")]


# ---------------------------------------------------------------- numpy stand-ins for the fits

def _taubin(p, w=None):
    """Taubin's algebraic sphere fit (weighted), centre and radius."""
    import scipy.linalg
    w = np.ones(len(p)) if w is None else np.asarray(w, float)
    w = w / w.sum()
    x = p - w @ p
    z = (x ** 2).sum(1)
    D = np.c_[z, x, np.ones(len(x))]
    M = (D * w[:, None]).T @ D
    N = np.zeros((5, 5))
    N[0, 0] = 4 * (w @ z)
    N[0, 1:4] = N[1:4, 0] = 2 * (w @ x)
    N[1:4, 1:4] = np.eye(3)
    vals, vecs = scipy.linalg.eig(M, N)
    vals = np.real(vals)
    ok = np.isfinite(vals) & (vals > -1e-12)
    k = np.flatnonzero(ok)[np.argmin(vals[ok])]
    a, bvec, c = np.real(vecs[0, k]), np.real(vecs[1:4, k]), np.real(vecs[4, k])
    centre = -bvec / (2 * a)
    return centre + w @ p, np.sqrt(centre @ centre - c / a)


def _vertex_areas(rr, tris):
    area = 0.5 * np.linalg.norm(np.cross(rr[tris[:, 1]] - rr[tris[:, 0]], rr[tris[:, 2]] - rr[tris[:, 0]]), axis=1)
    out = np.zeros(len(rr))
    for k in range(3):
        np.add.at(out, tris[:, k], area / 3)
    return out


def _geometric_fit(p, w, c):
    """Gauss-Newton on sum w (|p - c| - R)^2, R the weighted mean distance."""
    w = w / w.sum()
    for _ in range(50):
        d = p - c
        dn = np.linalg.norm(d, axis=1)
        u = d / dn[:, None]
        J = -u + w @ u
        step = np.linalg.solve((J * w[:, None]).T @ J, -(J * w[:, None]).T @ (dn - w @ dn))
        c = c + step
        if np.linalg.norm(step) < 1e-10:
            break
    return c


def _prototype_fit(case, method, radius=0.085, min_points=11, max_radius=0.2, starts=None):
    """numpy local-sphere fits: nearby, and weighted by area/d^4 from the
    nearby centres (or from `starts`, one per channel). They stand in for the
    library's when the Python package has no LocalSpheres."""
    rr = case.rr
    global_centre, _ = _taubin(rr)
    areas = _vertex_areas(rr, case.tris)
    out = []
    for i, ch in enumerate(case.channels):
        coils = np.array([c["position"] for c in ch["coils"]])
        dist = np.linalg.norm(rr[None] - coils[:, None], axis=-1)
        d = dist[np.argmin(dist.min(1))]
        sel = d <= radius
        centre = global_centre
        if starts is not None:
            centre = starts[i]
        elif sel.sum() >= min_points:
            c, r = _taubin(rr[sel])
            centre = c if r <= max_radius else global_centre
        if method == "weighted":
            centre = _geometric_fit(rr, areas / np.maximum(d, 1e-3) ** 4, centre)
        out.append(centre)
    return np.array(out)


# ---------------------------------------------------------------- figures

def tangential_pair(case):
    """Two unit dipoles per source, tangential to the ray from the centroid."""
    u = case.sources - case.rr.mean(0)
    u /= np.linalg.norm(u, axis=1)[:, None]
    helper = np.where(np.abs(u[:, :1]) < 0.9, [[1.0, 0, 0]], [[0, 1.0, 0]])
    e1 = np.cross(u, helper)
    e1 /= np.linalg.norm(e1, axis=1)[:, None]
    return e1, np.cross(u, e1)


def figures(case, gain):
    """whole-gain error, per-depth-band median of per-source errors, median RDM."""
    g_bem = case.g_bem
    whole = np.linalg.norm(gain - g_bem) / np.linalg.norm(g_bem)
    n_src = len(case.sources)
    g3 = gain.reshape(len(gain), n_src, 3)
    b3 = g_bem.reshape(len(gain), n_src, 3)
    per_source = np.linalg.norm(g3 - b3, axis=(0, 2)) / np.linalg.norm(b3, axis=(0, 2))
    bands = [float(np.median(per_source[(case.depth >= lo) & (case.depth < hi)])) for lo, hi in DEPTH_BANDS]
    rdm = []
    for e in tangential_pair(case):
        g = np.einsum("kni,ni->kn", g3, e)
        b = np.einsum("kni,ni->kn", b3, e)
        rdm.append(np.linalg.norm(g / np.linalg.norm(g, axis=0) - b / np.linalg.norm(b, axis=0), axis=0))
    return {"whole": float(whole), "depth": bands, "rdm": float(np.median(np.concatenate(rdm)))}


def check_reference(n_sources=200):
    """MNE's BEM on an 80 mm ico-4 sphere against the analytic sphere, and
    the numpy sphere field against MNE's sphere model: both relative errors."""
    import mne
    rr, tris = ico_sphere(4)
    rr *= 0.08
    channels = helmet(rr, tris, n=40)
    sources, _ = sources_inside(rr, tris, n=n_sources, seed=1)
    analytic = numpy_sphere_gain(channels, sources, np.zeros(3))
    bem = bem_reference_gain(rr, tris, channels, sources, cache=ARGS.cache if ARGS else None)
    sphere = mne_gain(mne.make_sphere_model(r0=(0.0, 0.0, 0.0), head_radius=None, verbose=False), channels, sources)
    rel = lambda a, b: float(np.linalg.norm(a - b) / np.linalg.norm(b))  # noqa: E731
    return rel(bem, analytic), rel(analytic, sphere)


def run(shapes, methods, n_sources, cache, log=print):
    results = {}
    for shape in shapes:
        t = time.perf_counter()
        case = make_case(shape, n_sources=n_sources, cache=cache)
        log(f"{shape.label}: {len(case.rr)} vertices, {len(case.channels)} sensors, {len(case.sources)} sources, "
            f"reference ready in {time.perf_counter() - t:.1f} s")
        results[shape.name] = {}
        for m in methods:
            results[shape.name][m.name] = figures(case, m.gain(case))
        if ARGS is not None and ARGS.mesh_error:
            # The reference's own error: its gain on the mesh subdivided
            # once less (ico-3) against the ico-4 one, same sensors and sources.
            rr3, tris3 = shape.make(3)
            check_outward(rr3, tris3, shape.name + " (ico-3)")
            g3 = bem_reference_gain(rr3, tris3, case.channels, case.sources, cache)
            results[shape.name]["mesh_error"] = float(np.linalg.norm(g3 - case.g_bem) / np.linalg.norm(case.g_bem))
        if "nearby" in results[shape.name] and _have_local_spheres():
            # One number computed twice: the library's gain with its nearby
            # spheres against the numpy sphere field with the same centres.
            ref = numpy_sphere_gain(case.channels, case.sources, case.centres_nearby)
            got = case.library_gain(_local_spheres(case, case.centres_nearby))
            results[shape.name]["library_vs_numpy"] = float(np.linalg.norm(got - ref) / np.linalg.norm(ref))
        if "weighted" in results[shape.name] and _have_local_spheres():
            # And the weighted fit redone in numpy from the library's nearby
            # centres: the largest distance between the two fits' centres.
            mine = _prototype_fit(case, "weighted", starts=case.centres_nearby)
            results[shape.name]["weighted_numpy_mm"] = float(
                1000 * np.linalg.norm(mine - case.centres_weighted, axis=1).max())
    return results


def print_table(results, shapes, methods):
    by_name = {s.name: s for s in shapes}
    head = f"{'shape':30s} {'method':32s} {'whole %':>8s} " + " ".join(
        f"{f'{lo:.2f}-{hi:.2f}':>10s}" for lo, hi in DEPTH_BANDS) + f" {'RDM':>7s}"
    print(head)
    print("-" * len(head))
    for name, rows in results.items():
        for m in methods:
            f = rows[m.name]
            print(f"{by_name[name].label:30s} {m.label:32s} {100 * f['whole']:8.2f} "
                  + " ".join(f"{100 * d:9.2f}%" for d in f["depth"]) + f" {f['rdm']:7.4f}")
        if "library_vs_numpy" in rows:
            print(f"{'':30s} (library against the numpy sphere field, nearby centres: "
                  f"{rows['library_vs_numpy']:.1e})")
        if "weighted_numpy_mm" in rows:
            print(f"{'':30s} (weighted centres, library against numpy: at most {rows['weighted_numpy_mm']:.1e} mm apart)")
        spheres = [m for m in methods if m.name != "bound" and not m.name.startswith("shell")]
        best = min((rows[m.name]["whole"], m.name) for m in spheres) if spheres else None
        if "bound" in rows and best:
            print(f"{'':30s} best sphere: {best[1]}, {100 * (best[0] - rows['bound']['whole']):.2f} percentage "
                  f"points above the bound")
        if "bound" in rows and "shell10_galerkin" in rows:
            print(f"{'':30s} single shell N=10 galerkin: {rows['bound']['whole'] / rows['shell10_galerkin']['whole']:.1f}"
                  f" times below the per-sensor bound")
        if "mesh_error" in rows:
            print(f"{'':30s} the reference's own mesh error (ico-3 against ico-4): {100 * rows['mesh_error']:.2f} %")
        print()


FIXTURE_SHAPE = "ellipsoid_long"
FIXTURE_SOURCES = 100


def fixture_channels(data):
    """The fixture's channels (SensorArray form) from its coil arrays."""
    channels = []
    for i, name in enumerate(data["names"]):
        mine = data["coil_channel"] == i
        channels.append({"name": str(name), "kind": 101, "coils": [
            {"position": p, "normal": n, "weight": float(w)}
            for p, n, w in zip(data["coil_position"][mine], data["coil_normal"][mine], data["coil_weight"][mine])]})
    return channels


def write_fixture(path, cache):
    """The tests' accuracy fixture: the elongated ellipsoid's mesh, its
    helmet, 100 sources and the BEM gain, in float32 (the BEM computed
    from the float32 geometry), with the whole-gain errors the library gives
    on it for the single sphere and the nearby local spheres."""
    if not _have_local_spheres():
        raise SystemExit("--write-fixture needs the Python package with LocalSpheres")
    shape = next(s for s in SHAPES if s.name == FIXTURE_SHAPE)
    rr, tris = shape.make()
    rr = rr.astype(np.float32).astype(float)
    channels = helmet(rr, tris)
    for ch in channels:
        for c in ch["coils"]:
            c["position"] = c["position"].astype(np.float32).astype(float)
            c["normal"] = c["normal"].astype(np.float32).astype(float)
    sources, depth = sources_inside(rr, tris, n=FIXTURE_SOURCES, seed=2)
    sources = sources.astype(np.float32).astype(float)
    g_bem = bem_reference_gain(rr, tris, channels, sources, cache).astype(np.float32)
    case = Case(shape, rr, tris, channels, sources, depth, g_bem.astype(float))
    errors = {m.name: figures(case, m.gain(case))["whole"] for m in METHODS if m.name in FIXTURE_METHODS}
    pos, nrm, wt, owner = coil_arrays(channels)
    tmp = path + ".part.npz"
    np.savez_compressed(tmp, vertices=rr.astype(np.float32), triangles=tris.astype(np.int32),
                        names=np.array([ch["name"] for ch in channels]), coil_position=pos.astype(np.float32),
                        coil_normal=nrm.astype(np.float32), coil_weight=wt.astype(np.float32),
                        coil_channel=owner.astype(np.int32), sources=sources.astype(np.float32),
                        gain=g_bem, methods=np.array(list(errors)), errors=np.array(list(errors.values())))
    os.replace(tmp, path)
    print(f"{path}: {os.path.getsize(path) / 1e3:.0f} kB; whole-gain errors "
          + ", ".join(f"{k} {100 * v:.2f} %" for k, v in errors.items()))


FIXTURE_METHODS = ("single", "nearby")
ARGS = None


def main(argv=None):
    global ARGS
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--shapes", default=",".join(s.name for s in SHAPES),
                   help="comma-separated shape names (default: all)")
    p.add_argument("--methods", default=",".join(m.name for m in METHODS))
    p.add_argument("--sources", type=int, default=600)
    p.add_argument("--cache", default="build/bench_sphere_accuracy",
                   help="directory for the BEM gains (default: %(default)s)")
    p.add_argument("--json", help="also write the figures to this JSON file")
    p.add_argument("--write-fixture", metavar="NPZ",
                   help="write the tests' small accuracy fixture (tests/python/data/sphere_accuracy.npz) and stop")
    p.add_argument("--no-check", action="store_true", help="skip the reference's own check")
    p.add_argument("--mesh-error", action="store_true",
                   help="also the reference's own mesh error: its ico-3 gain against its ico-4 gain")
    ARGS = p.parse_args(argv)
    if ARGS.write_fixture:
        write_fixture(ARGS.write_fixture, ARGS.cache)
        return 0
    shapes = [s for s in SHAPES if s.name in ARGS.shapes.split(",")]
    methods = [m for m in METHODS if m.name in ARGS.methods.split(",")]
    import megfwd
    print(f"megfwd {megfwd.__version__}; local spheres from "
          f"{'the library' if _have_local_spheres() else 'the numpy stand-in (the package has no LocalSpheres)'}")
    if not ARGS.no_check:
        bem_err, sph_err = check_reference()
        print(f"reference check: MNE BEM on an 80 mm ico-4 sphere vs the analytic sphere {100 * bem_err:.3f} %; "
              f"numpy sphere field vs MNE's sphere model {sph_err:.1e}")
        if bem_err > 0.005:
            print("the BEM reference is off by more than 0.5 % on a sphere: its figures are not to be trusted")
            return 1
    results = run(shapes, methods, ARGS.sources, ARGS.cache)
    print()
    print_table(results, shapes, methods)
    if ARGS.json:
        with open(ARGS.json, "w") as f:
            json.dump(results, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
