"""Leadfield gradients and dipole fits from Python, in SI units.

The gradient is analytic: each integration point's derivative of the
formula, summed as the leadfield sums the points (coils, gradiometers,
reference weights). The fit finds one current dipole per time point: the
moment in closed form for a position, the position by Levenberg-Marquardt
on the remaining residual with that analytic Jacobian, started from the best
node of a guess grid, inside the head model. Its goodness of fit and
confidence limits are defined as MNE-Python's ``fit_dipole`` defines them.
"""
import json
import os
from dataclasses import dataclass, field as _field

import numpy as np

from . import _megfwd
from ._check import _check_bool, _check_int, _check_real, _real_array, _rows, _threads
from .forward import _emit, _progress, _sensors, _settings, _sphere_mm, _to_mm
from .shell import SingleShell, _head
from .spheres import LocalSpheres

__all__ = ["leadfield_gradient", "fit_dipole", "DipoleFit", "whitener"]

# Sources are never left out by their distance to a coil: the fit's region
# decides where a dipole may be (mm; as megfwd.mne's forward solutions).
_NO_STENCIL = {"minCoilSrcDist": -1e12, "minSrcSphDist": 1e-7}


def leadfield_gradient(sensors, sources, *, head=None, sphere=None, order=2, sensor_model="ctf", formula=None,
                       refs=True, threads=None, progress=None, return_mask=False, return_meta=False, _extra=None):
    """Derivatives of the leadfields with respect to the source position.

    Parameters
    ----------
    sensors, sources, head, sphere, order, sensor_model, formula, refs, threads, progress, return_mask, return_meta
        As for `megfwd.leadfield` (three components only).

    Returns
    -------
    grad : ndarray, shape (n_sources, n_sensors, 3, 3), float64
        ``grad[i, s, j, m]`` is the derivative of ``leadfield[i, s, j]``
        (the unit dipole along axis j) along axis m of the source position,
        in T/(A·m)/m. Sources out of the scan are 0.
    mask : ndarray of bool, shape (n_sources,)
        When ``return_mask``.
    meta : dict
        When ``return_meta``.
    """
    handle = _sensors(sensors)
    pos = _rows(sources, "sources", 3, "metres")
    sphere, shell = _head(head, sphere)
    settings = _settings(sphere, order, sensor_model, formula, refs, False, extra=_extra)
    return_mask, return_meta = _check_bool("return_mask", return_mask), _check_bool("return_meta", return_meta)
    grad, mask, warned, notes, meta = _megfwd.leadfield_gradient(handle, _to_mm(pos), settings, _threads(threads),
                                                                 _progress(progress), return_meta, "sources", shell)
    _emit(warned, notes)
    grad *= 1000.0  # per mm -> per metre
    out = (grad,)
    if return_mask:
        out += (mask,)
    if return_meta:
        out += (json.loads(meta),)
    return out[0] if len(out) == 1 else out


def whitener(noise_cov, rtol=1e-10):
    """The whitener of a noise covariance and its rank.

    Parameters
    ----------
    noise_cov : array_like, shape (n_channels, n_channels)
        Symmetric positive semi-definite covariance in T².
    rtol : float
        Eigenvalues below ``rtol`` times the largest are dropped.

    Returns
    -------
    W : ndarray, shape (rank, n_channels)
        ``W @ C @ W.T`` is the identity.
    rank : int
    """
    c = _real_array(noise_cov, "noise_cov", "T²").astype(float)
    if c.ndim != 2 or c.shape[0] != c.shape[1]:
        raise ValueError(f"noise_cov must be a square (n_channels, n_channels) matrix, got shape {c.shape}.")
    if not np.isfinite(c).all() or not np.allclose(c, c.T, rtol=1e-10, atol=0):
        raise ValueError("noise_cov must be finite and symmetric.")
    lam, vec = np.linalg.eigh(c)
    if not lam[-1] > 0:
        raise ValueError("noise_cov has no positive eigenvalue.")
    keep = lam > rtol * lam[-1]
    return (vec[:, keep] / np.sqrt(lam[keep])).T, int(keep.sum())


