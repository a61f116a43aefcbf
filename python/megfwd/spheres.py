"""Spheres fitted to the head: one sphere to points, and one local sphere
per sensor to a head surface or to digitised head-shape points.

Units are SI (metres); the library fits in millimetres, and the change
between the two lives in `_to_mm` and `LocalSpheres._from_library`.
"""
import json
import os

import numpy as np

from . import _megfwd
from ._check import _check_int, _check_option, _check_real, _rows, _to_library, _validate_type
from .sensors import SensorArray

METHODS = ("nearby", "weighted")


def _to_mm(metres):
    return _to_library(metres, 1000.0)


def fit_sphere(points):
    """The sphere that fits points best (Taubin's algebraic fit).

    Parameters
    ----------
    points : array_like, shape (n_points, 3)
        Points in metres, any frame; at least 4, not all on one plane.

    Returns
    -------
    centre : ndarray, shape (3,)
        Centre in metres, in the points' frame.
    radius : float
        Radius in metres.
    rms : float
        Root mean square of the points' distances from the sphere, metres.
    """
    pts = _rows(points, "points", 3, "metres")
    centre, radius, rms = _megfwd.fit_sphere(_to_mm(pts))
    return np.asarray(centre) / 1000.0, radius / 1000.0, rms / 1000.0


