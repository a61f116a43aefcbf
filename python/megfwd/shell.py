"""The single-shell head model: the sphere's leadfield corrected for the
shape of the inner skull by a harmonic expansion fitted to it (the library's
head_model/SingleShell.h has the physics). Positions in metres, in the
sensors' frame."""
import collections
import hashlib
import json
import os
import threading

import numpy as np

from . import _megfwd
from ._check import _check_int, _check_option, _rows, _to_library, _validate_type

FITS = ("galerkin", "lsq")
DEFAULT_ORDER = _megfwd.SHELL_DEFAULT_ORDER
MAX_ORDER = _megfwd.SHELL_MAX_ORDER
_FORMAT = "megfwd-single-shell"


class SingleShell:
    """A homogeneous conductor bounded by a closed surface.

    Parameters
    ----------
    surface : array_like, shape (n_vertices, 3) | dict
        Vertices of the inner skull in metres, in the sensors' frame (head
        coordinates for sensors from ``SensorArray.from_mne``); or an MNE
        surface dict with ``'rr'`` and ``'tris'`` (then ``triangles`` is
        None).
    triangles : array_like of int, shape (n_triangles, 3) | None
        Vertex indices of each triangle. The surface must be closed, of one
        piece and consistently wound; triangles wound inward are turned.
    order : int | None
        Highest degree N of the harmonic expansion, 0 to ``MAX_ORDER`` (30;
        0: the sphere itself). The surface needs at least 2 (N + 1)^2
        triangles. None (the default): ``DEFAULT_ORDER`` (25), or the
        highest order N with 4 (N + 1)^2 triangles or fewer when that is
        lower.
    fit : 'galerkin' | 'lsq'
        'galerkin' minimises the expansion's error energy inside the
        surface (robust on real skulls); 'lsq' fits the normal component on
        the surface by least squares.
    centre : None | array_like, shape (3,)
        Expansion centre in metres; None uses the centre of the surface's
        least-squares sphere.

    Raises
    ------
    ValueError
        For a surface that is open, not manifold or in pieces, an order out
        of range or too high for the surface, or a centre outside it.

    Notes
    -----
    The surface's part of the fit (the basis at the surface's quadrature
    points and the factorised matrix) is computed on first use and kept:
    every later call, sensor set and Dask block reuses it. Pickled, the
    model carries its surface and options only; each process rebuilds it
    once (unpickling the same model again gives the object already there).
    """

    def __init__(self, surface, triangles=None, *, order=None, fit="galerkin", centre=None):
        if isinstance(surface, dict):
            if triangles is not None:
                raise ValueError("triangles must be None when surface is an MNE surface dict (it has 'tris').")
            if "rr" not in surface or "tris" not in surface:
                raise ValueError("surface dict must have 'rr' (metres) and 'tris', as MNE's surfaces do.")
            surface, triangles = surface["rr"], surface["tris"]
        if triangles is None:
            raise ValueError("triangles must be given: an (n_triangles, 3) array of vertex indices.")
        vertices = np.array(_rows(surface, "surface", 3, "metres"), dtype=np.float64)
        tris = np.asarray(triangles)
        if tris.ndim != 2 or tris.shape[1] != 3 or not np.issubdtype(tris.dtype, np.integer):
            raise ValueError(f"triangles must be an integer array of shape (n_triangles, 3), got "
                             f"{tris.dtype} {tris.shape}.")
        if order is not None:
            order = _check_int("order", order, low=0)
            if order > MAX_ORDER:
                raise ValueError(f"order must be 0 to {MAX_ORDER}, got {order}.")
        _check_option("fit", fit, FITS)
        centre_m = None
        if centre is not None:
            c = _rows(centre, "centre", 3, "metres")
            if c.shape[0] != 1:
                raise ValueError(f"centre must be 3 numbers (x, y, z in metres), got shape {np.shape(centre)}.")
            centre_m = c[0].astype(float)
        self._vertices = vertices
        self._triangles = np.array(tris, dtype=np.int64)
        self.fit, self._centre = fit, centre_m
        self._handle = _megfwd.SingleShell(_to_library(vertices, 1000.0), self._triangles,
                                           _megfwd.SHELL_AUTO_ORDER if order is None else order, fit,
                                           None if centre_m is None else [float(x) * 1000.0 for x in centre_m],
                                           "given as arrays")
        self.order = self._handle.order  # as chosen when None

    @property
    def vertices(self):
        """ndarray, shape (n_vertices, 3): the surface's vertices in metres."""
        return self._vertices

    @property
    def triangles(self):
        """ndarray, shape (n_triangles, 3): the triangles, wound outward."""
        return self._handle.triangles

    @property
    def centre(self):
        """ndarray, shape (3,): the expansion centre in metres."""
        return np.asarray(self._handle.centre_mm) / 1000.0

    @property
    def was_turned(self):
        """bool: the triangles were given wound inward and were turned."""
        return self._handle.was_turned

    def __repr__(self):
        c = self.centre * 1000.0
        return (f"<SingleShell | {len(self._vertices)} vertices, {len(self._triangles)} triangles, "
                f"order {self.order}, {self.fit} fit, centre ({c[0]:.1f}, {c[1]:.1f}, {c[2]:.1f}) mm>")

    def _state(self):
        return {"format": _FORMAT, "version": 1, "unit": "m", "order": self.order, "fit": self.fit,
                "centre": None if self._centre is None else self._centre.tolist(),
                "vertices": self._vertices.tolist(), "triangles": self._triangles.tolist()}

    @classmethod
    def _from_state(cls, state, name="the state"):
        if state.get("format") != _FORMAT or state.get("version") != 1:
            raise ValueError(f"{name} is not a megfwd single-shell file (format {_FORMAT!r}, version 1).")
        if state.get("unit", "m") != "m":
            raise ValueError(f"{name}: unit must be 'm', got {state.get('unit')!r}.")
        return cls(np.asarray(state["vertices"], float), np.asarray(state["triangles"], np.int64),
                   order=state["order"], fit=state["fit"], centre=state.get("centre"))

    def to_json(self, path):
        """Write the surface and the options as versioned JSON (metres)."""
        path = os.fspath(path)
        tmp = path + ".tmp"
        with open(tmp, "w") as f:
            json.dump(self._state(), f)
        os.replace(tmp, path)

    @classmethod
    def from_json(cls, path):
        """Read a model written by `to_json`."""
        path = os.fspath(path)
        with open(path) as f:
            return cls._from_state(json.load(f), path)

    # Pickled as its surface and options (for Dask), rebuilt on loading once
    # per process.
    def __reduce__(self):
        return (_unpickle, (self._state(),))