@dataclass
class DipoleFit:
    """Fitted dipoles, one per time point (head frame of the sensors, SI).

    Attributes
    ----------
    times : ndarray, shape (n_times,)
        Seconds.
    pos : ndarray, shape (n_times, 3)
        Dipole positions in metres.
    moment : ndarray, shape (n_times, 3)
        Dipole moments in A·m.
    amplitude : ndarray, shape (n_times,)
        ``|moment|`` in A·m.
    ori : ndarray, shape (n_times, 3)
        Unit orientations.
    gof : ndarray, shape (n_times,)
        Goodness of fit in per cent, on whitened data.
    khi2 : ndarray, shape (n_times,)
        Whitened residual sum of squares.
    nfree : ndarray of int, shape (n_times,)
        Degrees of freedom (rank of the whitener less the moment components).
    conf : dict of ndarray, shape (n_times,)
        95 % confidence limits as MNE's ``Dipole.conf``: 'vol' (m³),
        'depth', 'long', 'trans' (m), 'qlong', 'qtrans' (A·m).
    residual : ndarray, shape (n_channels, n_times)
        Data less the fitted dipole's field, in T.
    iterations : ndarray of int, shape (n_times,)
    guesses : ndarray, shape (n_guesses, 3)
        The guess grid's nodes, metres.
    """

    times: np.ndarray
    pos: np.ndarray
    moment: np.ndarray
    amplitude: np.ndarray
    ori: np.ndarray
    gof: np.ndarray
    khi2: np.ndarray
    nfree: np.ndarray
    conf: dict
    residual: np.ndarray
    iterations: np.ndarray
    guesses: np.ndarray = _field(repr=False)


_CONF_KEYS = ("vol", "depth", "long", "trans", "qlong", "qtrans")


def _region(sphere, shell, min_dist):
    """Centre (mm), radius (mm) of the region the dipoles may take."""
    if shell is not None:
        return list(shell._handle.centre_mm), 0.0
    if isinstance(sphere, LocalSpheres):
        sphere = sphere.global_sphere
    if sphere is None:
        raise ValueError("fit_dipole needs a head model: sphere=(x, y, z, radius) in metres, local spheres, or "
                         "head=megfwd.SingleShell.")
    sp = _sphere_mm(sphere)
    if sp[3] <= min_dist * 1000.0:
        raise ValueError(f"min_dist {min_dist} m leaves no room in the sphere of radius {sp[3] / 1000.0} m.")
    return sp[:3], sp[3]


def _fit(sensors, data, W, rank, *, sphere, shell, settings, times, min_dist, guesses, guess_grid, guess_mindist,
         guess_exclude, centre_mm, radius_mm, threads, progress):
    out = _megfwd.fit_dipole(
        sensors, np.ascontiguousarray(data, dtype=float), np.ascontiguousarray(W, dtype=float), settings,
        None if shell is None else shell._handle, centre_mm, radius_mm, min_dist * 1000.0,
        np.empty((0, 3)) if guesses is None else _to_mm(_rows(guesses, "guesses", 3, "metres")),
        guess_grid * 1000.0, guess_mindist * 1000.0, guess_exclude * 1000.0, rank, threads, progress)
    pos, moment, gof, khi2, nfree, conf, predicted, iterations, used, messages = out
    _emit(messages, [])
    amp = np.linalg.norm(moment, axis=1)
    ori = moment / np.where(amp > 0, amp, 1.0)[:, np.newaxis]
    return DipoleFit(times=times, pos=pos / 1000.0, moment=moment, amplitude=amp, ori=ori, gof=gof * 100.0,
                     khi2=khi2, nfree=np.asarray(nfree), conf={k: conf[:, i] for i, k in enumerate(_CONF_KEYS)},
                     residual=data - predicted, iterations=np.asarray(iterations), guesses=used / 1000.0)