class LocalSpheres:
    """One sphere per MEG measurement sensor, by sensor name.

    Pass it as ``sphere=`` to `megfwd.leadfield`, `megfwd.field` and
    ``megfwd.dask``: every coil and integration point of a sensor then uses
    that sensor's sphere, reference sensors take `global_sphere`, and the
    values have three components (x, y, z). Make one with `LocalSpheres.fit`
    or `LocalSpheres.from_json`, or from arrays.

    Parameters
    ----------
    names : sequence of str, length n
        Measurement sensor names.
    centres : array_like, shape (n, 3)
        Sphere centres in metres, in the sensors' frame.
    radii : array_like, shape (n,)
        Sphere radii in metres, > 0.
    global_sphere : array_like, shape (4,)
        Centre x, y, z and radius in metres of the sphere that reference
        sensors take (the fit to the whole surface).

    Attributes
    ----------
    names : list of str
    centres : ndarray, shape (n, 3)
        Metres, sensors' frame.
    radii : ndarray, shape (n,)
        Metres.
    fallback : ndarray of bool, shape (n,)
        True where the sensor took the global sphere instead of its own fit.
    reasons : list of str
        Why each sensor fell back ('' where it did not).
    global_sphere : ndarray, shape (4,)
        Metres.
    method : str
        'nearby', 'weighted', or 'given' for spheres made from arrays.
    """

    def __init__(self, names, centres, radii, global_sphere):
        names = [_validate_type(n, str, "names", "sensor names (str)") for n in names]
        c = _rows(centres, "centres", 3, "metres")
        r = np.asarray(radii, dtype=float).reshape(-1)
        g = np.asarray(global_sphere, dtype=float).reshape(-1)
        if len(c) != len(names) or len(r) != len(names):
            raise ValueError(f"names, centres and radii must have one entry per sensor, got {len(names)}, "
                             f"{len(c)} and {len(r)}.")
        if g.shape != (4,):
            raise ValueError(f"global_sphere must be (x, y, z, radius) in metres, got shape {g.shape}.")
        doc = {"format": "megfwd-local-spheres", "version": 1, "unit": "m", "method": "given",
               "global_sphere": {"center": g[:3].tolist(), "radius": float(g[3])},
               "sensors": [{"name": n, "center": list(map(float, p)), "radius": float(q)}
                           for n, p, q in zip(names, c, r)]}
        # The library checks the table (finite centres, positive radii,
        # names given once) as it checks a file.
        self._set(_megfwd.local_spheres_text(json.dumps(doc), "LocalSpheres"))

    def _set(self, text):
        """Fill the attributes from the library's JSON text (millimetres)."""
        doc = json.loads(text)
        self._text = text
        sensors = doc["sensors"]
        self.names = [s["name"] for s in sensors]
        self.centres = np.array([s["center"] for s in sensors], dtype=float).reshape(-1, 3) / 1000.0
        self.radii = np.array([s["radius"] for s in sensors], dtype=float) / 1000.0
        self.fallback = np.array([s.get("fallback") is not None for s in sensors], dtype=bool)
        self.reasons = [s.get("fallback") or "" for s in sensors]
        g = doc["global_sphere"]
        self.global_sphere = np.r_[g["center"], g["radius"]].astype(float) / 1000.0
        self.method = doc.get("method", "given")
        self.surface = doc.get("surface", "")
        return self

    @classmethod
    def _from_library(cls, text):
        return cls.__new__(cls)._set(text)

    @classmethod
    def fit(cls, sensors, surface, *, triangles=None, method="nearby", radius=0.085, min_points=11,
            max_radius=0.2):
        """Fit one sphere per measurement sensor to a head surface.

        Parameters
        ----------
        sensors : SensorArray
            The MEG system; its measurement sensors get spheres (bad ones
            too, so that the spheres serve computations that include them).
        surface : array_like, shape (n_points, 3)
            Surface vertices or head-shape points in metres, in the
            sensors' frame (head coordinates for ``SensorArray.from_mne``).
        triangles : None | array_like of int, shape (n_triangles, 3)
            0-based vertex indices of a mesh; with method 'weighted' each
            vertex then counts by the area around it (else every point
            counts 1).
        method : 'nearby' | 'weighted'
            'nearby' fits the points within `radius` of each sensor's coil
            nearest the head; 'weighted' refines that sphere by a geometric
            fit of all points, each weighted by its area over the fourth
            power of its distance to that coil.
        radius : float
            Metres.
        min_points : int
            With fewer points within `radius` a sensor takes the global
            sphere.
        max_radius : float
            Metres: a larger fitted sphere is replaced by the global one.

        Returns
        -------
        spheres : LocalSpheres
        """
        handle = _validate_type(sensors, SensorArray, "sensors", "a megfwd.SensorArray")._handle
        pts = _rows(surface, "surface", 3, "metres")
        tri = None
        if triangles is not None:
            t = np.asarray(triangles)
            if t.dtype.kind not in "iu":
                raise TypeError(f"triangles must hold integer vertex indices, got dtype {t.dtype}.")
            if t.ndim != 2 or t.shape[1] != 3:
                raise ValueError(f"triangles must have shape (n_triangles, 3), got {t.shape}.")
            tri = np.ascontiguousarray(t, dtype=np.int64)
        _check_option("method", method, METHODS)
        lengths = {}
        for name, value in (("radius", radius), ("max_radius", max_radius)):
            v = _check_real(name, value)
            if not np.isfinite(v) or v <= 0:
                raise ValueError(f"{name} must be a positive number of metres, got {value!r}.")
            lengths[name] = v * 1000.0
        min_points = _check_int("min_points", min_points, 4)
        text = _megfwd.fit_local_spheres(handle, _to_mm(pts), tri, method, lengths["radius"], min_points,
                                         lengths["max_radius"], "surface", False)
        return cls._from_library(text)

    @classmethod
    def from_json(cls, fname):
        """Read a local-sphere file (as ``megfwd spheres`` writes it)."""
        return cls._from_library(_megfwd.read_local_spheres(os.fspath(fname)))

    def to_json(self, fname):
        """Write the local-sphere file (JSON, millimetres), atomically."""
        _megfwd.write_local_spheres(self._text, os.fspath(fname))

    def __dask_tokenize__(self):
        # The same table gives the same Dask keys in every process.
        return ("megfwd.LocalSpheres", self._text)

    def __len__(self):
        return len(self.names)

    def __repr__(self):
        n = len(self.names)
        if n == 0:
            return "<LocalSpheres | 0 sensors>"
        r = self.radii * 1000.0
        g = self.global_sphere[3] * 1000.0
        return (f"<LocalSpheres | {n} sensors ({self.method}), {int(self.fallback.sum())} on the global sphere; "
                f"radii {r.min():.1f}-{r.max():.1f} mm, global sphere {g:.1f} mm>")
