"""Leadfields and dipole fields from Python, in SI units.

The library works in millimetres; its ``si`` setting scans in metres with
mu0/4pi = 1e-7, so values come out in T/(A·m) (leadfields) and tesla (fields
of moments in A·m). The one change of units, metres to the library's
millimetres, lives in `_to_mm`.
"""
import json
import logging
import warnings

import numpy as np

from . import _megfwd
from ._check import _check_bool, _check_int, _check_option, _real_array, _rows, _threads, _to_library, _validate_type
from .sensors import SensorArray
from .shell import _head
from .spheres import LocalSpheres

SENSOR_MODELS = ("ctf", "standard")
# The library's coil integration orders (its rules have these numbers of
# points per coil; 6 has no rule).
ORDERS = tuple(_megfwd.INTEGRATION_ORDERS)
# The library's member name of each keyword, from its setting table.
_MEMBER = _megfwd.setting_keywords()
# Axis orders of a leadfield array: by source, or by sensor (MNE's gain
# matrix as it stands).
LAYOUTS = ("sources", "sensors")


def _to_mm(metres):
    return _to_library(metres, 1000.0)


def _sphere_mm(sphere):
    """(x, y, z, radius) in metres as the library's sphere in mm."""
    if isinstance(sphere, (str, bytes, dict)):
        raise TypeError(f"sphere must be None (the sphere fitted to the sensors), (x, y, z, radius) in metres or "
                        f"a megfwd.LocalSpheres, got {type(sphere).__name__} {sphere!r}.")
    sp = _real_array(sphere, "sphere", "x, y, z, radius in metres")
    if sp.shape != (4,):
        raise ValueError(f"sphere must be (x, y, z, radius) in metres, 4 numbers, got shape {sp.shape}.")
    if not np.isfinite(sp).all() or sp[3] <= 0:
        raise ValueError(f"sphere must be (x, y, z, radius) in metres with radius > 0, got {sp.tolist()}.")
    return [float(v) * 1000.0 for v in sp]


def _settings(sphere, order, sensor_model, formula, refs, tangential, magnetic=False, extra=None):
    """The library's settings (member names) for the public keywords."""
    _check_option("sensor_model", sensor_model, SENSOR_MODELS)
    _check_option("order", _check_int("order", order), ORDERS)
    s = {
        "si": True,
        _MEMBER["sensor_model"]: _megfwd.parse_sensor_model(sensor_model),
        _MEMBER["order"]: int(order),
        _MEMBER["refs"]: int(_check_bool("refs", refs)),
        _MEMBER["tangential"]: int(_check_bool("tangential", tangential)),
        _MEMBER["magnetic"]: int(_check_bool("magnetic", magnetic)),
    }
    if formula is not None:
        _validate_type(formula, str, "formula", "a formula code such as 'ST01' or 'SV_NT04'")
        s[_MEMBER["formula"]] = _megfwd.parse_formula(formula, bool(magnetic))
    if isinstance(sphere, LocalSpheres):
        # The table in the library's form: one sphere per sensor by name.
        s["localSpheres"] = sphere._text
    elif sphere is not None:
        s["sphereModel"] = 1  # the single sphere the keyword gives
        s[_MEMBER["sphere"]] = _sphere_mm(sphere)
    if extra:
        s.update(extra)
    return s


logger = logging.getLogger("megfwd")


def _emit(warned, notes):
    for text in warned:
        warnings.warn(f"megfwd: {text}", RuntimeWarning, stacklevel=3)
    for text in notes:
        logger.info(text)


def _sensors(sensors):
    return _validate_type(sensors, SensorArray, "sensors", "a megfwd.SensorArray")._handle


def _progress(progress):
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be None or a callable progress(done, total), got "
                        f"{type(progress).__name__} instead.")
    return progress