def fit_dipole(sensors, data, *, noise_cov=None, sphere=None, head=None, times=None, min_dist=0.005,
               guesses=None, guess_grid=0.02, guess_mindist=None, guess_exclude=0.02, order=2,
               sensor_model="ctf", refs=True, threads=None, progress=None):
    """Fit one current dipole per time point.

    Parameters
    ----------
    sensors : SensorArray
    data : array_like, shape (n_sensors, n_times)
        Measured fields in tesla, rows in the order of
        ``sensors.measurement_names`` (good channels).
    noise_cov : None | array_like, shape (n_sensors, n_sensors)
        Noise covariance in T²; the data and leadfields are whitened by it
        (see `whitener`). None: every sensor alike.
    sphere : None | array_like, shape (4,) | LocalSpheres
        The conductor sphere (x, y, z, radius in metres): dipoles stay
        inside it, ``min_dist`` from its surface. With local spheres, their
        global sphere bounds the dipoles.
    head : None | SingleShell | array_like, shape (4,) | LocalSpheres
        As for `megfwd.leadfield`; with a `SingleShell` the dipoles stay
        inside its surface, at least ``min_dist`` from its nearest vertex.
    times : None | array_like, shape (n_times,)
        Seconds; None numbers the samples.
    min_dist : float
        Least distance of a dipole from the head model's boundary, metres.
    guesses : None | array_like, shape (n, 3)
        Start positions in metres; None makes a grid of ``guess_grid``
        spacing, ``guess_mindist`` (default ``max(0.005, min_dist)``) inside
        the boundary and ``guess_exclude`` away from the centre, as MNE does.
    order, sensor_model, refs, threads, progress
        As for `megfwd.leadfield`; ``progress(done, total)`` counts time
        points, and returning False stops the fit (RuntimeError).

    Returns
    -------
    fit : DipoleFit
    """
    handle = _sensors(sensors)
    b = _real_array(data, "data", "tesla").astype(float)
    if b.ndim == 1:
        b = b[:, np.newaxis]
    if b.ndim != 2:
        raise ValueError(f"data must have shape (n_sensors, n_times), got {b.shape}.")
    if not np.isfinite(b).all():
        raise ValueError("data must be finite.")
    n = len(sensors.measurement_names)
    if b.shape[0] != n:
        raise ValueError(f"data has {b.shape[0]} rows but the sensors have {n} measurement channels.")
    if noise_cov is None:
        W, rank = np.eye(n), n
    else:
        W, rank = whitener(noise_cov)
        if W.shape[1] != n:
            raise ValueError(f"noise_cov is {W.shape[1]} x {W.shape[1]} but there are {n} channels.")
    times = np.arange(b.shape[1], dtype=float) if times is None else np.asarray(times, dtype=float)
    if times.shape != (b.shape[1],):
        raise ValueError(f"times must have shape ({b.shape[1]},), got {times.shape}.")
    min_dist = _check_real("min_dist", min_dist)
    if min_dist < 0:
        raise ValueError(f"min_dist must be >= 0 metres, got {min_dist}.")
    sphere, shell_handle = _head(head, sphere)
    shell = head if isinstance(head, SingleShell) else None
    centre, radius = _region(sphere, shell, min_dist)
    settings = _settings(sphere, order, sensor_model, None, refs, False, extra=_NO_STENCIL)
    threads = _threads(threads) or (os.cpu_count() or 1)
    gmin = max(0.005, min_dist) if guess_mindist is None else _check_real("guess_mindist", guess_mindist)
    return _fit(handle, b, W, rank, sphere=sphere, shell=shell, settings=settings, times=times, min_dist=min_dist,
                guesses=guesses, guess_grid=_check_real("guess_grid", guess_grid), guess_mindist=gmin,
                guess_exclude=_check_real("guess_exclude", guess_exclude), centre_mm=centre, radius_mm=radius,
                threads=_check_int("threads", threads, low=1), progress=_progress(progress))
