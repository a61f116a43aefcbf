"""MNE-Python's one-layer boundary-element model as a reference for the
single-shell model: synthetic inner-skull shapes, a helmet of point
magnetometers outside them, sources inside, and the BEM gain.

Used by benchmarks/make_shell_fixtures.py (the test fixtures) and by the
accuracy bench. Everything is in metres, in one frame (head = MRI).
"""
import numpy as np


def icosphere(grade):
    """Unit icosphere as MNE builds it (vertices, triangles wound outward)."""
    from mne.surface import _get_ico_surface
    s = _get_ico_surface(grade)
    return s['rr'].copy(), s['tris'].copy()


def ellipsoid(axes, grade=4):
    rr, tris = icosphere(grade)
    return rr * np.asarray(axes, float), tris


def outward(rr, tris):
    """Triangles wound outward (MNE accepts inward ones silently and is then
    about ten times wrong)."""
    a, b, c = rr[tris[:, 0]], rr[tris[:, 1]], rr[tris[:, 2]]
    vol = np.einsum('ij,ij->i', a, np.cross(b, c)).sum() / 6.0
    return tris if vol > 0 else tris[:, [0, 2, 1]]


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
    from mne.io.constants import FIFF
    tris = outward(rr, tris)
    surf = dict(rr=np.array(rr, float), tris=np.array(tris, int), ntri=len(tris), np=len(rr),
                id=FIFF.FIFFV_BEM_SURF_ID_BRAIN, sigma=0.3, coord_frame=FIFF.FIFFV_COORD_MRI)
    mne.surface.complete_surface_info(surf, copy=False, verbose=False)
    bem = mne.make_bem_solution([surf], verbose=False)
    info = point_magnetometer_info(sensors, normals)
    space = mne.setup_volume_source_space(pos=dict(rr=src, nn=np.tile([0., 0., 1.], (len(src), 1))),
                                          verbose=False)
    trans = mne.transforms.Transform('head', 'mri', np.eye(4))
    fwd = mne.make_forward_solution(info, trans, space, bem, meg=True, eeg=False, mindist=0.0,
                                    verbose=False)
    g = fwd['sol']['data']  # (n_sensors, 3 n_src)
    return g.reshape(len(sensors), len(src), 3).transpose(1, 0, 2)


def point_magnetometer_info(sensors, normals):
    import mne
    from mne.io.constants import FIFF
    names = ['M%03d' % i for i in range(len(sensors))]
    info = mne.create_info(names, 1000.0, 'mag')
    for ch, p, n in zip(info['chs'], sensors, normals):
        ex = np.cross(n, [1.0, 0, 0]) if abs(n[0]) < 0.9 else np.cross(n, [0, 1.0, 0])
        ex /= np.linalg.norm(ex)
        ey = np.cross(n, ex)
        ch['loc'][:12] = np.concatenate([p, ex, ey, n])
        ch['coil_type'] = FIFF.FIFFV_COIL_POINT_MAGNETOMETER
        ch['coord_frame'] = FIFF.FIFFV_COORD_HEAD
    with info._unlock():
        info['dev_head_t'] = mne.transforms.Transform('meg', 'head', np.eye(4))
    return info


def sarvas(src, sensors, normals, origin):
    """The sphere's leadfield (n_src, n_sensors, 3) of point magnetometers
    (Sarvas 1987), T/(A m)."""
    r0 = src[:, None, :] - origin
    r = sensors[None, :, :] - origin
    a_vec = r - r0
    a = np.linalg.norm(a_vec, axis=-1)
    rn = np.linalg.norm(r, axis=-1)
    adotr = np.sum(a_vec * r, axis=-1)
    F = a * (rn * a + adotr)
    gF = ((a ** 2 / rn + adotr / a + 2 * a + 2 * rn)[..., None] * r
          - (a + 2 * rn + adotr / a)[..., None] * r0)
    n = normals[None, :, :]
    r0xn = np.cross(r0, n)
    r0xr = np.cross(r0, r)
    gFn = np.sum(gF * n, axis=-1)
    return 1e-7 / F[..., None] ** 2 * (F[..., None] * r0xn - gFn[..., None] * r0xr)


def rel_error(g, ref):
    return np.linalg.norm(g - ref) / np.linalg.norm(ref)