def leadfield(sensors, sources, *, head=None, sphere=None, order=2, sensor_model="ctf", formula=None, refs=True,
              tangential=False, threads=None, progress=None, return_mask=False, return_meta=False,
              layout="sources", _extra=None):
    """Leadfields of unit dipoles at every source for every measurement sensor.

    Parameters
    ----------
    sensors : SensorArray
        The MEG system.
    sources : array_like, shape (n_sources, 3)
        Source positions in metres, in the sensors' frame (head coordinates
        for arrays made by ``SensorArray.from_mne``): any real dtype, order
        or strides (e.g. ``rr[::2]`` or ``both[:, :3]``).
    head : None | SingleShell | array_like, shape (4,) | LocalSpheres
        The head model: a `SingleShell` (the leadfields of ``sphere``, one
        sphere or local spheres, or without it of the surface's
        least-squares sphere, corrected for the inner skull's shape; three
        components only), or a sphere model as for ``sphere``. None:
        ``sphere`` decides.
    sphere : None | array_like, shape (4,) | LocalSpheres
        Centre x, y, z and radius of the conductor sphere in metres. None
        uses the library's default choice: the sphere fitted to the
        sensors' first coils (the dewar sphere). A `LocalSpheres` gives
        each measurement sensor its own sphere (by name; every measurement
        sensor needs one) and reference sensors the global sphere; the
        leadfield then has three components.
    order : int
        Integration order over each coil's area: 1, 2, 3, 4, 5 or 7 (CTF
        sensor model).
    sensor_model : 'ctf' | 'standard'
        'ctf' integrates the field over each coil's disk; 'standard' takes
        the coil centres, weighted by the coil weights.
    formula : None | str
        Leadfield formula: a code ('ST01', 'SX02', 'SV_CF03', 'SV_NT04',
        'SV_CFT05', 'BiotSavart06', 'GS07', 'DX') or a name ('sarvas',
        'cuffin', 'biot-savart', 'grynszpan', ...). None is the library's
        default, 'SV_NT04'.
    refs : bool
        Apply each sensor's reference weights (synthetic gradiometers).
    tangential : bool
        Two components along each source's tangential directions instead
        of three Cartesian ones.
    threads : None | int
        Threads of the scan; None uses every core.
    progress : None | callable
        ``progress(done, total)`` after each block of sources, from the
        scan's threads (with the GIL); returning False cancels the scan,
        which then raises RuntimeError.
    return_mask : bool
        Also return the in-scan mask.
    return_meta : bool
        Also return the metadata dict (settings, spheres, integration rule,
        units), as the command line's .json sidecar has it.
    layout : 'sources' | 'sensors'
        Axis order of ``lf``. 'sources' gives (n_sources, n_sensors,
        n_components); 'sensors' gives (n_sensors, n_sources,
        n_components), written in that order as it is computed, so that
        ``lf.reshape(n_sensors, -1)`` is MNE's gain matrix (channels,
        3 x sources) without a copy. The values are the same bits.

    Returns
    -------
    lf : ndarray, shape (n_sources, n_sensors, n_components), float64
        Leadfields in T/(A·m); sensors are ``sensors.measurement_names``;
        components x, y, z of the sensors' frame (or the two tangential
        directions). Sources out of the scan are 0. Shape (n_sensors,
        n_sources, n_components) with ``layout='sensors'``.
    mask : ndarray of bool, shape (n_sources,)
        True for sources in the scan (when ``return_mask``).
    meta : dict
        When ``return_meta``.
    """
    handle = _sensors(sensors)
    pos = _rows(sources, "sources", 3, "metres")
    sphere, shell = _head(head, sphere)
    settings = _settings(sphere, order, sensor_model, formula, refs, tangential, extra=_extra)
    threads = _threads(threads)
    progress = _progress(progress)
    return_mask, return_meta = _check_bool("return_mask", return_mask), _check_bool("return_meta", return_meta)
    _check_option("layout", layout, LAYOUTS)
    lf, mask, warned, notes, meta = _megfwd.leadfield(handle, _to_mm(pos), settings, threads, progress,
                                                      return_meta, "sources", sensor_major=layout == "sensors",
                                                      shell=shell)
    _emit(warned, notes)
    out = (lf,)
    if return_mask:
        out += (mask,)
    if return_meta:
        out += (json.loads(meta),)
    return out[0] if len(out) == 1 else out


def field(sensors, positions, moments, *, head=None, sphere=None, order=2, sensor_model="ctf", formula=None, refs=True,
          magnetic=False, progress=None, return_mask=False, return_meta=False, _extra=None):
    """Field values of dipoles at every measurement sensor.

    Parameters
    ----------
    sensors : SensorArray
    positions : array_like, shape (n_dipoles, 3)
        Dipole positions in metres (any real dtype, order or strides).
    moments : array_like, shape (n_dipoles, 3)
        Dipole moments in A·m (A·m² for magnetic dipoles).
    formula : None | str
        A code or name as for `leadfield`; with ``magnetic``
        'magnetic-dipole', 'magnetic-dipole-tensor' or 'primary-current'.
        None takes the scalar Sarvas form 'ST01', whose values scale with
        the moments (the library's default, 'SV_NT04', gives the field of a
        unit moment along Q×r0 whatever the moment's size).
    magnetic : bool
        Magnetic dipoles instead of current dipoles.
    head, sphere, order, sensor_model, refs, progress, return_mask, return_meta
        As for `leadfield`.

    Returns
    -------
    b : ndarray, shape (n_dipoles, n_sensors), float64
        Field values in tesla along each sensor (after reference
        correction when ``refs``).
    """
    handle = _sensors(sensors)
    pos = _rows(positions, "positions", 3, "metres")
    mom = _rows(moments, "moments", 3, "A·m")
    if pos.shape[0] != mom.shape[0]:
        raise ValueError(f"positions has {pos.shape[0]} rows but moments has {mom.shape[0]}.")
    sphere, shell = _head(head, sphere)
    settings = _settings(sphere, order, sensor_model, formula, refs, False, magnetic, extra=_extra)
    progress = _progress(progress)
    return_mask, return_meta = _check_bool("return_mask", return_mask), _check_bool("return_meta", return_meta)
    dipoles = np.empty((len(pos), 6))
    dipoles[:, :3] = _to_mm(pos)
    dipoles[:, 3:] = mom
    b, mask, warned, notes, meta = _megfwd.field(handle, dipoles, settings, progress, return_meta, "dipoles",
                                                 shell)
    _emit(warned, notes)
    out = (b,)
    if return_mask:
        out += (mask,)
    if return_meta:
        out += (json.loads(meta),)
    return out[0] if len(out) == 1 else out