# The models unpickled in this process, by content, so that the Dask blocks
# a worker receives share one model and its fit. A few are kept.
_UNPICKLED = collections.OrderedDict()
_UNPICKLED_LOCK = threading.Lock()
_UNPICKLED_KEEP = 4


def _unpickle(state):
    key = hashlib.sha256(json.dumps(state, sort_keys=True).encode()).hexdigest()
    with _UNPICKLED_LOCK:
        model = _UNPICKLED.get(key)
        if model is not None:
            _UNPICKLED.move_to_end(key)
            return model
    model = SingleShell._from_state(state)
    with _UNPICKLED_LOCK:
        model = _UNPICKLED.setdefault(key, model)
        while len(_UNPICKLED) > _UNPICKLED_KEEP:
            _UNPICKLED.popitem(last=False)
    return model


def _head(head, sphere):
    """The sphere and the shell handle of `head=` and `sphere=`."""
    if head is None:
        return sphere, None
    if isinstance(head, SingleShell):
        # A sphere given beside a shell is the sphere it corrects.
        return sphere, head._handle
    if sphere is not None:
        raise ValueError("give the sphere as head= or sphere=, not both.")
    if isinstance(head, (str, bytes, dict)):
        raise TypeError(f"head must be None, a sphere (x, y, z, radius) in metres, local spheres or a "
                        f"megfwd.SingleShell, got {type(head).__name__}.")
    return head, None
